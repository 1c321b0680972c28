#include "host/outputs/KmlOutput.h"

#include <cerrno>
#include <cstdio>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
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
        // No <Icon>: an icon is fetched from its address when the file is opened, and the
        // document must open offline and tell nobody it was opened. Without one a viewer
        // draws its own default mark, tinted by the colour.
        out +=
            "</color><scale>0.5</scale></IconStyle>"
            "<LabelStyle><scale>0</scale></LabelStyle></Style>\n";
    }
}

// The records' fields with their types, so that a GIS types its columns (GDAL's LIBKML
// driver reads it) rather than taking every value as text.
void AppendSchema(std::string& out) {
    out +=
        "<Schema name=\"record\" id=\"record\">"
        "<SimpleField name=\"index\" type=\"int\"/>"
        "<SimpleField name=\"stamp_time\" type=\"string\"/>"
        "<SimpleField name=\"message_class\" type=\"int\"/>"
        "<SimpleField name=\"payload_length\" type=\"int\"/>"
        "</Schema>\n";
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
    out += "<SimpleData name=\"";
    out += name;
    out += "\">";
    out += value;
    out += "</SimpleData>";
}

}  // namespace

bool TKmlOutput::Open(const std::string& path, std::string* error) {
    return Out.Open(path, error);
}

void TKmlOutput::Write() {
    std::fwrite(Text.data(), 1, Text.size(), Out.File());
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
    AppendSchema(Text);
    AppendTrack(Text, track);
    Write();
}

void TKmlOutput::Add(const TRecordRow& row) {
    if (!row.HasPosition())
        return;
    const int bucket = ClassBucket(row.MessageClass);
    std::string& text = Classes[bucket].Text;
    std::string& value = Value;
    value.clear();
    text += "<Placemark><name>";
    AppendCode(text, row.MessageCode);
    text += "</name>";
    AppendIso8601(value, row.TestTime);
    if (!value.empty()) {
        text += "<TimeStamp><when>";
        text += value;
        text += "</when></TimeStamp>";
    }
    text += "<styleUrl>#";
    text += kStyleIds[bucket];
    text += "</styleUrl><ExtendedData><SchemaData schemaUrl=\"#record\">";
    value.clear();
    AppendInt(value, row.Index);
    AppendData(text, "index", value);
    value.clear();
    AppendIso8601(value, row.StampTime);
    AppendData(text, "stamp_time", value);
    if (row.MessageClass >= 0)
        AppendData(text, "message_class", std::to_string(row.MessageClass));
    if (row.PayloadLength >= 0)
        AppendData(text, "payload_length", std::to_string(row.PayloadLength));
    text += "</SchemaData></ExtendedData><Point><coordinates>";
    AppendCoordinates(text, row.X, row.Y);
    text += "</coordinates></Point></Placemark>\n";
    ++Classes[bucket].Placemarks;
    if (text.size() >= kFlushBytes)
        Classes[bucket].Spill();
}

void TKmlOutput::TClassFolder::Spill() {
    if (Failed) {
        Text.clear();
        return;
    }
    if (Spool == nullptr)
        Spool = std::tmpfile();
    if (Spool == nullptr || std::fwrite(Text.data(), 1, Text.size(), Spool) != Text.size()) {
        Failed = true;
        Errno = errno;
    }
    Text.clear();
}

bool TKmlOutput::TClassFolder::CopyTo(FILE* out) {
    if (Spool == nullptr)
        return !Failed;
    if (!Failed && (std::fflush(Spool) != 0 || std::fseek(Spool, 0, SEEK_SET) != 0)) {
        Failed = true;
        Errno = errno;
    }
    char buffer[kFlushBytes];
    std::size_t got = 0;
    while (!Failed && (got = std::fread(buffer, 1, sizeof buffer, Spool)) > 0)
        std::fwrite(buffer, 1, got, out);
    if (!Failed && std::ferror(Spool) != 0) {
        Failed = true;
        Errno = errno;
    }
    return !Failed;
}

void TKmlOutput::TClassFolder::Clear() {
    if (Spool != nullptr)
        std::fclose(Spool);
    Spool = nullptr;
    Text.clear();
    Placemarks = 0;
    Failed = false;
    Errno = 0;
}

void TKmlOutput::Begin(const TOutputFacts& facts) {
    Begin({facts.Title, facts.Subtitle, facts.RecordsByClass, facts.WithPosition, facts.Shown},
          *facts.Track);
}

bool TKmlOutput::Make(const TOutputFacts&, std::string* error) {
    // The records in a folder per class, inside one folder: a class, or every record, is
    // switched off with one click.
    Text += "<Folder><name>Records</name>\n";
    Write();
    for (int bucket = 0; bucket < kClassBuckets; ++bucket) {
        TClassFolder& folder = Classes[bucket];
        if (folder.Placemarks == 0)
            continue;
        Text += "<Folder><name>";
        Text += kClassStyles[bucket].Label;
        Text += "</name>\n";
        Write();
        if (!folder.CopyTo(Out.File())) {
            *error =
                SystemError("cannot read back the placemarks kept for " + Out.Name(), folder.Errno);
            Discard();
            return false;
        }
        Text += folder.Text;
        Text += "</Folder>\n";
        Write();
        folder.Clear();
    }
    Text += "</Folder>\n</Document>\n</kml>\n";
    Write();
    return true;
}

bool TKmlOutput::Commit(std::string* error) {
    return Make({}, error) && Out.Commit(error);
}

const TOutputKind kKmlOutputKind = {
    .Name = "kml",
    .Option = "--kml",
    .Value = "FILE",
    .Suffix = ".kml",
    .Help =
        "Write a KML document (Google Earth): the track, the records styled by class with "
        "their times, a summary",
    .Needs = kShownRows | kPointLayer | kCountsFirst,
    .Create = [] { return std::unique_ptr<IOutput>(new TKmlOutput); },
};

void TKmlOutput::Discard() {
    for (TClassFolder& folder : Classes)
        folder.Clear();
    Out.Discard();
}

}  // namespace n95::host
