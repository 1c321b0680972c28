#include "host/session/FixHub.h"

namespace n95::host {

class TFixHub::TView final : public TFixSource {
public:
    explicit TView(TFixHub& hub) : Hub(hub), EntryWord(hub.Source.EntryName()) {
        Copy.Format = hub.Source.Track().Format;
    }

    std::string Name() const override { return Hub.Name; }
    // Nothing to wait on: the run's wait is short anyway (a tenth of a second at most).
    int Descriptor() const override { return -1; }

    std::size_t Poll() override {
        const std::lock_guard<std::mutex> guard(Hub.Lock);
        const std::size_t before = Copy.Fixes.size();
        Copy.Fixes.insert(Copy.Fixes.end(), Hub.Fixes.begin() + static_cast<std::ptrdiff_t>(before),
                          Hub.Fixes.end());
        LostText = Hub.LostText;
        Losses_ = Hub.LossCount;
        Recoveries_ = Hub.RecoveryCount;
        return Copy.Fixes.size() - before;
    }

    const TTrack& Track() const override { return Copy; }
    const std::string& Lost() const override { return LostText; }
    const char* EntryName() const override { return EntryWord; }
    uint64_t Losses() const override { return Losses_; }
    uint64_t Recoveries() const override { return Recoveries_; }

private:
    TFixHub& Hub;
    const char* EntryWord;
    TTrack Copy;
    std::string LostText;
    uint64_t Losses_ = 0, Recoveries_ = 0;
};

TFixHub::TFixHub(TFixSource& source) : Source(source), Name(source.Name()) {}

std::vector<TFixNotice> TFixHub::Poll() {
    Source.Poll();
    const std::vector<TGpsPoint>& fixes = Source.Track().Fixes;
    const std::lock_guard<std::mutex> guard(Lock);
    Fixes.insert(Fixes.end(), fixes.begin() + static_cast<std::ptrdiff_t>(Fixes.size()),
                 fixes.end());
    LostText = Source.Lost();
    LossCount = Source.Losses();
    RecoveryCount = Source.Recoveries();
    return Source.TakeNotices();
}

std::unique_ptr<TFixSource> TFixHub::NewView() {
    return std::make_unique<TView>(*this);
}

}  // namespace n95::host
