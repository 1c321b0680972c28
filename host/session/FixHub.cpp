#include "host/session/FixHub.h"

#include <algorithm>

namespace n95::host {

class TFixHub::TView final : public TFixSource {
public:
    TView(TFixHub& hub, std::size_t index)
        : Hub(hub), Index(index), EntryWord(hub.Source.EntryName()) {
        Empty.Format = hub.Source.Track().Format;
    }

    std::string Name() const override { return Hub.Name; }
    // Nothing to wait on: the run's wait is short anyway (a tenth of a second at most).
    int Descriptor() const override { return -1; }

    std::size_t Poll() override {
        const std::lock_guard<std::mutex> guard(Hub.Lock);
        uint64_t& copied = Hub.Copied[Index];
        const auto from = static_cast<std::ptrdiff_t>(copied - Hub.FirstFix);
        Pending.insert(Pending.end(), Hub.Fixes.begin() + from, Hub.Fixes.end());
        const uint64_t gained = Hub.Published - copied;
        copied = Hub.Published;
        Hub.Trim();
        LostText = Hub.LostText;
        Losses_ = Hub.LossCount;
        Recoveries_ = Hub.RecoveryCount;
        return static_cast<std::size_t>(gained);
    }

    const TTrack& Track() const override { return Empty; }
    uint64_t FixCount() const override { return FirstPending + Pending.size(); }
    const TGpsPoint& FixAt(uint64_t index) const override {
        return Pending[static_cast<std::size_t>(index - FirstPending)];
    }
    void ForgetFixes(uint64_t index) override {
        // The last fix stays: the status line shows it.
        while (Pending.size() > 1 && FirstPending < index) {
            Pending.pop_front();
            ++FirstPending;
        }
    }
    const std::string& Lost() const override { return LostText; }
    const char* EntryName() const override { return EntryWord; }
    uint64_t Losses() const override { return Losses_; }
    uint64_t Recoveries() const override { return Recoveries_; }

private:
    TFixHub& Hub;
    const std::size_t Index;  // in Hub.Copied
    const char* EntryWord;
    TTrack Empty;                   // the source's format; no fixes
    std::deque<TGpsPoint> Pending;  // from the FirstPending-th fix on
    uint64_t FirstPending = 0;
    std::string LostText;
    uint64_t Losses_ = 0, Recoveries_ = 0;
};

TFixHub::TFixHub(TFixSource& source) : Source(source), Name(source.Name()) {}

std::vector<TFixNotice> TFixHub::Poll() {
    Source.Poll();
    const uint64_t count = Source.FixCount();
    const std::lock_guard<std::mutex> guard(Lock);
    for (; Published < count; ++Published)
        Fixes.push_back(Source.FixAt(Published));
    Trim();
    LostText = Source.Lost();
    LossCount = Source.Losses();
    RecoveryCount = Source.Recoveries();
    return Source.TakeNotices();
}

void TFixHub::Trim() {
    if (Copied.empty())
        return;  // a view made later gets every fix
    const uint64_t taken = *std::min_element(Copied.begin(), Copied.end());
    while (FirstFix < taken) {
        Fixes.pop_front();
        ++FirstFix;
    }
}

std::unique_ptr<TFixSource> TFixHub::NewView() {
    const std::lock_guard<std::mutex> guard(Lock);
    Copied.push_back(FirstFix);
    return std::make_unique<TView>(*this, Copied.size() - 1);
}

}  // namespace n95::host
