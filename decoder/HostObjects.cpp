#include "decoder/HostObjects.h"

bool IsReplaying(const THostContext* Context) {
    return Context != nullptr && Context->ReplayName != nullptr && Context->ReplayName[0] != '\0';
}

int32_t GetFixCount(const THostContext* Context) {
    if (Context == nullptr || Context->FixCounter == nullptr)
        return 0;
    return *Context->FixCounter;
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
