// Handing an opened capture file to libpcap, as each system's libpcap can take it.
//
// On POSIX libpcap reads the stream it is given (with the large buffer its opener set). On
// Windows pcap_fopen_offline wraps the stream's handle in a stream of its own: the buffer is
// lost, and closing libpcap's stream closes the handle under the caller's, which would close
// it a second time. There the stream is closed and the file opened again by name, with
// libpcap's names taken as UTF-8. CMake picks CaptureOpenPosix.cpp or CaptureOpenWin32.cpp.
#pragma once

#include <pcap/pcap.h>

#include <cstdio>
#include <string>

namespace n95::host {

// libpcap's reader, with nanosecond time stamps, for the capture at `path`, open as `stream`
// at its start; nil with libpcap's words in `errbuf` (PCAP_ERRBUF_SIZE bytes). Takes `stream`
// over in every case: libpcap closes it with the reader, and on failure it is closed here.
pcap_t* OpenCaptureReader(FILE* stream, const std::string& path, char* errbuf);

}  // namespace n95::host
