// The POSIX environment's clock against the C library's calendar fields (what every
// environment must do is checked in EnvTest.cpp).
#include <time.h>

#include <gtest/gtest.h>

#include <cmath>

#include "platform/Env.h"

namespace n95 {
namespace {

// The local time as a day-based date-time, by another route: the calendar fields of
// localtime_r, not the UTC offset that the environment adds.
TDateTime LocalNowFromCalendar() {
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    const int64_t days =
        DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                      static_cast<unsigned>(local.tm_mday));
    const double seconds = (local.tm_hour * 60.0 + local.tm_min) * 60.0 + local.tm_sec;
    return kUnixEpochInDays + static_cast<double>(days) + seconds / kSecondsPerDay;
}

TEST(PosixEnvTest, NowIsTheLocalTimeInDays) {
    const TDateTime reference = LocalNowFromCalendar();
    const TDateTime now = Env::Default()->Now();
    EXPECT_LT(std::fabs(now - reference) * kSecondsPerDay, 5.0)
        << "now " << now << " reference " << reference;
    // Sub-second resolution: a 50 ms sleep shows.
    const TDateTime before = Env::Default()->Now();
    Env::Default()->Sleep(50);
    EXPECT_GE((Env::Default()->Now() - before) * kSecondsPerDay * 1000.0, 40.0);
}

}  // namespace
}  // namespace n95
