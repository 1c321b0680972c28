// The CSV output: one row per record, streamed (a row is written when it is added and not
// kept), into a temporary file renamed into place by Commit (see TAtomicFile).
//
// Not thread-safe; one owner.
#pragma once

#include <limits>
#include <string>

#include "host/common/AtomicFile.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

// index,test_time,stamp_time,longitude,latitude,message_code,message_class,payload_length
class TCsvOutput {
public:
    bool Open(const std::string& path, std::string* error);
    void Add(const TRecordRow& row);
    bool Commit(std::string* error);
    // Removes the temporary file.
    void Discard() { File.Discard(); }
    const std::string& Path() const { return File.Path(); }

private:
    void AppendTime(TDateTime t);

    TAtomicFile File;
    std::string Line;
    // The last time stamp formatted, and its text.
    TDateTime CachedTime = std::numeric_limits<double>::quiet_NaN();
    std::string CachedText;
};

}  // namespace n95::host
