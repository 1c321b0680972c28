// A progress bar on standard error: bytes done of the total, rate and time left, redrawn at
// most five times a second. Shown only when enabled (the tool enables it when standard error
// is a terminal). Not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace n95::host {

class TProgress {
public:
    TProgress(uint64_t totalBytes, bool enabled, FILE* out = stderr);
    // Redraws if enough time has passed since the last drawing.
    void Update(uint64_t doneBytes);
    // Clears the bar's line.
    void Finish();

private:
    using TClock = std::chrono::steady_clock;
    void Draw(uint64_t doneBytes);

    uint64_t Total;
    bool Enabled;
    FILE* Out;
    TClock::time_point Start;
    TClock::time_point LastDraw;
    bool Drawn = false;
};

}  // namespace n95::host
