#include "host/outputs/GeoJsonOutput.h"

#include <cstdio>

#include "host/common/DateTimeText.h"
#include "host/outputs/OutputText.h"

namespace n95::host {

bool TGeoJsonOutput::Open(const std::string& path, std::string* error) {
    return File.Open(path, error);
}

bool TGeoJsonOutput::Open(const std::string& path, const std::vector<TGpsPoint>& track,
                          std::string* error) {
    if (!Open(path, error))
        return false;
    Begin(track);
    return true;
}

void TGeoJsonOutput::Begin(const std::vector<TGpsPoint>& track) {
    Text = "{\"type\":\"FeatureCollection\",\"features\":[";
    First = true;
    if (!track.empty()) {
        Text += "\n{\"type\":\"Feature\",\"geometry\":{\"type\":";
        Text +=
            track.size() == 1 ? "\"Point\",\"coordinates\":" : "\"LineString\",\"coordinates\":[";
        for (std::size_t i = 0; i < track.size(); ++i) {
            if (i > 0)
                Text.push_back(',');
            Text.push_back('[');
            AppendFixed(Text, track[i].X, 7);
            Text.push_back(',');
            AppendFixed(Text, track[i].Y, 7);
            Text.push_back(']');
        }
        if (track.size() > 1)
            Text.push_back(']');
        Text += "},\"properties\":{\"kind\":\"track\",\"fixes\":";
        AppendInt(Text, static_cast<int64_t>(track.size()));
        Text += ",\"start_time\":";
        AppendJsonString(Text, FormatIso8601(track.front().Time));
        Text += ",\"end_time\":";
        AppendJsonString(Text, FormatIso8601(track.back().Time));
        Text += "}}";
        First = false;
    }
    std::fwrite(Text.data(), 1, Text.size(), File.File());
}

void TGeoJsonOutput::Add(const TRecordRow& row) {
    if (!row.HasPosition())
        return;
    Text.clear();
    Text += First ? "\n" : ",\n";
    First = false;
    Text += "{\"type\":\"Feature\",\"geometry\":{\"type\":\"Point\",\"coordinates\":[";
    AppendFixed(Text, row.X, 7);
    Text.push_back(',');
    AppendFixed(Text, row.Y, 7);
    Text += "]},\"properties\":{\"kind\":\"record\",\"index\":";
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
    std::fwrite(Text.data(), 1, Text.size(), File.File());
}

bool TGeoJsonOutput::Commit(std::string* error) {
    std::fputs("\n]}\n", File.File());
    return File.Commit(error);
}

}  // namespace n95::host
