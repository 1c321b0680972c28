#include "host/outputs/HtmlReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "host/common/DateTimeText.h"
#include "host/outputs/OutputText.h"
#include "host/outputs/SvgMap.h"

namespace n95::host {

namespace {

// A stretch this long without a record, or without a GPS fix, is a gap. A handset in a
// test sends several records a second and a GPS receiver a fix a second, so five seconds
// without either is worth a look; shorter pauses are the ordinary jitter of both.
constexpr double kTraceGapSeconds = 5.0;
constexpr double kFixGapSeconds = 5.0;
// The plots draw at most this many columns (about one per 1.5 pixels).
constexpr std::size_t kPlotColumns = 600;
// The events drawn and listed; the rest are counted.
constexpr std::size_t kMaxEvents = 500;
// Write the text to the file in pieces of about this size.
constexpr std::size_t kFlushBytes = 1 << 16;

// The plots' geometry, in pixels.
constexpr double kPlotWidth = 1000;
constexpr double kPlotLeft = 80, kPlotRight = 950, kPlotTop = 14;
constexpr double kPlotHeight = 200;                // the area of the values
constexpr double kAxisHeight = 44;                 // the time labels under it
constexpr double kLaneHeight = 22, kLaneGap = 10;  // the timeline's lanes

constexpr char kTraceGapColour[] = "#d62728";
constexpr char kFixGapColour[] = "#8c564b";
constexpr char kEventColour[] = "#111111";
constexpr char kRateColour[] = "#3b3b3b";

constexpr const char* kStyleSheet =
    "body{font-family:'DejaVu Sans',Arial,sans-serif;margin:1.5em auto;max-width:1040px;"
    "padding:0 1em;color:#222;background:#fff}"
    "h1{font-size:1.5em;margin:0}h2{font-size:1.15em;margin:1.6em 0 .4em;"
    "border-bottom:1px solid #ddd}"
    ".subtitle{color:#555;margin:.2em 0 1em}.note{color:#555;font-size:.9em;margin:.3em 0}"
    "pre.summary{background:#f6f6f3;border:1px solid #ddd;padding:.6em;overflow-x:auto;"
    "font-size:.85em}"
    "table{border-collapse:collapse;font-size:.9em}td,th{padding:.15em .8em;text-align:left;"
    "border-bottom:1px solid #eee}td.n{text-align:right;font-variant-numeric:tabular-nums}"
    "svg{max-width:100%;height:auto;display:block}"
    ".swatch{display:inline-block;width:.8em;height:.8em;border-radius:50%;"
    "margin-right:.4em;vertical-align:-.05em}";

// An amount of seconds for people: "12.0 s", "4.5 min", "2.0 h", "3.1 days".
void AppendDuration(std::string& out, double seconds) {
    if (seconds < 120) {
        AppendFixed(out, seconds, 1);
        out += " s";
    } else if (seconds < 7200) {
        AppendFixed(out, seconds / 60, 1);
        out += " min";
    } else if (seconds < 172800) {
        AppendFixed(out, seconds / 3600, 1);
        out += " h";
    } else {
        AppendFixed(out, seconds / 86400, 1);
        out += " days";
    }
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" of a time in seconds.
void AppendTime(std::string& out, double seconds) {
    AppendIso8601(out, seconds / kSecondsPerDay);
}

// "HH:MM:SS" of a time in seconds ("" where ISO 8601 has no text for it).
std::string ClockTime(double seconds) {
    const std::string iso = FormatIso8601(seconds / kSecondsPerDay);
    return iso.size() >= 19 ? iso.substr(11, 8) : iso;
}

// A pixel coordinate, with one decimal.
void AppendPx(std::string& out, double pixels) {
    AppendFixed(out, pixels, 1);
}

// Maps a time span onto the plots' width.
struct TTimeScale {
    double Start = 0, End = 1;
    double X(double seconds) const {
        const double x = kPlotLeft + (seconds - Start) / (End - Start) * (kPlotRight - kPlotLeft);
        return std::clamp(x, kPlotLeft, kPlotRight);
    }
};

void AppendSvgHead(std::string& s, double height, const char* label) {
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"";
    AppendInt(s, static_cast<int64_t>(kPlotWidth));
    s += "\" height=\"";
    AppendInt(s, static_cast<int64_t>(height));
    s += "\" viewBox=\"0 0 ";
    AppendInt(s, static_cast<int64_t>(kPlotWidth));
    s += ' ';
    AppendInt(s, static_cast<int64_t>(height));
    s += "\" font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"12\" role=\"img\" "
         "aria-label=\"";
    s += label;
    s += "\">\n";
}

// The time axis along `y`: ticks, labels (a second line with the date where the day
// changes) and vertical grid lines up to `top`.
void AppendTimeAxis(std::string& s, const TTimeScale& scale, double top, double y) {
    s += "<g stroke=\"#e4e4e4\">";
    const std::vector<TTick> ticks = TimeTicks(scale.Start, scale.End, 8);
    for (const TTick& tick : ticks) {
        s += "<path d=\"M";
        AppendPx(s, scale.X(tick.Value));
        s += ' ';
        AppendPx(s, top);
        s += " V";
        AppendPx(s, y + 4);
        s += "\"/>";
    }
    s += "</g>\n<path d=\"M";
    AppendPx(s, kPlotLeft);
    s += ' ';
    AppendPx(s, y);
    s += " H";
    AppendPx(s, kPlotRight);
    s += "\" stroke=\"#888\"/>\n<g fill=\"#444\" text-anchor=\"middle\">";
    for (const TTick& tick : ticks) {
        const std::size_t cut = tick.Label.find('\n');
        s += "<text x=\"";
        AppendPx(s, scale.X(tick.Value));
        s += "\" y=\"";
        AppendPx(s, y + 17);
        s += "\">";
        AppendXmlText(s, tick.Label.substr(0, cut));
        if (cut != std::string::npos) {
            s += "<tspan x=\"";
            AppendPx(s, scale.X(tick.Value));
            s += "\" dy=\"14\">";
            AppendXmlText(s, tick.Label.substr(cut + 1));
            s += "</tspan>";
        }
        s += "</text>";
    }
    s += "</g>\n<text x=\"";
    AppendPx(s, kPlotRight);
    s += "\" y=\"";
    AppendPx(s, y + 40);
    s += "\" text-anchor=\"end\" fill=\"#777\">UTC</text>\n";
}

// The value axis at the left: horizontal grid lines and their labels.
void AppendValueAxis(std::string& s, const std::vector<TTick>& ticks, const char* unit) {
    const double top = ticks.back().Value;
    const auto y = [&](double v) { return kPlotTop + kPlotHeight * (1 - v / top); };
    s += "<g stroke=\"#e4e4e4\">";
    for (const TTick& tick : ticks) {
        s += "<path d=\"M";
        AppendPx(s, kPlotLeft);
        s += ' ';
        AppendPx(s, y(tick.Value));
        s += " H";
        AppendPx(s, kPlotRight);
        s += "\"/>";
    }
    s += "</g>\n<g fill=\"#444\" text-anchor=\"end\">";
    for (const TTick& tick : ticks) {
        s += "<text x=\"";
        AppendPx(s, kPlotLeft - 6);
        s += "\" y=\"";
        AppendPx(s, y(tick.Value) + 4);
        s += "\">";
        AppendXmlText(s, tick.Label);
        s += "</text>";
    }
    s += "</g>\n<text transform=\"translate(14 ";
    AppendPx(s, kPlotTop + kPlotHeight / 2);
    s += ") rotate(-90)\" text-anchor=\"middle\" fill=\"#777\">";
    s += unit;
    s += "</text>\n";
}

// Shaded bands over [top, top + height] for `gaps`, each with its hover text.
void AppendBands(std::string& s, const TTimeScale& scale, const std::vector<TGap>& gaps, double top,
                 double height, const char* colour, double opacity, const char* what) {
    if (gaps.empty())
        return;
    s += "<g fill=\"";
    s += colour;
    s += "\" fill-opacity=\"";
    AppendFixed(s, opacity, 2);
    s += "\">";
    for (const TGap& gap : gaps) {
        const double x0 = scale.X(gap.Start);
        const double x1 = std::max(scale.X(gap.End), x0 + 1);  // visible however short
        s += "<rect x=\"";
        AppendPx(s, x0);
        s += "\" y=\"";
        AppendPx(s, top);
        s += "\" width=\"";
        AppendPx(s, x1 - x0);
        s += "\" height=\"";
        AppendPx(s, height);
        s += "\"><title>";
        s += what;
        s += ' ';
        AppendDuration(s, gap.Seconds());
        s += ", ";
        s += ClockTime(gap.Start);
        s += " to ";
        s += ClockTime(gap.End);
        s += " UTC</title></rect>";
    }
    s += "</g>\n";
}

// Vertical marks for the events over [top, top + height].
void AppendEventMarks(std::string& s, const TTimeScale& scale, const std::vector<TRunEvent>& events,
                      double top, double height) {
    if (events.empty())
        return;
    s += "<g stroke=\"";
    s += kEventColour;
    s += "\" stroke-width=\"1.5\" stroke-dasharray=\"3 2\">";
    for (std::size_t i = 0; i < events.size() && i < kMaxEvents; ++i) {
        const TRunEvent& event = events[i];
        if (!UsableTime(event.Time))
            continue;
        s += "<path d=\"M";
        AppendPx(s, scale.X(SecondsOf(event.Time)));
        s += ' ';
        AppendPx(s, top);
        s += " v";
        AppendPx(s, height);
        s += "\"><title>";
        s += ClockTime(SecondsOf(event.Time));
        s += " UTC: ";
        AppendXmlText(s, event.Handset.empty() ? event.What : event.Handset + ": " + event.What);
        if (event.Seconds > 0) {
            s += " (";
            AppendDuration(s, event.Seconds);
            s += ')';
        }
        s += "</title></path>";
    }
    s += "</g>\n";
}

// A step outline through the columns: along the top values left to right, then back along
// the bottom values (for an area between two cumulative rates).
void AppendStepArea(std::string& s, const std::vector<TTimeColumn>& columns,
                    const TTimeScale& scale, const std::vector<double>& top,
                    const std::vector<double>& bottom, double yScale) {
    const auto y = [&](double v) { return kPlotTop + kPlotHeight - v * yScale; };
    s += "M";
    AppendPx(s, scale.X(columns.front().Start));
    s += ' ';
    AppendPx(s, y(top.front()));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        s += " V";
        AppendPx(s, y(top[i]));
        s += " H";
        AppendPx(s, scale.X(columns[i].Start + columns[i].Seconds));
    }
    for (std::size_t i = columns.size(); i-- > 0;) {
        s += " V";
        AppendPx(s, y(bottom[i]));
        s += " H";
        AppendPx(s, scale.X(columns[i].Start));
    }
    s += " Z";
}

// Transparent columns over the plot whose hover text gives each column's figures.
void AppendColumnHover(std::string& s, const std::vector<TTimeColumn>& columns,
                       const TTimeScale& scale) {
    // Painted but invisible, so that they take the pointer (SVG 1.1 has no "transparent").
    s += "<g fill=\"#000\" fill-opacity=\"0\">";
    for (const TTimeColumn& column : columns) {
        const double x0 = scale.X(column.Start);
        const double x1 = scale.X(column.Start + column.Seconds);
        s += "<rect x=\"";
        AppendPx(s, x0);
        s += "\" y=\"";
        AppendPx(s, kPlotTop);
        s += "\" width=\"";
        AppendPx(s, x1 - x0);
        s += "\" height=\"";
        AppendPx(s, kPlotHeight);
        s += "\"><title>";
        s += ClockTime(column.Start);
        s += " UTC, ";
        AppendDuration(s, column.Seconds);
        s += ": ";
        AppendInt(s, static_cast<int64_t>(column.Counts.Total()));
        s += " records (";
        AppendFixed(s, static_cast<double>(column.Counts.Total()) / column.Seconds, 1);
        s += "/s";
        for (int bucket = 0; bucket < kClassBuckets; ++bucket) {
            if (column.Counts.Records[bucket] == 0)
                continue;
            s += "; ";
            s += kClassStyles[bucket].Label;
            s += ' ';
            AppendInt(s, static_cast<int64_t>(column.Counts.Records[bucket]));
        }
        s += "), ";
        AppendFixed(s, static_cast<double>(column.Counts.PayloadBytes) / column.Seconds, 1);
        s += " payload bytes/s</title></rect>";
    }
    s += "</g>\n";
}

// The report's figures other than the rows' bins, gathered at Make.
struct TReportView {
    const TOutputFacts* Facts = nullptr;
    TTimeScale Scale;
    bool HasSpan = false;
    std::vector<TTimeColumn> Columns;
    int64_t BinWidth = 1;
    std::vector<TGap> TraceGaps, FixGaps;
    uint64_t MoreTraceGaps = 0, MoreFixGaps = 0;
    std::vector<std::string> FixGapNotes;  // beside FixGaps: "", "before the first fix", ...
    bool HasTrace = false, HasFixes = false;
    double TraceFirst = 0, TraceLast = 0, FixFirst = 0, FixLast = 0;
};

void AppendRecordsPlot(std::string& s, const TReportView& v) {
    const double height = kPlotTop + kPlotHeight + kAxisHeight;
    AppendSvgHead(s, height, "records per second by message class");
    const std::vector<TTimeColumn>& columns = v.Columns;
    // Cumulative rates, bucket by bucket from the bottom.
    std::vector<std::vector<double>> stacked(kClassBuckets + 1,
                                             std::vector<double>(columns.size(), 0.0));
    double highest = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        for (int bucket = 0; bucket < kClassBuckets; ++bucket)
            stacked[bucket + 1][i] =
                stacked[bucket][i] +
                static_cast<double>(columns[i].Counts.Records[bucket]) / columns[i].Seconds;
        highest = std::max(highest, stacked[kClassBuckets][i]);
    }
    const std::vector<TTick> ticks = ValueTicks(highest, 5);
    AppendValueAxis(s, ticks, "records per second");
    AppendBands(s, v.Scale, v.TraceGaps, kPlotTop, kPlotHeight, kTraceGapColour, 0.12,
                "no record for");
    const double yScale = kPlotHeight / ticks.back().Value;
    for (int bucket = 0; bucket < kClassBuckets; ++bucket) {
        uint64_t total = 0;
        for (const TTimeColumn& column : columns)
            total += column.Counts.Records[bucket];
        if (total == 0)
            continue;
        s += "<path fill=\"";
        s += kClassStyles[bucket].Colour;
        s += "\" fill-opacity=\"0.85\" d=\"";
        AppendStepArea(s, columns, v.Scale, stacked[bucket + 1], stacked[bucket], yScale);
        s += "\"><title>";
        s += kClassStyles[bucket].Label;
        s += ": ";
        AppendInt(s, static_cast<int64_t>(total));
        s += " records</title></path>\n";
    }
    AppendEventMarks(s, v.Scale, v.Facts->Events, kPlotTop, kPlotHeight);
    AppendTimeAxis(s, v.Scale, kPlotTop, kPlotTop + kPlotHeight);
    AppendColumnHover(s, columns, v.Scale);
    s += "</svg>\n";
}

void AppendRatePlot(std::string& s, const TReportView& v) {
    const double height = kPlotTop + kPlotHeight + kAxisHeight;
    AppendSvgHead(s, height, "decoded payload bytes per second");
    const std::vector<TTimeColumn>& columns = v.Columns;
    std::vector<double> rate(columns.size()), zero(columns.size(), 0.0);
    double highest = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        rate[i] = static_cast<double>(columns[i].Counts.PayloadBytes) / columns[i].Seconds;
        highest = std::max(highest, rate[i]);
    }
    const std::vector<TTick> ticks = ValueTicks(highest, 5);
    AppendValueAxis(s, ticks, "payload bytes per second");
    AppendBands(s, v.Scale, v.TraceGaps, kPlotTop, kPlotHeight, kTraceGapColour, 0.12,
                "no record for");
    // Without records (a track alone spans the axis) there is no area to draw.
    if (!columns.empty()) {
        s += "<path fill=\"";
        s += kRateColour;
        s += "\" fill-opacity=\"0.35\" stroke=\"";
        s += kRateColour;
        s += "\" stroke-width=\"1\" d=\"";
        AppendStepArea(s, columns, v.Scale, rate, zero, kPlotHeight / ticks.back().Value);
        s += "\"><title>decoded payload bytes per second</title></path>\n";
    }
    AppendEventMarks(s, v.Scale, v.Facts->Events, kPlotTop, kPlotHeight);
    AppendTimeAxis(s, v.Scale, kPlotTop, kPlotTop + kPlotHeight);
    AppendColumnHover(s, columns, v.Scale);
    s += "</svg>\n";
}

// Three lanes on the time axis: where records came and their gaps, where fixes came and
// their gaps, and the events.
void AppendTimeline(std::string& s, const TReportView& v) {
    const double lanes[3] = {kPlotTop, kPlotTop + kLaneHeight + kLaneGap,
                             kPlotTop + 2 * (kLaneHeight + kLaneGap)};
    const double axisY = lanes[2] + kLaneHeight + 6;
    AppendSvgHead(s, axisY + kAxisHeight, "gaps in the trace and in the GPS fixes, and events");
    const char* names[3] = {"records", "GPS fixes", "events"};
    s += "<g fill=\"#444\" text-anchor=\"end\">";
    for (int lane = 0; lane < 3; ++lane) {
        s += "<text x=\"";
        AppendPx(s, kPlotLeft - 6);
        s += "\" y=\"";
        AppendPx(s, lanes[lane] + 15);
        s += "\">";
        s += names[lane];
        s += "</text>";
    }
    s += "</g>\n";
    const auto coverage = [&](bool any, double first, double last, double top, const char* what) {
        if (!any)
            return;
        const double x0 = v.Scale.X(first);
        s += "<rect x=\"";
        AppendPx(s, x0);
        s += "\" y=\"";
        AppendPx(s, top);
        s += "\" width=\"";
        AppendPx(s, std::max(v.Scale.X(last) - x0, 1.0));
        s += "\" height=\"";
        AppendPx(s, kLaneHeight);
        s += "\" fill=\"#9ecae1\"><title>";
        s += what;
        s += " from ";
        s += ClockTime(first);
        s += " to ";
        s += ClockTime(last);
        s += " UTC</title></rect>\n";
    };
    coverage(v.HasTrace, v.TraceFirst, v.TraceLast, lanes[0], "records");
    AppendBands(s, v.Scale, v.TraceGaps, lanes[0], kLaneHeight, kTraceGapColour, 0.9,
                "no record for");
    coverage(v.HasFixes, v.FixFirst, v.FixLast, lanes[1], "GPS fixes");
    AppendBands(s, v.Scale, v.FixGaps, lanes[1], kLaneHeight, kFixGapColour, 0.9, "no fix for");
    // An event that lasted (a GPS loss, a reconnect that took a while) as a band too.
    std::vector<TGap> lasting;
    for (std::size_t i = 0; i < v.Facts->Events.size() && i < kMaxEvents; ++i) {
        const TRunEvent& event = v.Facts->Events[i];
        if (UsableTime(event.Time) && event.Seconds > 0)
            lasting.push_back({SecondsOf(event.Time), SecondsOf(event.Time) + event.Seconds});
    }
    AppendBands(s, v.Scale, lasting, lanes[2], kLaneHeight, kEventColour, 0.25, "event for");
    AppendEventMarks(s, v.Scale, v.Facts->Events, lanes[2], kLaneHeight);
    AppendTimeAxis(s, v.Scale, kPlotTop, axisY);
    s += "</svg>\n";
}

void AppendCountRow(std::string& s, const char* key, const std::string& label, uint64_t value,
                    const char* colour = nullptr) {
    s += "<tr><th>";
    if (colour != nullptr) {
        s += "<span class=\"swatch\" style=\"background:";
        s += colour;
        s += "\"></span>";
    }
    AppendXmlText(s, label);
    s += "</th><td class=\"n\" data-key=\"";
    s += key;
    s += "\">";
    AppendInt(s, static_cast<int64_t>(value));
    s += "</td></tr>\n";
}

void AppendGapTable(std::string& s, const std::vector<TGap>& gaps,
                    const std::vector<std::string>* notes, uint64_t more, const char* none) {
    if (gaps.empty() && more == 0) {
        s += "<p class=\"note\">";
        s += none;
        s += "</p>\n";
        return;
    }
    s += "<table><tr><th>from (UTC)</th><th>to (UTC)</th><th>for</th>";
    if (notes != nullptr)
        s += "<th></th>";
    s += "</tr>\n";
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        s += "<tr><td>";
        AppendTime(s, gaps[i].Start);
        s += "</td><td>";
        AppendTime(s, gaps[i].End);
        s += "</td><td class=\"n\">";
        AppendDuration(s, gaps[i].Seconds());
        s += "</td>";
        if (notes != nullptr) {
            s += "<td>";
            s += (*notes)[i];
            s += "</td>";
        }
        s += "</tr>\n";
    }
    s += "</table>\n";
    if (more > 0) {
        s += "<p class=\"note\">and ";
        AppendInt(s, static_cast<int64_t>(more));
        s += " more, not listed.</p>\n";
    }
}

void AppendEventTable(std::string& s, const std::vector<TRunEvent>& events) {
    s += "<table><tr><th>time (UTC)</th><th>handset</th><th>event</th><th>for</th></tr>\n";
    for (std::size_t i = 0; i < events.size() && i < kMaxEvents; ++i) {
        const TRunEvent& event = events[i];
        s += "<tr><td>";
        AppendIso8601(s, event.Time);
        s += "</td><td>";
        AppendXmlText(s, event.Handset);
        s += "</td><td>";
        AppendXmlText(s, event.What);
        s += "</td><td class=\"n\">";
        if (event.Seconds > 0)
            AppendDuration(s, event.Seconds);
        s += "</td></tr>\n";
    }
    s += "</table>\n";
    if (events.size() > kMaxEvents) {
        s += "<p class=\"note\">and ";
        AppendInt(s, static_cast<int64_t>(events.size() - kMaxEvents));
        s += " more, neither drawn nor listed.</p>\n";
    }
}

class THtmlReport final : public IOutput {
public:
    bool Open(const std::string& path, std::string* error) override {
        return Out.Open(path, error);
    }

    void Begin(const TOutputFacts& facts) override {
        Map = std::make_unique<TSvgMap>(facts.Track != nullptr ? *facts.Track : NoTrack);
    }

    void Add(const TRecordRow& row) override {
        if (!Map)
            Map = std::make_unique<TSvgMap>(NoTrack);
        Map->Add(row);
        ++Rows;
        if (!UsableTime(row.TestTime)) {
            ++RowsWithoutTime;
            return;
        }
        const double seconds = SecondsOf(row.TestTime);
        Bins.Add(seconds, ClassBucket(row.MessageClass), row.PayloadLength);
        TraceGaps.Add(seconds);
    }

    bool Make(const TOutputFacts& facts, std::string* error) override;

private:
    // What the plots show: the gaps, the time axis, the columns.
    TReportView View(const TOutputFacts& facts, const std::vector<TGpsPoint>& track) const;
    // The page's parts, in order, appended to `s` (flushed by Make between them).
    void AppendHead(std::string& s, const TOutputFacts& facts) const;
    void AppendCounts(std::string& s, const TOutputFacts& facts, const TReportView& v,
                      std::size_t fixes) const;
    void AppendMap(std::string& s, const TOutputFacts& facts);
    void AppendOverTime(std::string& s, const TOutputFacts& facts, const TReportView& v);

    TOutputFile& File() override { return Out; }

private:
    // Writes `s` out once it is long (or `always`). A failed write stays in the stream's
    // error flag, which the set's Flush and Commit report.
    void Flush(std::string& s, bool always) {
        if (s.size() >= kFlushBytes || always) {
            std::fwrite(s.data(), 1, s.size(), Out.File());
            s.clear();
        }
    }

    inline static const std::vector<TGpsPoint> NoTrack;
    TOutputFile Out;
    std::unique_ptr<TSvgMap> Map;
    TTimeBins Bins;
    TGapFinder TraceGaps{kTraceGapSeconds};
    uint64_t Rows = 0, RowsWithoutTime = 0;
};

bool THtmlReport::Make(const TOutputFacts& facts, std::string* error) {
    if (Out.File() == nullptr) {
        if (error != nullptr)
            *error = "the report " + Out.Name() + " is not open";
        return false;
    }
    const std::vector<TGpsPoint>& track = facts.Track != nullptr ? *facts.Track : NoTrack;
    if (!Map)
        Map = std::make_unique<TSvgMap>(track);

    const TReportView v = View(facts, track);
    std::string s;
    s.reserve(kFlushBytes + 4096);
    AppendHead(s, facts);
    AppendCounts(s, facts, v, track.size());
    Flush(s, false);
    AppendMap(s, facts);
    Flush(s, false);
    AppendOverTime(s, facts, v);
    s += "</body>\n</html>\n";
    Flush(s, true);
    return true;
}

TReportView THtmlReport::View(const TOutputFacts& facts,
                              const std::vector<TGpsPoint>& track) const {
    TReportView v;
    v.Facts = &facts;
    v.HasTrace = !TraceGaps.Empty();
    v.TraceFirst = TraceGaps.First();
    v.TraceLast = TraceGaps.Last();
    v.TraceGaps = TraceGaps.Gaps();
    v.MoreTraceGaps = TraceGaps.More();

    TGapFinder fixes(kFixGapSeconds);
    for (const TGpsPoint& fix : track)
        if (UsableTime(fix.Time))
            fixes.Add(SecondsOf(fix.Time));
    v.HasFixes = !fixes.Empty();
    v.FixFirst = fixes.First();
    v.FixLast = fixes.Last();
    // The fixes' gaps, and the stretches of the trace before the first fix and after the last
    // one (the records there have no position of their own).
    if (v.HasTrace && v.HasFixes && v.FixFirst - v.TraceFirst > kFixGapSeconds) {
        v.FixGaps.push_back({v.TraceFirst, v.FixFirst});
        v.FixGapNotes.emplace_back("before the first fix");
    }
    for (const TGap& gap : fixes.Gaps()) {
        v.FixGaps.push_back(gap);
        v.FixGapNotes.emplace_back();
    }
    if (v.HasTrace && v.HasFixes && v.TraceLast - v.FixLast > kFixGapSeconds) {
        v.FixGaps.push_back({v.FixLast, v.TraceLast});
        v.FixGapNotes.emplace_back("after the last fix");
    }
    v.MoreFixGaps = fixes.More();

    // The time axis spans the records; without any, the fixes.
    if (!Bins.Empty()) {
        v.Scale.Start = static_cast<double>(Bins.Start());
        v.Scale.End = static_cast<double>(Bins.Start()) +
                      static_cast<double>(Bins.Width()) * static_cast<double>(Bins.Counts().size());
        v.HasSpan = true;
    } else if (v.HasFixes) {
        v.Scale.Start = v.FixFirst;
        v.Scale.End = std::max(v.FixLast, v.FixFirst + 1);
        v.HasSpan = true;
    }
    v.Columns = MergeColumns(Bins, kPlotColumns);
    v.BinWidth = Bins.Width();
    return v;
}

void THtmlReport::AppendHead(std::string& s, const TOutputFacts& facts) const {
    s += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
         // Nothing may be fetched: a stray reference shows as a console error.
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
         "style-src 'unsafe-inline'; img-src data:\"/>\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n<title>";
    AppendXmlText(s, facts.Title);
    s += "</title>\n<style>";
    s += kStyleSheet;
    s += "</style>\n</head>\n<body>\n<h1>";
    AppendXmlText(s, facts.Title);
    s += "</h1>\n<p class=\"subtitle\">";
    AppendXmlText(s, facts.Subtitle);
    s += "</p>\n";
}

void THtmlReport::AppendCounts(std::string& s, const TOutputFacts& facts, const TReportView& v,
                               std::size_t fixes) const {
    // The counts, with the JSON summary's names as data-key.
    s += "<h2 id=\"counts\">Counts</h2>\n<table class=\"counts\">\n";
    AppendCountRow(s, "records.total", "records", facts.Records);
    static constexpr const char* kClassKeys[kClassBuckets] = {
        "records.by_class.0", "records.by_class.1", "records.by_class.2", "records.by_class.3",
        "records.by_class.none"};
    for (int bucket = 0; bucket < kClassBuckets; ++bucket)
        AppendCountRow(s, kClassKeys[bucket], kClassStyles[bucket].Label,
                       facts.RecordsByClass[bucket], kClassStyles[bucket].Colour);
    AppendCountRow(s, "records.with_position", "with a position", facts.WithPosition);
    AppendCountRow(s, "records.without_position", "without a position",
                   facts.Records >= facts.WithPosition ? facts.Records - facts.WithPosition : 0);
    AppendCountRow(s, "records_shown", "shown in the point layers", facts.Shown);
    AppendCountRow(s, "track.fixes", "GPS fixes", fixes);
    AppendCountRow(s, "report.rows", "rows in this report", Rows);
    AppendCountRow(s, "report.rows_without_time", "of them without a usable time", RowsWithoutTime);
    AppendCountRow(s, "report.trace_gaps", "gaps in the trace",
                   v.TraceGaps.size() + v.MoreTraceGaps);
    AppendCountRow(s, "report.fix_gaps", "gaps in the GPS fixes", v.FixGaps.size() + v.MoreFixGaps);
    AppendCountRow(s, "report.events", "events", facts.Events.size());
    s += "</table>\n";

    s += "<h2 id=\"summary\">Summary</h2>\n<pre class=\"summary\">";
    AppendSummaryText(s, facts.SummaryLines);
    s += "</pre>\n";
    if (!facts.Outputs.empty()) {
        s += "<p class=\"note\">Written with this report: ";
        for (std::size_t i = 0; i < facts.Outputs.size(); ++i) {
            if (i > 0)
                s += ", ";
            AppendXmlText(s, facts.Outputs[i]);
        }
        s += ".</p>\n";
    }
}

void THtmlReport::AppendMap(std::string& s, const TOutputFacts& facts) {
    s += "<h2 id=\"map\">Map</h2>\n";
    Map->SetTitle(facts.Title, facts.Subtitle);
    std::string map = Map->Render();
    // Inline SVG in HTML takes no XML declaration.
    std::size_t from = 0;
    if (map.compare(0, 5, "<?xml") == 0)
        from = map.find('\n') + 1;
    s.append(map, from, std::string::npos);
}

void THtmlReport::AppendOverTime(std::string& s, const TOutputFacts& facts, const TReportView& v) {
    if (!v.HasSpan) {
        s += "<h2 id=\"time\">Over time</h2>\n<p class=\"note\">No record and no GPS fix has a "
             "usable time: there is nothing to plot.</p>\n";
    } else {
        s += "<h2 id=\"records\">Records per second by message class</h2>\n<p class=\"note\">";
        for (int bucket = 0; bucket < kClassBuckets; ++bucket) {
            s += "<span class=\"swatch\" style=\"background:";
            s += kClassStyles[bucket].Colour;
            s += "\"></span>";
            s += kClassStyles[bucket].Label;
            s += bucket + 1 < kClassBuckets ? " &#160; " : "";
        }
        s += "<br/>Stacked; each step is the mean over ";
        AppendDuration(s, v.Columns.empty() ? 0.0 : v.Columns.front().Seconds);
        s += " (counted per ";
        AppendDuration(s, static_cast<double>(v.BinWidth));
        s += "). Red bands: no record for more than ";
        AppendDuration(s, kTraceGapSeconds);
        s += "; dashed lines: events.</p>\n";
        AppendRecordsPlot(s, v);
        Flush(s, false);

        s += "<h2 id=\"data-rate\">Decoded payload bytes per second</h2>\n<p class=\"note\">"
             "The payload lengths of the decoded records added up over time: what the decoder "
             "kept of each frame, not the bytes read from the handset (the summary's mean data "
             "rate counts those).</p>\n";
        AppendRatePlot(s, v);
        Flush(s, false);

        s += "<h2 id=\"gaps\">Gaps and events</h2>\n";
        AppendTimeline(s, v);
        s += "<h3>Gaps in the trace (no record for more than ";
        AppendDuration(s, kTraceGapSeconds);
        s += ")</h3>\n";
        AppendGapTable(s, v.TraceGaps, nullptr, v.MoreTraceGaps, "None.");
        Flush(s, false);
        s += "<h3>Gaps in the GPS fixes (no fix for more than ";
        AppendDuration(s, kFixGapSeconds);
        s += ")</h3>\n";
        AppendGapTable(s, v.FixGaps, &v.FixGapNotes, v.MoreFixGaps,
                       v.HasFixes ? "None." : "No GPS fix.");
        Flush(s, false);
        if (!facts.Events.empty()) {
            s += "<h3>Events</h3>\n";
            AppendEventTable(s, facts.Events);
        }
    }
    if (RowsWithoutTime > 0) {
        s += "<p class=\"note\">";
        AppendInt(s, static_cast<int64_t>(RowsWithoutTime));
        s += " records have no usable time and are not on the plots.</p>\n";
    }
}

}  // namespace

std::unique_ptr<IOutput> MakeHtmlReport() {
    return std::make_unique<THtmlReport>();
}

const TOutputKind kReportOutputKind = {
    .Name = "report",
    .Option = "--report",
    .Value = "FILE",
    .Suffix = ".html",
    .Help =
        "Write one self-contained HTML page to look at the run: the summary, the map, and "
        "plots over time (records per second by class, data rate, gaps in the trace and "
        "in the GPS fixes)",
    .Needs = kHtmlReportNeeds,
    .Create = MakeHtmlReport,
};

bool UsableTime(TDateTime t) {
    // After the epoch and before the year 10000 (2958466 days); false for NaN.
    return t > 0.0 && t < 2958466.0;
}

uint64_t TTimeCounts::Total() const {
    uint64_t total = 0;
    for (const uint64_t n : Records)
        total += n;
    return total;
}

void TTimeCounts::AddUp(const TTimeCounts& other) {
    for (int bucket = 0; bucket < kClassBuckets; ++bucket)
        Records[bucket] += other.Records[bucket];
    PayloadBytes += other.PayloadBytes;
}

namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

int64_t BinOf(double seconds, int64_t width) {
    return static_cast<int64_t>(std::floor(seconds / static_cast<double>(width)));
}

}  // namespace

int64_t TTimeBins::NextWidth(int64_t width) {
    for (const int64_t next : kBinWidths)
        if (next > width)
            return next;
    return width * 2;
}

void TTimeBins::Widen(int64_t low, int64_t high) {
    // The span in seconds that must fit: the bins so far and the new moment's.
    const int64_t lowSeconds = low * BinWidth;
    const int64_t highSeconds = (high + 1) * BinWidth - 1;
    int64_t width = BinWidth;
    do {
        width = NextWidth(width);
    } while (FloorDiv(highSeconds, width) - FloorDiv(lowSeconds, width) + 1 >
             static_cast<int64_t>(MaxBins));
    // Merge: each old bin falls whole into one new bin, since the old width divides the new.
    std::deque<TTimeCounts> merged;
    int64_t first = 0;
    for (std::size_t i = 0; i < Bins.size(); ++i) {
        const int64_t index = FloorDiv((FirstBin + static_cast<int64_t>(i)) * BinWidth, width);
        if (merged.empty())
            first = index;
        while (first + static_cast<int64_t>(merged.size()) <= index)
            merged.emplace_back();
        merged.back().AddUp(Bins[i]);
    }
    Bins = std::move(merged);
    FirstBin = first;
    BinWidth = width;
}

void TTimeBins::Add(double seconds, int classBucket, int32_t payloadLength) {
    int64_t index = BinOf(seconds, BinWidth);
    if (Bins.empty()) {
        FirstBin = index;
        Bins.emplace_back();
    } else {
        const int64_t last = FirstBin + static_cast<int64_t>(Bins.size()) - 1;
        const int64_t low = std::min(FirstBin, index), high = std::max(last, index);
        if (high - low + 1 > static_cast<int64_t>(MaxBins)) {
            Widen(low, high);
            index = BinOf(seconds, BinWidth);
        }
        while (index < FirstBin) {
            Bins.emplace_front();
            --FirstBin;
        }
        while (index >= FirstBin + static_cast<int64_t>(Bins.size()))
            Bins.emplace_back();
    }
    TTimeCounts& bin = Bins[static_cast<std::size_t>(index - FirstBin)];
    ++bin.Records[ClassBucket(classBucket)];
    if (payloadLength > 0)
        bin.PayloadBytes += static_cast<uint64_t>(payloadLength);
}

std::vector<TTimeColumn> MergeColumns(const TTimeBins& bins, std::size_t maxColumns) {
    std::vector<TTimeColumn> columns;
    const std::size_t n = bins.Counts().size();
    if (n == 0 || maxColumns == 0)
        return columns;
    const std::size_t per = (n + maxColumns - 1) / maxColumns;
    const double width = static_cast<double>(bins.Width());
    columns.reserve((n + per - 1) / per);
    for (std::size_t i = 0; i < n; i += per) {
        TTimeColumn column;
        column.Start = static_cast<double>(bins.Start()) + static_cast<double>(i) * width;
        const std::size_t end = std::min(n, i + per);
        column.Seconds = static_cast<double>(end - i) * width;
        for (std::size_t j = i; j < end; ++j)
            column.Counts.AddUp(bins.Counts()[j]);
        columns.push_back(column);
    }
    return columns;
}

void TGapFinder::Keep(TGap gap, bool atFront) {
    if (List.size() >= MaxGaps) {
        ++Dropped;
        DroppedSeconds += gap.Seconds();
        return;
    }
    List.insert(atFront ? List.begin() : List.end(), gap);
}

void TGapFinder::Add(double seconds) {
    if (!Any) {
        Any = true;
        Low = High = seconds;
        return;
    }
    if (seconds > High) {
        if (seconds - High > MinSeconds)
            Keep({High, seconds}, false);
        High = seconds;
        return;
    }
    if (seconds < Low) {
        if (Low - seconds > MinSeconds)
            Keep({seconds, Low}, true);
        Low = seconds;
        return;
    }
    // A moment that came late, inside the span: it splits the gap it falls in.
    auto it = std::upper_bound(List.begin(), List.end(), seconds,
                               [](double s, const TGap& gap) { return s < gap.Start; });
    if (it == List.begin())
        return;
    --it;
    if (!(seconds > it->Start && seconds < it->End))
        return;
    const TGap left{it->Start, seconds}, right{seconds, it->End};
    const bool keepLeft = left.Seconds() > MinSeconds, keepRight = right.Seconds() > MinSeconds;
    if (keepLeft && keepRight) {
        *it = left;
        if (List.size() >= MaxGaps) {
            // No room for both halves: the longer one stays listed.
            ++Dropped;
            DroppedSeconds += std::min(left.Seconds(), right.Seconds());
            if (right.Seconds() > left.Seconds())
                *it = right;
        } else {
            List.insert(it + 1, right);
        }
    } else if (keepLeft) {
        *it = left;
    } else if (keepRight) {
        *it = right;
    } else {
        List.erase(it);
    }
}

int64_t TimeStep(double start, double end, int maxTicks) {
    static constexpr int64_t kSteps[] = {1,     2,     5,     10,    15,     30,    60,
                                         120,   300,   600,   900,   1800,   3600,  7200,
                                         10800, 21600, 43200, 86400, 172800, 604800};
    const auto fits = [&](int64_t step) {
        const double s = static_cast<double>(step);
        return std::floor(end / s) - std::ceil(start / s) + 1 <= std::max(maxTicks, 1);
    };
    for (const int64_t step : kSteps)
        if (fits(step))
            return step;
    // Past a week: 10, 20, 50, 100, ... days (a span of at most 10,000 years ends it).
    int64_t days = 10;
    for (; days < int64_t{10000000}; days *= 10)
        for (const int64_t times : {1, 2, 5})
            if (fits(days * times * 86400))
                return days * times * 86400;
    return days * 86400;
}

std::vector<TTick> TimeTicks(double start, double end, int maxTicks) {
    std::vector<TTick> ticks;
    if (!(end >= start) || !std::isfinite(start) || !std::isfinite(end))
        return ticks;
    const int64_t step = TimeStep(start, end, maxTicks);
    const double s = static_cast<double>(step);
    std::string lastDate;
    for (double k = std::ceil(start / s); k * s <= end; ++k) {
        const double at = k * s;
        const std::string iso = FormatIso8601(at / kSecondsPerDay);
        if (iso.size() < 19)
            continue;
        const std::string date = iso.substr(0, 10);
        TTick tick;
        tick.Value = at;
        if (step >= 86400) {
            tick.Label = date;
        } else {
            tick.Label = iso.substr(11, step < 60 ? 8 : 5);
            if (date != lastDate)
                tick.Label += "\n" + date;
        }
        lastDate = date;
        ticks.push_back(std::move(tick));
    }
    return ticks;
}

namespace {

std::string ValueLabel(double value) {
    char buffer[32];
    if (value >= 1e6)
        std::snprintf(buffer, sizeof buffer, "%gM", value / 1e6);
    else if (value >= 1e3)
        std::snprintf(buffer, sizeof buffer, "%gk", value / 1e3);
    else
        std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

}  // namespace

std::vector<TTick> ValueTicks(double maxValue, int maxTicks) {
    if (!(maxValue > 0) || !std::isfinite(maxValue))
        maxValue = 1;
    maxTicks = std::max(maxTicks, 1);
    const double raw = maxValue / maxTicks;
    const double unit = std::pow(10.0, std::floor(std::log10(raw)));
    double step = 10 * unit;
    for (const double times : {1.0, 2.0, 5.0})
        if (times * unit >= raw * (1 - 1e-12)) {
            step = times * unit;
            break;
        }
    const auto count = static_cast<int>(std::ceil(maxValue / step * (1 - 1e-12)));
    std::vector<TTick> ticks;
    for (int i = 0; i <= count; ++i) {
        // Rounded to the step's precision, so that 3 x 0.1 reads 0.3.
        const double value = std::round(i * step / unit * 1000) / 1000 * unit;
        ticks.push_back({value, ValueLabel(value)});
    }
    return ticks;
}

void AppendSummaryText(std::string& out, const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            out += '\n';
        AppendXmlText(out, lines[i]);
    }
}

}  // namespace n95::host
