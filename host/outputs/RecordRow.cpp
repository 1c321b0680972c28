#include "host/outputs/RecordRow.h"

#include "trace/MessageClass.h"

namespace n95::host {

namespace {

// The payload copy of kinds 0..3 (kinds 1..3 share the layout of their first 34 bytes).
int32_t PayloadLengthOf(const TTestRecord& record) {
    const uint32_t kindWord = record.KindWord;
    if (record.Body == nullptr || (kindWord & KindWordCompactBody) != 0)
        return -1;
    switch (n95::KindOfWord(kindWord)) {
        case 0:
            return static_cast<const TTestBody0*>(record.Body)->BlobLen;
        case 1:
        case 2:
        case 3:
            return static_cast<const TTestBody1*>(record.Body)->BlobLen;
        default:
            return -1;
    }
}

}  // namespace

TRecordRow DescribeRecord(int64_t index, const TTestRecord& record) {
    TRecordRow row;
    row.Index = index;
    row.TestTime = record.TestTime;
    row.StampTime = record.StampTime;
    row.X = record.PosX;
    row.Y = record.PosY;
    row.MessageCode = record.MessageCode;
    row.MessageClass = n95::MessageClassOf(n95::NormaliseMessageCode(row.MessageCode));
    row.PayloadLength = PayloadLengthOf(record);
    return row;
}

}  // namespace n95::host
