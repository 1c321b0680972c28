#include "decoder/HostObjects.h"

#include <atomic>

bool IsReplaying(const THostContext* Context) {
    return Context != nullptr && Context->ReplayName != nullptr && Context->ReplayName[0] != '\0';
}

int32_t GetFixCount(const THostContext* Context) {
    if (Context == nullptr || Context->FixCounter == nullptr)
        return 0;
    // The watcher thread reads the host's counter while the host's thread counts fixes into
    // it: an atomic load (a plain aligned 32-bit load on x86), which a host that counts with
    // an atomic store or increment makes free of data races.
    return std::atomic_ref<int32_t>(*Context->FixCounter).load(std::memory_order_relaxed);
}

TGpsPoint GetFixPosition(const THostContext* Context) {
    if (Context == nullptr || Context->CurrentFix == nullptr)
        return TGpsPoint{0.0, 0.0, 0.0};
    return *Context->CurrentFix;
}

TFixCoordinates GetFixCoordinates(const THostContext* Context) {
    TGpsPoint p = GetFixPosition(Context);
    return TFixCoordinates{p.X, p.Y};
}

void SetFixPosition(THostContext*, const TGpsPoint&) {}

namespace n95 {

bool HasFixReferences(const THostContext* Context) {
    return Context != nullptr && Context->FixCounter != nullptr && Context->CurrentFix != nullptr;
}

}  // namespace n95
