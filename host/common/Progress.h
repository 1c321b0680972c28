// A progress bar on standard error: bytes done of the total, rate and time left, redrawn at
// most five times a second; with a total of 0 (a stream, whose size is not known before its
// end) the bytes done and the rate. Shown only when enabled (the tool enables it when standard
// error is a terminal). Not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace n95::host {

// A data rate as text: "12.34 MB/s", "5.6 kB/s" or "789 B/s".
std::string FormatRate(double bytesPerSecond);

class TProgress {
public:
    // `label`, when given, heads the bar ("outputs").
    TProgress(uint64_t totalBytes, bool enabled, FILE* out = stderr, std::string label = {});
    // The total, when it is known only once the work has begun.
    void SetTotal(uint64_t totalBytes) { Total = totalBytes; }
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
    std::string Label;
    TClock::time_point Start;
    TClock::time_point LastDraw;
    bool Drawn = false;
};

// One line of status on standard error that redraws itself (the live run's state, records,
// data rate and last fix), or several lines (a row per handset of a rig: a text with line
// breaks, redrawn with the terminal's cursor-up and erase-line sequences). Shown only when
// enabled (the tool enables it when standard error is a terminal). Messages printed while it
// is shown must Clear it first, or they would be drawn over. Not thread-safe.
class TStatusLine {
public:
    explicit TStatusLine(bool enabled, FILE* out = stderr) : Enabled(enabled), Out(out) {}
    bool IsEnabled() const { return Enabled; }
    // Replaces the line's text.
    void Show(const std::string& text);
    // Erases the line (it is drawn again by the next Show).
    void Clear();

private:
    bool Enabled;
    FILE* Out;
    std::size_t Width = 0;  // characters drawn on the last line; 0 = nothing on screen
    std::size_t Lines = 0;  // lines drawn
};

}  // namespace n95::host
