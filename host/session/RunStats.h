// The statistics of a run that the summaries print, kept alike by the replay and the live
// run: what the host saw of the chunks it fed, and what came out of the decoder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "host/common/CaptureTime.h"
#include "host/formats/TraceFrame.h"
#include "host/outputs/RecordRow.h"
#include "platform/DateTime.h"

namespace n95::host {

// The chunks fed to the plug-in, as the host counts them itself (TraceFrame's ScanChunk).
struct TChunkTally {
    uint64_t Chunks = 0;
    uint64_t Bytes = 0;
    uint64_t Aligned = 0;       // chunks made exactly of whole frames
    uint64_t AtReplies = 0;     // chunks made only of AT replies "OK" (one, or several in one read)
    uint64_t AtReplyLines = 0;  // the replies in those chunks
    // Chunks that start with whole frames but end inside one: the plug-in decodes the whole
    // frames and loses the last one.
    uint64_t CutAtEnd = 0;
    uint64_t Frames = 0;       // whole frames at the start of chunks
    uint64_t Backwards = 0;    // chunks stamped earlier than the chunk before them
    TCaptureTime First, Last;  // the first and the last chunk's time stamp

    // Counts one chunk read at `when`.
    void Add(const uint8_t* data, std::size_t size, TCaptureTime when);
    // The same, for a chunk already scanned (ScanChunk of its bytes is `scan`).
    void Add(std::size_t size, TCaptureTime when, const TChunkScan& scan);
    // From the first to the last chunk, in seconds (0 before two chunks).
    double SpanSeconds() const;
    // Chunks that do not start with a whole frame and are no AT reply: to the plug-in's
    // parser, which starts afresh at every chunk, their first bytes are a frame header, so
    // their frames are lost (a chunk cut out of the middle of the stream, or noise).
    uint64_t Misaligned() const { return Chunks - Aligned - AtReplies - CutAtEnd; }
};

// What came out of a decoder.
struct TRecordStats {
    uint64_t Records = 0;  // records handed over
    uint64_t RecordsWithPosition = 0;
    uint64_t RecordsNotCopied = 0;  // records the host could not copy (left out)
    std::array<uint64_t, kClassBuckets> RecordsByClass{};  // see ClassBucket
    uint64_t FixesFed = 0;
    uint64_t DecodedBytes = 0;  // bytes of the frames the plug-in decoded (its Text)
    TDateTime FirstRecordTime = 0.0, LastRecordTime = 0.0;
};

// Everything a run's summary counts.
struct TRunStats {
    TChunkTally Chunks;
    TRecordStats Records;
    std::size_t MaxRecordsKept = 0;  // the most records the host held at once
};

}  // namespace n95::host
