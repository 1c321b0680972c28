#include "host/session/RunStats.h"

namespace n95::host {

void TChunkTally::Add(const uint8_t* data, std::size_t size, TCaptureTime when) {
    Add(size, when, ScanChunk(data, size));
}

void TChunkTally::Add(std::size_t size, TCaptureTime when, const TChunkScan& scan) {
    if (Chunks == 0)
        First = when;
    else if (when.Seconds < Last.Seconds ||
             (when.Seconds == Last.Seconds && when.Nanoseconds < Last.Nanoseconds))
        ++Backwards;
    Last = when;
    ++Chunks;
    Bytes += size;
    Frames += scan.Frames;
    Aligned += scan.Aligned ? 1 : 0;
    AtReplies += scan.AtReplies > 0 ? 1 : 0;
    AtReplyLines += scan.AtReplies;
    CutAtEnd += !scan.Aligned && scan.Frames > 0 && scan.AtReplies == 0 ? 1 : 0;
}

double TChunkTally::SpanSeconds() const {
    return (CaptureTimeToDateTime(Last) - CaptureTimeToDateTime(First)) * kSecondsPerDay;
}

}  // namespace n95::host
