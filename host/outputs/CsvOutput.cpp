#include "host/outputs/CsvOutput.h"

#include <cstdio>

#include "host/common/DateTimeText.h"
#include "host/common/SystemCalls.h"
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
    WriteUnlocked(line, static_cast<std::size_t>(at - line), File.File());
}

bool TCsvOutput::Commit(std::string* error) {
    return File.Commit(error);
}

}  // namespace n95::host
