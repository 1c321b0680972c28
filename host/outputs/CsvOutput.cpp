#include "host/outputs/CsvOutput.h"

#include <cstdio>

#include "host/common/DateTimeText.h"
#include "host/outputs/OutputText.h"

namespace n95::host {

bool TCsvOutput::Open(const std::string& path, std::string* error) {
    if (!File.Open(path, error))
        return false;
    std::fputs(
        "index,test_time,stamp_time,longitude,latitude,message_code,message_class,"
        "payload_length\n",
        File.File());
    return true;
}

void TCsvOutput::Add(const TRecordRow& row) {
    Line.clear();
    AppendInt(Line, row.Index);
    Line.push_back(',');
    AppendTime(row.TestTime);
    Line.push_back(',');
    AppendTime(row.StampTime);
    Line.push_back(',');
    if (row.HasPosition()) {
        AppendFixed(Line, row.X, 7);
        Line.push_back(',');
        AppendFixed(Line, row.Y, 7);
    } else {
        Line.push_back(',');
    }
    Line.push_back(',');
    AppendCode(Line, row.MessageCode);
    Line.push_back(',');
    if (row.MessageClass >= 0)
        AppendInt(Line, row.MessageClass);
    Line.push_back(',');
    if (row.PayloadLength >= 0)
        AppendInt(Line, row.PayloadLength);
    Line.push_back('\n');
    std::fwrite(Line.data(), 1, Line.size(), File.File());
}

void TCsvOutput::AppendTime(TDateTime t) {
    // The records of one chunk share their time stamps: format each value once.
    if (!(t == CachedTime)) {
        CachedTime = t;
        CachedText.clear();
        AppendIso8601(CachedText, t);
    }
    Line += CachedText;
}

bool TCsvOutput::Commit(std::string* error) {
    return File.Commit(error);
}

}  // namespace n95::host
