// A capture that is not a plain regular file (standard input, a pipe, a FIFO, a gzip file),
// handed to libpcap, which reads captures from a stdio stream.
//
// On Linux (PcapStreamPosix.cpp) the stream is made over the TInputStream with fopencookie:
// libpcap's reads decompress and wait as they go, through a buffer of
// TInputStream::kBufferBytes, and nothing is written anywhere.
//
// Windows has no fopencookie (msvcrt), and there pcap_fopen_offline does not read the FILE*
// it is given: it takes the system handle beneath it (pcap_hopen_offline) and reads that
// with a C runtime of its own, so a stream made up in this process would never be read. The
// Windows implementation (PcapStreamWin32.cpp) copies the TInputStream (decompressing, and
// looking at the stop flag as it waits) into an anonymous temporary file and hands its
// handle to libpcap: the capture is read whole before its first chunk, and an input that
// fails or is stopped on the way fails the open.
#pragma once

#include <pcap/pcap.h>

#include "host/common/InputStream.h"

namespace n95::host {

// A libpcap handle reading `input` (opened, nothing read yet) with nanosecond time stamps;
// null, with libpcap's message in `errbuf` (PCAP_ERRBUF_SIZE bytes), when it cannot be read
// as a capture. `input` must outlive the handle; the handle owns what it made over it, which
// pcap_close releases. A read that fails or is stopped fails libpcap's read: the caller asks
// `input` why.
pcap_t* OpenPcapStream(TInputStream& input, char* errbuf);

}  // namespace n95::host
