#include "host/outputs/HtmlReport.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>

#include "host/common/DateTimeText.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using n95::test::ReadFile;
using n95::test::WriteFile;

const double kMorning = SecondsOf(MakeDateTime(2024, 5, 14, 9, 20, 0));

// The bins of `times` at the final width, counted the obvious way: what the merging must
// give whatever the order the rows came in.
std::map<int64_t, uint64_t> BinsByHand(const std::vector<double>& times, int64_t width) {
    std::map<int64_t, uint64_t> bins;
    for (const double t : times)
        ++bins[static_cast<int64_t>(std::floor(t / static_cast<double>(width)))];
    return bins;
}

TEST(HtmlReportTest, BinsCoverTheSpanAndWidenWithinTheBound) {
    struct TCase {
        const char* Name;
        std::size_t MaxBins;
        std::vector<double> Offsets;  // seconds after kMorning, in arrival order
        int64_t Width;
    } cases[] = {
        {"one bin a second", 100, {0, 0.5, 1, 3.9, 99}, 1},
        {"back in time a little", 100, {10, 12, 9.5, 3, 50}, 1},
        {"one over the bound widens once", 100, {0, 100}, 2},
        {"widening twice in one step", 100, {0, 250}, 10},
        {"widening from the front", 100, {500, 0, 499}, 10},
        {"a stamp a year off", 100000, {0, 1, 2, -365.0 * 86400}, 600},
        {"a stamp 270 years off", 100000, {0, 3, -1e5 * 86400}, 86400 * 2},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTimeBins bins(c.MaxBins);
        std::vector<double> times;
        for (std::size_t i = 0; i < c.Offsets.size(); ++i) {
            times.push_back(kMorning + c.Offsets[i]);
            bins.Add(times.back(), static_cast<int>(i % 5), 10);
        }
        EXPECT_EQ(bins.Width(), c.Width);
        EXPECT_LE(bins.Counts().size(), c.MaxBins);
        const std::map<int64_t, uint64_t> expected = BinsByHand(times, bins.Width());
        // The bins run from the first row's bin to the last row's, no further.
        EXPECT_EQ(bins.Start(), expected.begin()->first * bins.Width());
        EXPECT_EQ(static_cast<int64_t>(bins.Counts().size()),
                  expected.rbegin()->first - expected.begin()->first + 1);
        uint64_t bytes = 0;
        for (std::size_t i = 0; i < bins.Counts().size(); ++i) {
            const auto it = expected.find(expected.begin()->first + static_cast<int64_t>(i));
            EXPECT_EQ(bins.Counts()[i].Total(), it == expected.end() ? 0u : it->second) << i;
            bytes += bins.Counts()[i].PayloadBytes;
        }
        EXPECT_EQ(bytes, 10u * times.size());
    }
}

TEST(HtmlReportTest, ColumnsMergeWholeBinsAndKeepEveryCount) {
    TTimeBins bins;
    for (int i = 0; i < 1001; ++i)
        bins.Add(kMorning + i, i % 5, i % 3 == 0 ? -1 : 7);
    for (const std::size_t most :
         {std::size_t{1}, std::size_t{7}, std::size_t{600}, std::size_t{5000}}) {
        const std::vector<TTimeColumn> columns = MergeColumns(bins, most);
        EXPECT_LE(columns.size(), most);
        uint64_t records = 0, bytes = 0;
        double at = static_cast<double>(bins.Start());
        for (const TTimeColumn& column : columns) {
            EXPECT_EQ(column.Start, at);  // columns follow one another
            at += column.Seconds;
            records += column.Counts.Total();
            bytes += column.Counts.PayloadBytes;
        }
        EXPECT_EQ(at, kMorning + 1001);
        EXPECT_EQ(records, 1001u);
        EXPECT_EQ(bytes, 667u * 7);  // a missing payload (-1) adds nothing
    }
}

// The gaps of `times` sorted, the obvious way.
std::vector<TGap> GapsByHand(std::vector<double> times, double minSeconds) {
    std::sort(times.begin(), times.end());
    std::vector<TGap> gaps;
    for (std::size_t i = 1; i < times.size(); ++i)
        if (times[i] - times[i - 1] > minSeconds)
            gaps.push_back({times[i - 1], times[i]});
    return gaps;
}

TEST(HtmlReportTest, GapsAreThoseOfTheSortedMoments) {
    struct TCase {
        const char* Name;
        std::vector<double> Times;
    } cases[] = {
        {"none", {1, 2, 3, 4}},
        {"exactly the threshold is no gap", {0, 5, 10}},
        {"two", {0, 1, 7, 8, 20}},
        {"a late moment splits a gap", {0, 30, 15}},
        {"a late moment shortens a gap", {0, 30, 27}},
        {"a late moment closes a gap", {0, 8, 4}},
        {"before the first", {20, 21, 3}},
        {"before the first, close", {20, 21, 17}},
        {"repeated moments", {5, 5, 5, 50, 50}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TGapFinder finder(5.0);
        for (const double t : c.Times)
            finder.Add(t);
        EXPECT_EQ(finder.Gaps(), GapsByHand(c.Times, 5.0));
        EXPECT_EQ(finder.First(), *std::min_element(c.Times.begin(), c.Times.end()));
        EXPECT_EQ(finder.Last(), *std::max_element(c.Times.begin(), c.Times.end()));
        EXPECT_EQ(finder.More(), 0u);
    }
    // A long trace whose stamps go back up to 20 s now and then.
    std::mt19937 random(7);
    std::vector<double> times;
    double t = 0;
    TGapFinder finder(5.0);
    for (int i = 0; i < 5000; ++i) {
        t += std::uniform_real_distribution<double>(0, 3)(random);
        if (random() % 50 == 0)
            t += 10;
        times.push_back(random() % 40 == 0 ? t - 20 : t);
        finder.Add(times.back());
    }
    EXPECT_EQ(finder.Gaps(), GapsByHand(times, 5.0));
}

TEST(HtmlReportTest, GapsBeyondTheBoundAreCounted) {
    TGapFinder finder(1.0, 2);
    for (const double t : {0.0, 10.0, 20.0, 30.0, 45.0, 25.0})
        finder.Add(t);
    // Kept: 0-10 and 10-20; then 20-30 and 30-45 were counted; 25 falls in one not kept.
    EXPECT_EQ(finder.Gaps(), (std::vector<TGap>{{0, 10}, {10, 20}}));
    EXPECT_EQ(finder.More(), 2u);
    EXPECT_EQ(finder.MoreSeconds(), 25.0);
    // A split with no room keeps the longer half listed and counts the other.
    finder.Add(13);
    EXPECT_EQ(finder.Gaps(), (std::vector<TGap>{{0, 10}, {13, 20}}));
    EXPECT_EQ(finder.More(), 3u);
}

TEST(HtmlReportTest, TimeTicksFallOnRoundUtcTimes) {
    const double night = SecondsOf(MakeDateTime(2024, 5, 14, 23, 59, 50));
    struct TCase {
        const char* Name;
        double Start, End;
        int64_t Step;
        std::vector<std::string> Labels;
    } cases[] = {
        {"ten minutes",
         kMorning + 5,
         kMorning + 600,
         120,
         {"09:22\n2024-05-14", "09:24", "09:26", "09:28", "09:30"}},
        {"half a minute over midnight",
         night,
         night + 30,
         5,
         {"23:59:50\n2024-05-14", "23:59:55", "00:00:00\n2024-05-15", "00:00:05", "00:00:10",
          "00:00:15", "00:00:20"}},
        {"three days",
         night + 10,
         night + 10 + 3 * 86400,
         43200,
         {"00:00\n2024-05-15", "12:00", "00:00\n2024-05-16", "12:00", "00:00\n2024-05-17", "12:00",
          "00:00\n2024-05-18"}},
        {"a month",
         night + 10,
         night + 10 + 31 * 86400,
         604800,
         {"2024-05-18", "2024-05-25", "2024-06-01", "2024-06-08", "2024-06-15"}},  // Saturdays
        {"one moment", kMorning, kMorning, 1, {"09:20:00\n2024-05-14"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(TimeStep(c.Start, c.End, 8), c.Step);
        std::vector<std::string> labels;
        for (const TTick& tick : TimeTicks(c.Start, c.End, 8)) {
            EXPECT_EQ(std::fmod(tick.Value, static_cast<double>(c.Step)), 0.0);
            EXPECT_GE(tick.Value, c.Start);
            EXPECT_LE(tick.Value, c.End);
            labels.push_back(tick.Label);
        }
        EXPECT_EQ(labels, c.Labels);
    }
    // A stamp decades off still gives a handful of ticks.
    EXPECT_LE(TimeTicks(kMorning - 40 * 365.0 * 86400, kMorning, 8).size(), 8u);
    EXPECT_TRUE(TimeTicks(kMorning, kMorning - 1, 8).empty());
}

TEST(HtmlReportTest, ValueTicksReachTheHighestValueInRoundSteps) {
    struct TCase {
        double Max;
        std::vector<std::string> Labels;
    } cases[] = {
        {0, {"0", "0.2", "0.4", "0.6", "0.8", "1"}},  // nothing: an axis all the same
        {7, {"0", "2", "4", "6", "8"}},
        {10, {"0", "2", "4", "6", "8", "10"}},
        {0.3, {"0", "0.1", "0.2", "0.3"}},
        {1234, {"0", "500", "1k", "1.5k"}},
        {2.5e6, {"0", "500k", "1M", "1.5M", "2M", "2.5M"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Max);
        const std::vector<TTick> ticks = ValueTicks(c.Max, c.Max == 0.3 ? 3 : 5);
        std::vector<std::string> labels;
        for (const TTick& tick : ticks)
            labels.push_back(tick.Label);
        EXPECT_EQ(labels, c.Labels);
        EXPECT_GE(ticks.back().Value, c.Max);
    }
}

TEST(HtmlReportTest, SummaryTextIsEscapedLineByLine) {
    struct TCase {
        std::vector<std::string> Lines;
        std::string Html;
    } cases[] = {
        {{"records   12: 3 < 4 & \"x\""}, "records   12: 3 &lt; 4 &amp; &quot;x&quot;"},
        {{"</pre><script>alert(1)</script>"}, "&lt;/pre&gt;&lt;script&gt;alert(1)&lt;/script&gt;"},
        {{"first", "  second\tcolumn", ""}, "first\n  second\tcolumn\n"},
        {{"bell\a and escape\x1b[0m"}, "bell and escape[0m"},
        {{"bad \xff byte"}, "bad \xEF\xBF\xBD byte"},
    };
    for (const TCase& c : cases) {
        std::string html;
        AppendSummaryText(html, c.Lines);
        EXPECT_EQ(html, c.Html);
    }
}

// A drive: 10 minutes of records at 10 a second with a 30 s silence and stamps that go back,
// and a track of a fix a second with a 20 s loss.
struct TDrive {
    std::vector<TGpsPoint> Track;
    std::vector<TRecordRow> Rows;
    TOutputFacts Facts;

    TDrive() {
        for (int s = 0; s <= 600; ++s)
            if (s < 200 || s > 220)
                Track.push_back(
                    {24.94 + s * 1e-5, 60.17 + s * 5e-6, MakeDateTime(2024, 5, 14, 9, 20, s)});
        Facts.Track = &Track;
        Facts.Title = "drive <one> & \"two\"";
        Facts.Subtitle = "2024-05-14 09:20 to 09:30";
        for (int i = 0; i < 6000; ++i) {
            if (i >= 3000 && i < 3300)
                continue;  // 30 s without a record
            TRecordRow row;
            row.Index = static_cast<int64_t>(Rows.size());
            const double back = i % 97 == 0 ? 2.0 : 0.0;
            row.TestTime = MakeDateTime(2024, 5, 14, 9, 20, i / 10.0 - back);
            row.StampTime = row.TestTime;
            row.MessageClass = i % 7 == 0 ? -1 : i % 4;
            row.PayloadLength = i % 5 == 0 ? -1 : 40 + i % 13;
            if (i % 3 != 0) {
                row.X = 24.94 + i * 1e-6;
                row.Y = 60.17 + i * 5e-7;
                ++Facts.WithPosition;
            }
            ++Facts.RecordsByClass[ClassBucket(row.MessageClass)];
            Rows.push_back(row);
        }
        TRecordRow timeless;
        timeless.Index = static_cast<int64_t>(Rows.size());
        timeless.TestTime = -9999.0;
        Rows.push_back(timeless);
        ++Facts.RecordsByClass[kNoClassBucket];
        Facts.Records = Rows.size();
        Facts.Shown = Facts.WithPosition;
        Facts.SummaryLines = {"n95host replay drive.pcap", "  records  </pre><script>x</script>",
                              "  rate & more"};
        Facts.Events = {{MakeDateTime(2024, 5, 14, 9, 25, 0), "h1", "reconnect", 0.0},
                        {MakeDateTime(2024, 5, 14, 9, 23, 20), "", "GPS lost", 20.0}};
    }

    std::string Report(const std::string& path) const {
        std::unique_ptr<IOutput> report = MakeHtmlReport();
        std::string error;
        EXPECT_TRUE(report->Open(path, &error)) << error;
        report->Begin(Facts);
        for (const TRecordRow& row : Rows)
            report->Add(row);
        EXPECT_TRUE(report->Make(Facts, &error)) << error;
        EXPECT_TRUE(report->File().Commit(&error)) << error;
        return ReadFile(path);
    }
};

class HtmlReportFileTest : public n95::test::ScratchDirTest {};

TEST_F(HtmlReportFileTest, ReportParsesAndShowsTheCounts) {
    const TDrive drive;
    const std::string html = drive.Report(Path("report.html"));
    // Deterministic: the same input gives the same bytes.
    EXPECT_EQ(drive.Report(Path("again.html")), html);

    // It parses as XML (void elements are closed), so nothing of the summary or the title
    // came through unescaped.
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed =
        doc.load_string(html.c_str(), pugi::parse_default | pugi::parse_doctype);
    ASSERT_TRUE(parsed) << parsed.description() << " at " << parsed.offset;
    EXPECT_EQ(doc.select_nodes("//script").size(), 0u);
    EXPECT_EQ(std::string(doc.select_node("//title").node().child_value()), drive.Facts.Title);
    EXPECT_NE(std::string(doc.select_node("//pre").node().child_value())
                  .find("  records  </pre><script>x</script>\n  rate & more"),
              std::string::npos);
    // Nothing to fetch: no src or href anywhere, and the policy forbids fetching.
    EXPECT_EQ(doc.select_nodes("//*[@src or @href]").size(), 0u);
    EXPECT_NE(html.find("content=\"default-src 'none';"), std::string::npos);
    // The map and three plots, inline.
    EXPECT_EQ(doc.select_nodes("//*[local-name()='svg']").size(), 4u);

    std::map<std::string, uint64_t> shown;
    for (const pugi::xpath_node& cell : doc.select_nodes("//td[@data-key]"))
        shown[cell.node().attribute("data-key").value()] = std::stoull(cell.node().child_value());
    const TOutputFacts& f = drive.Facts;
    const std::map<std::string, uint64_t> expected = {
        {"records.total", f.Records},
        {"records.by_class.0", f.RecordsByClass[0]},
        {"records.by_class.1", f.RecordsByClass[1]},
        {"records.by_class.2", f.RecordsByClass[2]},
        {"records.by_class.3", f.RecordsByClass[3]},
        {"records.by_class.none", f.RecordsByClass[4]},
        {"records.with_position", f.WithPosition},
        {"records.without_position", f.Records - f.WithPosition},
        {"records_shown", f.Shown},
        {"track.fixes", drive.Track.size()},
        {"report.rows", drive.Rows.size()},
        {"report.rows_without_time", 1},
        {"report.trace_gaps", 1},  // the 30 s silence
        {"report.fix_gaps", 1},    // the 20 s loss
        {"report.events", 2},
    };
    EXPECT_EQ(shown, expected);

    // scripts/report-check.sh is tried on this report: N95_HTML_REPORT_OUT=DIR keeps it, with
    // the JSON summary a replay would write of the same counts.
    if (const char* dir = std::getenv("N95_HTML_REPORT_OUT")) {
        WriteFile(std::string(dir) + "/report.html", html);
        std::string json = "{\"command\":\"replay\",\"records\":{";
        for (const char* key : {"total", "with_position", "without_position"})
            json += "\"" + std::string(key) +
                    "\":" + std::to_string(expected.at(std::string("records.") + key)) + ",";
        json += "\"by_class\":{";
        for (const char* bucket : {"0", "1", "2", "3", "none"})
            json += std::string(bucket == std::string("0") ? "" : ",") + "\"" + bucket +
                    "\":" + std::to_string(expected.at(std::string("records.by_class.") + bucket));
        json += "}},\"track\":{\"fixes\":" + std::to_string(drive.Track.size()) +
                "},\"thinned\":null,\"exit_status\":0}\n";
        WriteFile(std::string(dir) + "/summary.json", json);
    }
}

TEST_F(HtmlReportFileTest, ReportOfARunWithoutRecords) {
    // A track alone spans the time axis; with neither there is nothing to plot.
    std::vector<TGpsPoint> track;
    for (int s = 0; s < 60; s += 2)
        track.push_back({24.94, 60.17 + s * 1e-5, MakeDateTime(2024, 5, 14, 9, 20, s)});
    struct TCase {
        const char* Name;
        std::vector<TGpsPoint> Track;
        std::size_t Pictures;
        const char* Says;
    } cases[] = {
        {"no track", {}, 1, "there is nothing to plot"},
        {"a track", track, 4, "Gaps in the GPS fixes"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TOutputFacts facts;
        facts.Track = &c.Track;
        std::unique_ptr<IOutput> report = MakeHtmlReport();
        std::string error;
        ASSERT_TRUE(report->Open(Path("empty.html"), &error)) << error;
        report->Begin(facts);
        ASSERT_TRUE(report->Make(facts, &error)) << error;
        ASSERT_TRUE(report->File().Commit(&error)) << error;
        const std::string html = ReadFile(Path("empty.html"));
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(html.c_str(), pugi::parse_default | pugi::parse_doctype));
        EXPECT_EQ(doc.select_nodes("//*[local-name()='svg']").size(), c.Pictures);
        EXPECT_NE(html.find(c.Says), std::string::npos);
        // Every path an SVG draws has a shape (an empty one is an error in a browser).
        for (const pugi::xpath_node& path : doc.select_nodes("//*[local-name()='path']"))
            EXPECT_EQ(path.node().attribute("d").value()[0], 'M');
    }
}

}  // namespace
}  // namespace n95::host
