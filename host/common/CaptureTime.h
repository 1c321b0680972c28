// The capture clock: the time stamps that captures keep (Unix seconds and nanoseconds, as
// pcap stores them), their conversion to the plug-in's day-based date-time, and the system's
// current UTC time in that form. A live run stamps each chunk it reads with CaptureTimeNow;
// the serial port hands the same moment to the plug-in while it decodes the chunk.
//
// Pure functions (CaptureTimeNow reads the system clock), safe from any thread.
#pragma once

#include <cstdint>

#include "platform/DateTime.h"

namespace n95::host {

// A capture time stamp: Unix seconds and nanoseconds (0..999999999).
struct TCaptureTime {
    int64_t Seconds = 0;
    uint32_t Nanoseconds = 0;
};

// The day-based date-time of a capture time stamp.
TDateTime CaptureTimeToDateTime(TCaptureTime t);
// Nanoseconds since the Unix epoch as a capture time stamp.
TCaptureTime CaptureTimeFromNanoseconds(int64_t unixNanoseconds);
// The system's current UTC time as a capture time stamp.
TCaptureTime CaptureTimeNow();

}  // namespace n95::host
