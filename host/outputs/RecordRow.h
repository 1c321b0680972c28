// What the outputs show of one host-side record, and the message-class buckets they count by.
#pragma once

#include <cstdint>

#include "decoder/HostObjects.h"
#include "records/DataAccessAPIUnit.h"

namespace n95::host {

// What the outputs show of one host-side record.
struct TRecordRow {
    int64_t Index = 0;  // position in the host's store, from 0
    TDateTime TestTime = 0.0;
    TDateTime StampTime = 0.0;
    double X = n95::RecordNoValue;  // longitude
    double Y = n95::RecordNoValue;  // latitude
    uint32_t MessageCode = 0;
    int MessageClass = -1;       // 0..3, or -1: the code has no class
    int32_t PayloadLength = -1;  // bytes of the decoded payload, -1 when the record has none

    bool HasPosition() const { return X != n95::RecordNoValue && Y != n95::RecordNoValue; }
};

// The length of a record's payload copy as the host's copy of it would carry it: the BlobLen
// of a body of kinds 0..3, and 0 for those kinds without a body (CopyTestRecord gives them
// the default body); -1 for kind 4, kinds 5..7 and a compact body.
int32_t PayloadLengthOf(const TTestRecord& record);

// The row of a record: its header's fields, the class of its normalised message code (as
// the plug-in classifies it) and `payloadLength` (PayloadLengthOf the record it was taken
// from).
TRecordRow DescribeRecord(int64_t index, const TTestRecord& header, int32_t payloadLength);
// The row of a whole record (its payload length read from its body).
inline TRecordRow DescribeRecord(int64_t index, const TTestRecord& record) {
    return DescribeRecord(index, record, PayloadLengthOf(record));
}

// Records are counted and drawn by message class: classes 0..3, then one bucket for the
// codes that have no class.
inline constexpr int kClassBuckets = 5;
inline constexpr int kNoClassBucket = kClassBuckets - 1;

// The bucket of a row's MessageClass.
constexpr int ClassBucket(int messageClass) {
    return messageClass >= 0 && messageClass < kNoClassBucket ? messageClass : kNoClassBucket;
}

// How the outputs that draw records (the SVG map, the KML) show each bucket: a label and a
// colour ("#rrggbb"). Records whose code has no class are purple, so that they stand apart
// from the grey track line they are drawn on.
struct TClassStyle {
    const char* Label;
    const char* Colour;
};
inline constexpr TClassStyle kClassStyles[kClassBuckets] = {
    {"class 0", "#1f77b4"}, {"class 1", "#2ca02c"},  {"class 2", "#ff7f0e"},
    {"class 3", "#d62728"}, {"no class", "#9467bd"},
};

}  // namespace n95::host
