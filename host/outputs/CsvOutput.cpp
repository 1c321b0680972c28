#include "host/outputs/CsvOutput.h"

#include <cstdio>

#include "host/common/DateTimeText.h"
#include "host/common/SystemCalls.h"
#include "host/outputs/OutputText.h"

namespace n95::host {

bool TCsvOutput::Open(const std::string& path, std::string* error) {
    if (!Out.Open(path, error))
        return false;
    std::fputs(
        "index,test_time,stamp_time,longitude,latitude,message_code,message_class,"
        "payload_length\n",
        Out.File());
    return true;
}

void TCsvOutput::Add(const TRecordRow& row) {
    // The row is built in a buffer on the stack and handed to the stream in one write.
    char line[kMaxIntChars + 2 * kIso8601Size + 2 * kMaxFixedChars + kCodeChars + 2 * kMaxIntChars +
              8];
    char* at = PutInt(line, row.Index);
    *at++ = ',';
    at = TestTimes.Put(at, row.TestTime);
    *at++ = ',';
    at = StampTimes.Put(at, row.StampTime);
    *at++ = ',';
    if (row.HasPosition()) {
        at = PutFixed(at, row.X, 7);
        *at++ = ',';
        at = PutFixed(at, row.Y, 7);
    } else {
        *at++ = ',';
    }
    *at++ = ',';
    at = PutCode(at, row.MessageCode);
    *at++ = ',';
    if (row.MessageClass >= 0)
        at = PutInt(at, row.MessageClass);
    *at++ = ',';
    if (row.PayloadLength >= 0)
        at = PutInt(at, row.PayloadLength);
    *at++ = '\n';
    // One owner at a time (see the class), so the stream's lock is not needed.
    WriteUnlocked(line, static_cast<std::size_t>(at - line), Out.File());
}

bool TCsvOutput::Commit(std::string* error) {
    return Out.Commit(error);
}

const TOutputKind kCsvOutputKind = {
    .Name = "csv",
    .Option = "--csv",
    .Value = "FILE",
    .Suffix = ".csv",
    .Help = "Write one CSV row per record",
    .Needs = kEveryRow,
    .Create = [] { return std::unique_ptr<IOutput>(new TCsvOutput); },
};

}  // namespace n95::host
