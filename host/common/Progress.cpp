#include "host/common/Progress.h"

#include <algorithm>
#include <string>

namespace n95::host {

std::string FormatRate(double bytesPerSecond) {
    char buffer[48];
    if (bytesPerSecond >= 1e6)
        std::snprintf(buffer, sizeof buffer, "%.2f MB/s", bytesPerSecond / 1e6);
    else if (bytesPerSecond >= 1e3)
        std::snprintf(buffer, sizeof buffer, "%.1f kB/s", bytesPerSecond / 1e3);
    else
        std::snprintf(buffer, sizeof buffer, "%.0f B/s", bytesPerSecond);
    return buffer;
}

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr int kBarWidth = 30;

}  // namespace

TProgress::TProgress(uint64_t totalBytes, bool enabled, FILE* out, std::string label)
    : Total(totalBytes),
      Enabled(enabled),
      Out(out),
      Label(label.empty() ? "" : label + " "),
      Start(TClock::now()),
      LastDraw(Start) {}

void TProgress::Update(uint64_t doneBytes) {
    if (!Enabled)
        return;
    const auto now = TClock::now();
    if (now - LastDraw < kRedrawInterval)
        return;
    LastDraw = now;
    Draw(doneBytes);
}

void TProgress::Draw(uint64_t doneBytes) {
    const double seconds = std::chrono::duration<double>(TClock::now() - Start).count();
    if (Total == 0) {
        // A stream's size is not known before its end: what was read, and how fast.
        std::fprintf(Out, "\r%.1f MB read  %.1f MB/s ", doneBytes / 1e6,
                     seconds > 0 ? doneBytes / seconds / 1e6 : 0.0);
        std::fflush(Out);
        Drawn = true;
        return;
    }
    const double fraction = Total > 0 ? std::min(1.0, static_cast<double>(doneBytes) / Total) : 1.0;
    const double rate = seconds > 0 ? doneBytes / seconds : 0.0;  // bytes per second
    std::string bar(kBarWidth, ' ');
    std::fill_n(bar.begin(), static_cast<int>(fraction * kBarWidth), '#');
    char left[32] = "--:--";
    if (rate > 0 && Total >= doneBytes) {
        const auto remaining = static_cast<long long>((Total - doneBytes) / rate);
        std::snprintf(left, sizeof left, "%lld:%02lld", remaining / 60, remaining % 60);
    }
    std::fprintf(Out, "\r%s[%s] %5.1f%%  %.1f/%.1f MB  %.1f MB/s  %s left ", Label.c_str(),
                 bar.c_str(), fraction * 100, doneBytes / 1e6, Total / 1e6, rate / 1e6, left);
    std::fflush(Out);
    Drawn = true;
}

void TProgress::Finish() {
    if (!Enabled || !Drawn)
        return;
    std::fprintf(Out, "\r%*s\r", 90, "");
    std::fflush(Out);
}

void TStatusLine::Show(const std::string& text) {
    if (!Enabled)
        return;
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    if (lines > 1 || Lines > 1) {
        Clear();
        std::fputs(text.c_str(), Out);
        std::fflush(Out);
        Lines = lines;
        Width = text.size() - (text.rfind('\n') + 1) + 1;  // never 0 while drawn
        return;
    }
    // Padded over the previous text, which may have been longer.
    std::fprintf(Out, "\r%s%*s", text.c_str(),
                 static_cast<int>(Width > text.size() ? Width - text.size() : 0), "");
    std::fflush(Out);
    Width = text.size();
    Lines = 1;
}

void TStatusLine::Clear() {
    if (!Enabled || Width == 0)
        return;
    if (Lines > 1) {
        // Erase the last line, then each line above it, ending at the start of the first.
        std::fputs("\r\x1b[K", Out);
        for (std::size_t i = 1; i < Lines; ++i)
            std::fputs("\x1b[A\x1b[K", Out);
    } else {
        std::fprintf(Out, "\r%*s\r", static_cast<int>(Width), "");
    }
    std::fflush(Out);
    Width = 0;
    Lines = 0;
}

}  // namespace n95::host
