// The CSV output: one row per record, streamed (a row is written when it is added and not
// kept), into a temporary file renamed into place by Commit, or straight to standard output,
// a device or a FIFO (see TOutputFile).
//
// Not thread-safe; one owner.
#pragma once

#include <string>

#include "host/common/DateTimeText.h"
#include "host/common/OutputFile.h"
#include "host/outputs/Output.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

// index,test_time,stamp_time,longitude,latitude,message_code,message_class,payload_length
class TCsvOutput : public IOutput {
public:
    bool Open(const std::string& path, std::string* error) override;
    void Add(const TRecordRow& row) override;
    bool Make(const TOutputFacts&, std::string*) override { return true; }
    bool Commit(std::string* error);
    // The file being written (to flush it, or to see whether it is written straight).
    TOutputFile& File() override { return Out; }

private:
    TOutputFile Out;
    // The records of one chunk share their time stamps, and a drive its days.
    TIso8601Column TestTimes, StampTimes;
};

// --csv, and NAME.csv under -o: every record, as the records come.
extern const TOutputKind kCsvOutputKind;

}  // namespace n95::host
