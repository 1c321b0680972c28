#include "host/outputs/OutputNames.h"

#include <gtest/gtest.h>

#include <set>

#include "host/common/DateTimeText.h"

namespace n95::host {
namespace {

// The registry is the one list the options, -o and the summary follow: names and options
// unique, every -o suffix distinct, the frame log not written by -o.
TEST(OutputNamesTest, TheRegistryNamesEachKindOnce) {
    std::set<std::string> names, options, suffixes;
    for (const TOutputKind* kind : OutputKinds()) {
        EXPECT_TRUE(names.insert(kind->Name).second) << kind->Name;
        EXPECT_TRUE(options.insert(kind->Option).second) << kind->Option;
        EXPECT_EQ(std::string(kind->Option), std::string("--") + kind->Name);
        if (kind->Suffix != nullptr) {
            EXPECT_TRUE(suffixes.insert(kind->Suffix).second) << kind->Suffix;
        }
        EXPECT_NE(kind->Create(), nullptr);
        EXPECT_LT(OutputKindIndex(kind->Name), OutputKinds().size());
    }
    EXPECT_EQ(OutputKindIndex("no such output"), OutputKinds().size());
    EXPECT_EQ(OutputKinds()[OutputKindIndex("frame-log")]->Suffix, nullptr);
}

TEST(OutputNamesTest, OutputsAreNamedFromTheOptionsTheFolderAndTheLabel) {
    struct TCase {
        const char* Name;
        std::vector<std::pair<const char*, const char*>> Given;  // kind, path
        const char* Dir;
        std::vector<std::pair<const char*, const char*>> Expected;  // every path but ""
    };
    const std::vector<TCase> cases = {
        {"nothing asked", {}, "", {}},
        {"the track beside the GeoJSON",
         {{"geojson", "d/run.geojson"}},
         "",
         {{"geojson", "d/run.geojson"}, {"track-geojson", "d/run.track.geojson"}}},
        {"no track beside standard output", {{"geojson", "-"}}, "", {{"geojson", "-"}}},
        {"-o names every kind it writes",
         {},
         "out",
         {{"csv", "out/drive.csv"},
          {"geojson", "out/drive.geojson"},
          {"track-geojson", "out/drive.track.geojson"},
          {"kml", "out/drive.kml"},
          {"map", "out/drive.svg"},
          {"report", "out/drive.html"}}},
        {"an option wins over -o",
         {{"csv", "mine.csv"}, {"frame-log", "f.log"}},
         "out",
         {{"csv", "mine.csv"},
          {"geojson", "out/drive.geojson"},
          {"track-geojson", "out/drive.track.geojson"},
          {"kml", "out/drive.kml"},
          {"map", "out/drive.svg"},
          {"report", "out/drive.html"},
          {"frame-log", "f.log"}}},
    };
    for (const TCase& c : cases) {
        TOutputPaths paths, expected;
        for (const auto& [kind, path] : c.Given)
            paths[kind] = path;
        for (const auto& [kind, path] : c.Expected)
            expected[kind] = path;
        NameOutputs(c.Dir, "drive", paths);
        for (std::size_t i = 0; i < paths.Size(); ++i)
            EXPECT_EQ(paths.At(i), expected.At(i)) << c.Name << ": " << OutputKinds()[i]->Name;
    }
}

TEST(OutputNamesTest, TheRolesSayWhichOptionNamedEachOutput) {
    TOutputPaths given;
    given["geojson"] = "a.geojson";
    given["csv"] = "a.csv";
    TOutputPaths paths = given;
    NameOutputs("o", "s", paths);
    std::vector<std::string> roles;
    for (const TNamedFile& named : NamedOutputs(paths, given))
        roles.push_back(named.Role + " " + named.Path);
    EXPECT_EQ(roles, (std::vector<std::string>{"--csv a.csv", "--geojson a.geojson",
                                               "the track beside --geojson a.track.geojson",
                                               "-o o/s.kml", "-o o/s.svg", "-o o/s.html"}));
}

TEST(OutputNamesTest, LabelsAndStems) {
    const std::pair<std::string, std::string> labelled[] = {
        {"d/run.csv", "d/run-A.csv"}, {"run", "run-A"},           {"-", "-"},
        {"/dev/fd/3", "/dev/fd/3"},   {"/dev/null", "/dev/null"}, {"", ""},
    };
    for (const auto& [name, expected] : labelled)
        EXPECT_EQ(Labelled(name, "A"), expected) << name;
    EXPECT_EQ(Stem("/x/drive.pcap"), "drive");
    TDateTime start = 0;
    ASSERT_TRUE(ParseIso8601("2024-05-14T09:20:00Z", start));
    EXPECT_EQ(LiveStem(start), "live-20240514T092000Z");
}

}  // namespace
}  // namespace n95::host
