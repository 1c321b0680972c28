// The CSV output: one row per record, streamed (a row is written when it is added and not
// kept), into a temporary file renamed into place by Commit, or straight to standard output,
// a device or a FIFO (see TOutputFile).
//
// Not thread-safe; one owner.
#pragma once

#include <string>

#include "host/common/DateTimeText.h"
#include "host/common/OutputFile.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

// index,test_time,stamp_time,longitude,latitude,message_code,message_class,payload_length
class TCsvOutput {
public:
    bool Open(const std::string& path, std::string* error);
    void Add(const TRecordRow& row);
    bool Commit(std::string* error);
    // The file being written (to flush it, or to see whether it is written straight).
    TOutputFile& Output() { return File; }
    // Removes the temporary file (closes a straight output).
    void Discard() { File.Discard(); }

private:
    TOutputFile File;
    // The records of one chunk share their time stamps, and a drive its days.
    TIso8601Column TestTimes, StampTimes;
};

}  // namespace n95::host
