// The CSV output: one row per record, streamed (a row is written when it is added and not
// kept), into a temporary file renamed into place by Commit, or straight to standard output,
// a device or a FIFO (see TOutputFile).
//
// Not thread-safe; one owner.
#pragma once

#include <limits>
#include <string>

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
    void AppendTime(TDateTime t);

    TOutputFile File;
    std::string Line;
    // The last time stamp formatted, and its text.
    TDateTime CachedTime = std::numeric_limits<double>::quiet_NaN();
    std::string CachedText;
};

}  // namespace n95::host
