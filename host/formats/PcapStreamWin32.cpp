// Windows: a capture that is not a plain file (standard input, a pipe, a gzip file) is not
// read yet. The way to do it is written in PcapStream.h (a copy into an anonymous temporary
// file handed to pcap_hopen_offline); until then the open fails with a message that says so,
// and plain capture files are read as on Linux.
#include <cstdio>

#include "host/formats/PcapStream.h"

namespace n95::host {

pcap_t* OpenPcapStream(TInputStream&, char* errbuf) {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE,
                  "this Windows build reads captures from plain files only, not from standard "
                  "input, a pipe or a gzip file (decompress it first)");
    return nullptr;
}

}  // namespace n95::host
