#include "host/outputs/GeoJsonOutput.h"

#include <cerrno>
#include <cstdio>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
#include "host/outputs/OutputText.h"

namespace n95::host {

namespace {

constexpr char kCollectionHead[] = "{\"type\":\"FeatureCollection\",\"features\":[";
constexpr char kCollectionTail[] = "\n]}\n";

void AppendPosition(std::string& text, double x, double y) {
    text.push_back('[');
    AppendFixed(text, x, 7);
    text.push_back(',');
    AppendFixed(text, y, 7);
    text.push_back(']');
}

}  // namespace

bool TGeoJsonOutput::Open(const std::string& path, std::string* error) {
    return Out.Open(path, error);
}

void TGeoJsonOutput::Begin() {
    First = true;
    std::fputs(kCollectionHead, Out.File());
}

void TGeoJsonOutput::Add(const TRecordRow& row) {
    if (!row.HasPosition())
        return;
    Text.clear();
    Text += First ? "\n" : ",\n";
    First = false;
    Text += "{\"type\":\"Feature\",\"geometry\":{\"type\":\"Point\",\"coordinates\":";
    AppendPosition(Text, row.X, row.Y);
    Text += "},\"properties\":{\"kind\":\"record\",\"index\":";
    AppendInt(Text, row.Index);
    Text += ",\"test_time\":\"";
    AppendIso8601(Text, row.TestTime);
    Text += "\",\"stamp_time\":\"";
    AppendIso8601(Text, row.StampTime);
    Text += "\",\"message_code\":\"";
    AppendCode(Text, row.MessageCode);
    Text += "\",\"message_class\":";
    if (row.MessageClass >= 0)
        AppendInt(Text, row.MessageClass);
    else
        Text += "null";
    Text += ",\"payload_length\":";
    if (row.PayloadLength >= 0)
        AppendInt(Text, row.PayloadLength);
    else
        Text += "null";
    Text += "}}";
    std::fwrite(Text.data(), 1, Text.size(), Out.File());
}

void TGeoJsonOutput::Finish() {
    if (Shown < WithPosition) {
        Text = "\n],\"thinned\":{\"records_with_position\":";
        AppendInt(Text, static_cast<int64_t>(WithPosition));
        Text += ",\"records_shown\":";
        AppendInt(Text, static_cast<int64_t>(Shown));
        Text +=
            ",\"how\":\"evenly spread; n95host --max-points all keeps every record, and the "
            "CSV always has them all\"}}\n";
        std::fputs(Text.c_str(), Out.File());
        return;
    }
    std::fputs(kCollectionTail, Out.File());
}

bool TGeoJsonOutput::Make(const TOutputFacts& facts, std::string*) {
    SetThinned(facts.Shown, facts.WithPosition);
    Finish();
    return true;
}

bool TGeoJsonOutput::Commit(std::string* error) {
    Finish();
    return Out.Commit(error);
}

bool TTrackGeoJsonOutput::Make(const TOutputFacts& facts, std::string* error) {
    const std::string text = TrackGeoJson(*facts.Track);
    if (std::fwrite(text.data(), 1, text.size(), Out.File()) != text.size()) {
        *error = SystemError("cannot write " + Out.Name(), errno);
        return false;
    }
    return true;
}

const TOutputKind kGeoJsonOutputKind = {
    .Name = "geojson",
    .Option = "--geojson",
    .Value = "FILE",
    .Suffix = ".geojson",
    .Help =
        "Write the records with a position as GeoJSON points; NAME.geojson also gives the "
        "track as NAME.track.geojson",
    .Needs = kShownRows | kPointLayer,
    .Create = [] { return std::unique_ptr<IOutput>(new TGeoJsonOutput); },
};

const TOutputKind kTrackGeoJsonOutputKind = {
    .Name = "track-geojson",
    .Option = "--track-geojson",
    .Value = "FILE",
    .Suffix = ".track.geojson",
    .Help = "Write the GPS track as a GeoJSON line here (default: beside --geojson)",
    .Needs = kNoRows,
    .Create = [] { return std::unique_ptr<IOutput>(new TTrackGeoJsonOutput); },
};

std::string TrackGeoJson(const std::vector<TGpsPoint>& track) {
    std::string text = kCollectionHead;
    if (!track.empty()) {
        text += "\n{\"type\":\"Feature\",\"geometry\":{\"type\":";
        if (track.size() == 1) {
            text += "\"Point\",\"coordinates\":";
            AppendPosition(text, track[0].X, track[0].Y);
        } else {
            text += "\"LineString\",\"coordinates\":[";
            for (std::size_t i = 0; i < track.size(); ++i) {
                if (i > 0)
                    text.push_back(',');
                AppendPosition(text, track[i].X, track[i].Y);
            }
            text.push_back(']');
        }
        text += "},\"properties\":{\"kind\":\"track\",\"fixes\":";
        AppendInt(text, static_cast<int64_t>(track.size()));
        text += ",\"start_time\":";
        AppendJsonString(text, FormatIso8601(track.front().Time));
        text += ",\"end_time\":";
        AppendJsonString(text, FormatIso8601(track.back().Time));
        text += "}}";
    }
    text += kCollectionTail;
    return text;
}

std::string TrackGeoJsonBeside(const std::string& geoJsonPath) {
    static constexpr char kExtension[] = ".geojson";
    constexpr std::size_t kLength = sizeof kExtension - 1;
    if (geoJsonPath.size() <= kLength ||
        geoJsonPath.compare(geoJsonPath.size() - kLength, kLength, kExtension) != 0)
        return "";
    return geoJsonPath.substr(0, geoJsonPath.size() - kLength) + ".track.geojson";
}

}  // namespace n95::host
