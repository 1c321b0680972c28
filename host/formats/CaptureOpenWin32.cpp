// Capture files handed to libpcap on Windows (see CaptureOpen.h): opened again by name.
#include "host/formats/CaptureOpen.h"

namespace n95::host {

pcap_t* OpenCaptureReader(FILE* stream, const std::string& path, char* errbuf) {
    std::fclose(stream);
    // Names are UTF-8, as everywhere in the host (libpcap would take the ANSI code page).
    static char initError[PCAP_ERRBUF_SIZE] = "";
    static const bool utf8 = pcap_init(PCAP_CHAR_ENC_UTF_8, initError) == 0;
    if (!utf8) {
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", initError);
        return nullptr;
    }
    return pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO,
                                                   errbuf);
}

}  // namespace n95::host
