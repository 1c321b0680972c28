// Test doubles for decoder tests: the host-side doubles, plus a fake environment whose sleeps
// and messages go into the same journal as the port's calls.
#pragma once

#include "platform/FakeEnv.h"
#include "tests/decoder/HostDoubles.h"

namespace n95::test {

// Sleeps are journalled and advance the clock; the watcher's 5000 ms waits last 5 ms.
class JournalEnv final : public FakeEnv {
public:
    explicit JournalEnv(Journal* journal) {
        AdvanceOnSleep = true;
        WaitDivisor = 1000;
        SetNow(46000.25);
        OnRecord = [journal](const std::string& entry) { journal->Add(entry); };
    }
};

}  // namespace n95::test
