// The HTML report of a run: one self-contained HTML5 file that opens offline in any browser
// and fetches nothing. It shows the run's title and text summary, the key counts (with
// data-key attributes that scripts compare with the JSON summary), the SVG map inline, and
// plots over time drawn as SVG here: records per second by class, the decoded payload bytes
// per second, the gaps in the trace and in the GPS fixes, and the run's events.
//
// Memory does not grow with the drive's length. The rows are counted in time bins
// (TTimeBins), at most kMaxBins of them: one second each for a drive of up to a day, then
// coarser (2 s, 10 s, 30 s, 1 min, ...) as the span grows, so that a drive over days, or a
// record whose time stamp is years off, costs at most a few megabytes and the plots stay
// exact counts over wider steps. Gaps are kept as a list of at most kMaxGaps (TGapFinder);
// further ones are counted, not listed. The map keeps its own bounded dots (TSvgMap).
//
// The page is also well-formed XML (void elements closed, no entity but XML's), so that a
// test or a script can read it with an XML parser.
//
// The units below the output are pure and tested without files. The output and TTimeBins
// and TGapFinder are not thread-safe: one owner each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/outputs/Output.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

// The report as an output: needs kEveryRow | kTrackFirst (the map's projection is fitted to
// the complete track at Begin). The track that facts.Track points to at Begin must outlive
// Make.
std::unique_ptr<IOutput> MakeHtmlReport();
inline constexpr unsigned kHtmlReportNeeds = kEveryRow | kTrackFirst;

// --report, and NAME.html under -o.
extern const TOutputKind kReportOutputKind;

// Time in the report is counted in seconds since the day-based epoch (TDateTime * 86400).
// A row whose test time is not finite, before the epoch or after the year 9999 (the no-value
// marker -9999 among them) has no usable time: it is counted but not placed on the plots.
bool UsableTime(TDateTime t);
inline double SecondsOf(TDateTime t) {
    return t * 86400.0;
}

// The counts of one stretch of time.
struct TTimeCounts {
    std::array<uint64_t, kClassBuckets> Records{};  // by class bucket
    uint64_t PayloadBytes = 0;                      // decoded payload bytes (PayloadLength)

    uint64_t Total() const;
    void AddUp(const TTimeCounts& other);
};

// Rows counted in bins of Width() seconds, aligned to multiples of the width since the epoch
// (so the same rows give the same bins whatever their order). The bins cover the rows' span
// and nothing else; rows may come in any order. When the span would need more than kMaxBins
// bins, the width grows to the next of kBinWidths that fits, merging bins.
class TTimeBins {
public:
    static constexpr std::size_t kMaxBins = 100000;  // a day and more at one second
    // Each width divides the next, so that bins merge whole. Past the list, the width doubles.
    static constexpr int64_t kBinWidths[] = {1,    2,    10,    30,    60,    300,  600,
                                             1800, 3600, 10800, 21600, 43200, 86400};

    explicit TTimeBins(std::size_t maxBins = kMaxBins) : MaxBins(maxBins < 2 ? 2 : maxBins) {}

    // A record at `seconds` (finite; see UsableTime).
    void Add(double seconds, int classBucket, int32_t payloadLength);

    bool Empty() const { return Bins.empty(); }
    int64_t Width() const { return BinWidth; }
    // The start of the first bin, in seconds since the epoch; the bins follow one another.
    int64_t Start() const { return FirstBin * BinWidth; }
    const std::deque<TTimeCounts>& Counts() const { return Bins; }

private:
    // Widens the bins until [low, high] (bin indices at the current width) fits.
    void Widen(int64_t low, int64_t high);
    // The width after `width`.
    static int64_t NextWidth(int64_t width);

    std::size_t MaxBins;
    int64_t BinWidth = 1;
    int64_t FirstBin = 0;  // index of Bins.front() at BinWidth
    std::deque<TTimeCounts> Bins;
};

// The bins merged into at most `maxColumns` columns of whole bins each, for drawing.
struct TTimeColumn {
    double Start = 0;    // seconds since the epoch
    double Seconds = 0;  // how long it covers
    TTimeCounts Counts;
};
std::vector<TTimeColumn> MergeColumns(const TTimeBins& bins, std::size_t maxColumns);

// A stretch of time with nothing in it, in seconds since the epoch.
struct TGap {
    double Start = 0, End = 0;
    double Seconds() const { return End - Start; }
    bool operator==(const TGap&) const = default;
};

// The stretches longer than a threshold between the moments it is given, as if they had
// been sorted: a moment that comes late (times going back) splits or shortens the gap it
// falls in. At most `maxGaps` gaps are kept; later ones are counted in More() and
// MoreSeconds() (a moment that comes back into one of those is not seen).
class TGapFinder {
public:
    static constexpr std::size_t kMaxGaps = 500;

    explicit TGapFinder(double minSeconds, std::size_t maxGaps = kMaxGaps)
        : MinSeconds(minSeconds), MaxGaps(maxGaps) {}

    void Add(double seconds);

    bool Empty() const { return !Any; }
    double First() const { return Low; }
    double Last() const { return High; }
    const std::vector<TGap>& Gaps() const { return List; }
    uint64_t More() const { return Dropped; }
    double MoreSeconds() const { return DroppedSeconds; }

private:
    void Keep(TGap gap, bool atFront);

    double MinSeconds;
    std::size_t MaxGaps;
    bool Any = false;
    double Low = 0, High = 0;
    std::vector<TGap> List;  // in time order, disjoint
    uint64_t Dropped = 0;
    double DroppedSeconds = 0;
};

// A labelled mark on an axis.
struct TTick {
    double Value = 0;
    std::string Label;
    bool operator==(const TTick&) const = default;
};

// The step of a time axis over [start, end] (seconds) with at most `maxTicks` ticks: the
// smallest of 1, 2, 5, 10, 15, 30 s, 1, 2, 5, 10, 15, 30 min, 1, 2, 3, 6, 12 h, 1, 2, 7 days,
// then 1, 2 or 5 times a power of ten days, that keeps the count.
int64_t TimeStep(double start, double end, int maxTicks);
// The ticks at the multiples of TimeStep in [start, end], labelled in UTC: "HH:MM:SS" for
// steps under a minute, "HH:MM" under a day, "YYYY-MM-DD" from a day on. Under a day, the
// first tick and each one on a new day carry the date as a second line ("09:20\n2024-05-14").
std::vector<TTick> TimeTicks(double start, double end, int maxTicks);

// The ticks of a value axis from 0 to at least `maxValue`, at most `maxTicks` + 1 of them,
// at 1, 2 or 5 times a power of ten; the last tick is the axis' top. Labels use k and M for
// thousands and millions ("2.5k").
std::vector<TTick> ValueTicks(double maxValue, int maxTicks);

// The run's text summary as the body of a <pre>: each line as the program prints it, made
// safe HTML text (see AppendXmlText), the lines joined by newlines.
void AppendSummaryText(std::string& out, const std::vector<std::string>& lines);

}  // namespace n95::host
