#include "host/outputs/RecordRow.h"

#include "trace/MessageClass.h"

namespace n95::host {

int32_t PayloadLengthOf(const TTestRecord& record) {
    const uint32_t kindWord = record.KindWord;
    if ((kindWord & KindWordCompactBody) != 0)
        return -1;
    const void* body = record.Body;
    switch (n95::KindOfWord(kindWord)) {
        // Kinds 1..3 share the layout of their first 34 bytes.
        case 0:
            return body != nullptr ? static_cast<const TTestBody0*>(body)->BlobLen : 0;
        case 1:
        case 2:
        case 3:
            return body != nullptr ? static_cast<const TTestBody1*>(body)->BlobLen : 0;
        default:
            return -1;
    }
}

TRecordRow DescribeRecord(int64_t index, const TTestRecord& header, int32_t payloadLength) {
    TRecordRow row;
    row.Index = index;
    row.TestTime = header.TestTime;
    row.StampTime = header.StampTime;
    row.X = header.PosX;
    row.Y = header.PosY;
    row.MessageCode = header.MessageCode;
    row.MessageClass = n95::MessageClassOf(n95::NormaliseMessageCode(row.MessageCode));
    row.PayloadLength = payloadLength;
    return row;
}

}  // namespace n95::host
