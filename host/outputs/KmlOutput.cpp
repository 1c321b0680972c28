#include "host/outputs/KmlOutput.h"

#include <cstdio>

#include "host/common/DateTimeText.h"
#include "host/outputs/OutputText.h"

namespace n95::host {

namespace {

constexpr const char* kStyleIds[kClassBuckets] = {"class-0", "class-1", "class-2", "class-3",
                                                  "no-class"};
constexpr char kTrackColour[] = "#4a4a4a";
// Write the text to the file in pieces of about this size.
constexpr std::size_t kFlushBytes = 1 << 16;

// KML writes colours as aabbggrr; `rgb` is "#rrggbb".
void AppendKmlColour(std::string& out, const char* rgb) {
    out += "ff";
    for (int at = 5; at >= 1; at -= 2)
        out.append(rgb + at, 2);
}

void AppendCoordinates(std::string& out, double x, double y) {
    AppendFixed(out, x, 7);
    out.push_back(',');
    AppendFixed(out, y, 7);
}

void AppendStyles(std::string& out) {
    out += "<Style id=\"track\"><LineStyle><color>";
    AppendKmlColour(out, kTrackColour);
    out += "</color><width>3</width></LineStyle></Style>\n";
    for (int bucket = 0; bucket < kClassBuckets; ++bucket) {
        // Small dots without labels: a drive has thousands of them.
        out += "<Style id=\"";
        out += kStyleIds[bucket];
        out += "\"><IconStyle><color>";
        AppendKmlColour(out, kClassStyles[bucket].Colour);
        out +=
            "</color><scale>0.5</scale><Icon><href>"
            "http://maps.google.com/mapfiles/kml/shapes/shaded_dot.png</href></Icon></IconStyle>"
            "<LabelStyle><scale>0</scale></LabelStyle></Style>\n";
    }
}

// The summary as the description's HTML (escaped: Google Earth renders it as HTML all the
// same), with the legend: each class's colour, name and count.
void AppendDescription(std::string& out, const TKmlSummary& summary) {
    std::string html = "<p><b>";
    AppendXmlText(html, summary.Title);
    html += "</b><br/>";
    AppendXmlText(html, summary.Subtitle);
    html += "</p><table>";
    for (int bucket = 0; bucket < kClassBuckets; ++bucket) {
        html += "<tr><td><font color=\"";
        html += kClassStyles[bucket].Colour;
        html += "\">&#9679;</font> ";
        html += kClassStyles[bucket].Label;
        html += "</td><td align=\"right\">";
        AppendInt(html, static_cast<int64_t>(summary.RecordsByClass[bucket]));
        html += "</td></tr>";
    }
    html += "</table><p>";
    AppendInt(html, static_cast<int64_t>(summary.WithPosition));
    html += " records with a position";
    if (summary.Shown < summary.WithPosition) {
        html += ", ";
        AppendInt(html, static_cast<int64_t>(summary.Shown));
        html += " of them shown (thinned evenly)";
    }
    html += "</p>";
    AppendXmlText(out, html);
}

void AppendTrack(std::string& out, const std::vector<TGpsPoint>& track) {
    out += "<Folder><name>Track</name>\n";
    if (!track.empty()) {
        out += "<Placemark><name>Track</name><description>";
        AppendInt(out, static_cast<int64_t>(track.size()));
        out += " GPS fixes</description><styleUrl>#track</styleUrl>";
        if (track.size() == 1) {
            out += "<Point><coordinates>";
            AppendCoordinates(out, track[0].X, track[0].Y);
            out += "</coordinates></Point>";
        } else {
            out += "<LineString><tessellate>1</tessellate><coordinates>";
            for (std::size_t i = 0; i < track.size(); ++i) {
                if (i > 0)
                    out.push_back(' ');
                AppendCoordinates(out, track[i].X, track[i].Y);
            }
            out += "</coordinates></LineString>";
        }
        out += "</Placemark>\n";
    }
    out += "</Folder>\n";
}

void AppendData(std::string& out, const char* name, const std::string& value) {
    out += "<Data name=\"";
    out += name;
    out += "\"><value>";
    out += value;
    out += "</value></Data>";
}

}  // namespace

bool TKmlOutput::Open(const std::string& path, std::string* error) {
    return File.Open(path, error);
}

void TKmlOutput::Write() {
    std::fwrite(Text.data(), 1, Text.size(), File.File());
    Text.clear();
}

void TKmlOutput::Begin(const TKmlSummary& summary, const std::vector<TGpsPoint>& track) {
    Text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n<Document><name>";
    AppendXmlText(Text, summary.Title);
    Text += "</name><description>";
    AppendDescription(Text, summary);
    Text += "</description>\n";
    AppendStyles(Text);
    AppendTrack(Text, track);
    Text += "<Folder><name>Records</name>\n";
    Write();
}

void TKmlOutput::Add(const TRecordRow& row) {
    if (!row.HasPosition())
        return;
    std::string& value = Value;
    value.clear();
    Text += "<Placemark><name>";
    AppendCode(Text, row.MessageCode);
    Text += "</name>";
    AppendIso8601(value, row.TestTime);
    if (!value.empty()) {
        Text += "<TimeStamp><when>";
        Text += value;
        Text += "</when></TimeStamp>";
    }
    Text += "<styleUrl>#";
    Text += kStyleIds[ClassBucket(row.MessageClass)];
    Text += "</styleUrl><ExtendedData>";
    value.clear();
    AppendInt(value, row.Index);
    AppendData(Text, "index", value);
    value.clear();
    AppendIso8601(value, row.StampTime);
    AppendData(Text, "stamp_time", value);
    if (row.MessageClass >= 0)
        AppendData(Text, "message_class", std::to_string(row.MessageClass));
    if (row.PayloadLength >= 0)
        AppendData(Text, "payload_length", std::to_string(row.PayloadLength));
    Text += "</ExtendedData><Point><coordinates>";
    AppendCoordinates(Text, row.X, row.Y);
    Text += "</coordinates></Point></Placemark>\n";
    if (Text.size() >= kFlushBytes)
        Write();
}

bool TKmlOutput::Commit(std::string* error) {
    Text += "</Folder>\n</Document>\n</kml>\n";
    Write();
    return File.Commit(error);
}

}  // namespace n95::host
