// Hostile text through the outputs: names with bytes that are not UTF-8, control characters
// and markup must still give files that parse.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <filesystem>
#include <ostream>
#include <string>

#include "host/outputs/OutputText.h"
#include "tests/host/HostTestSupport.h"

namespace n95::test {
namespace {

using n95::host::AppendJsonString;
using n95::host::AppendXmlText;
using n95::host::ValidUtf8;

const std::string kFffd = "\xEF\xBF\xBD";

struct THostileText {
    const char* Label;
    std::string Text;
    std::string Utf8;  // what ValidUtf8 makes of it
};

// The case by its label in test names and messages (rather than its bytes).
std::ostream& operator<<(std::ostream& out, const THostileText& text) {
    return out << text.Label;
}

const THostileText kHostile[] = {
    {"stray continuation byte", "a\x80z", "a" + kFffd + "z"},
    {"byte never in UTF-8", "a\xFFz", "a" + kFffd + "z"},
    {"truncated at the end", "a\xE2\x82", "a" + kFffd},
    {"truncated before ASCII", "\xF0\x9F\x98z", kFffd + "z"},
    {"overlong slash", "\xC0\xAF", kFffd + kFffd},
    {"overlong three bytes", "\xE0\x80\xAF", kFffd + kFffd + kFffd},
    {"surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
    {"non-character U+FFFF", "\xEF\xBF\xBF", "\xEF\xBF\xBF"},
    {"control characters", std::string("a\x01\x1B\x7F\xC2\x85z\0y", 9),
     std::string("a\x01\x1B\x7F\xC2\x85z\0y", 9)},
    {"markup", "<a href=\"x\">&amp; ]]> 'q'</a>", "<a href=\"x\">&amp; ]]> 'q'</a>"},
    {"well-formed non-ASCII", "Helsinki \xC3\xA4 \xE2\x82\xAC \xF0\x9F\x9A\x97",
     "Helsinki \xC3\xA4 \xE2\x82\xAC \xF0\x9F\x9A\x97"},
};

// Whether `literal` is one JSON string: quoted, no raw control character, escapes JSON
// knows, valid UTF-8.
bool IsJsonString(const std::string& literal) {
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"' ||
        ValidUtf8(literal) != literal)
        return false;
    for (std::size_t i = 1; i + 1 < literal.size(); ++i) {
        const auto c = static_cast<unsigned char>(literal[i]);
        if (c < 0x20 || c == '"')
            return false;
        if (c != '\\')
            continue;
        const char e = literal[++i];
        if (e == 'u') {
            if (i + 5 > literal.size() - 1 || literal.substr(i + 1, 4).find_first_not_of(
                                                  "0123456789abcdefABCDEF") != std::string::npos)
                return false;
            i += 4;
        } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos ||
                   i + 1 >= literal.size()) {
            return false;
        }
    }
    return true;
}

class OutputTextTest : public ::testing::TestWithParam<THostileText> {};

TEST_P(OutputTextTest, IsValidUtf8AndParsesAsXmlAndJson) {
    const THostileText& t = GetParam();
    EXPECT_EQ(ValidUtf8(t.Text), t.Utf8);

    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><doc a=\"";
    AppendXmlText(xml, t.Text);
    xml += "\">";
    AppendXmlText(xml, t.Text);
    xml += "</doc>";
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_string(xml.c_str());
    ASSERT_TRUE(parsed) << parsed.description() << ": " << xml;
    EXPECT_EQ(doc.child("doc").attribute("a").value(), std::string(doc.child("doc").text().get()));
    EXPECT_EQ(ValidUtf8(xml), xml);
    // XML 1.0 allows no control character but tab, LF and CR, escaped or not, nor U+FFFF.
    for (const char c : xml)
        EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << xml;
    EXPECT_EQ(xml.find("\xEF\xBF\xBF"), std::string::npos);

    std::string json;
    AppendJsonString(json, t.Text);
    EXPECT_TRUE(IsJsonString(json)) << json;
}

INSTANTIATE_TEST_SUITE_P(Table, OutputTextTest, ::testing::ValuesIn(kHostile));

// A capture whose name holds hostile bytes: the KML and the map, which carry the name, parse.
class HostileNameTest : public ScratchDirTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(HostileNameTest, ReplayOutputsParse) {
    const std::string capture = Path(std::string("drive ") + GetParam() + ".pcap");
    std::filesystem::copy_file(N95_SAMPLES_DIR "/drive.pcap", capture);
    const ProgramResult r =
        RunProgram(N95HOST_PATH, {"replay", capture, "--gps", N95_SAMPLES_DIR "/drive.nmea",
                                  "--kml", Path("d.kml"), "--map", Path("d.svg"), "--no-progress"});
    ASSERT_EQ(r.Status, 0) << r.Errors;
    for (const char* name : {"d.kml", "d.svg"}) {
        pugi::xml_document doc;
        const pugi::xml_parse_result parsed = doc.load_file(Path(name).c_str());
        EXPECT_TRUE(parsed) << name << ": " << parsed.description();
        const std::string text = ReadFile(Path(name));
        EXPECT_EQ(ValidUtf8(text), text) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HostileNameTest,
                         ::testing::Values("\xFF\xFE", "\xC0\xAF\xE2\x82", "\x01\x1B[31m",
                                           "]]> <&\" '"));

}  // namespace
}  // namespace n95::test
