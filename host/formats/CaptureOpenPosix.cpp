// Capture files handed to libpcap on POSIX (see CaptureOpen.h).
#include "host/formats/CaptureOpen.h"

namespace n95::host {

pcap_t* OpenCaptureReader(FILE* stream, const std::string&, char* errbuf) {
    pcap_t* reader =
        pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_NANO, errbuf);
    if (reader == nullptr)
        std::fclose(stream);
    return reader;
}

}  // namespace n95::host
