#include <cerrno>
#include <cstdio>

#include "host/formats/PcapStream.h"

namespace n95::host {

namespace {

ssize_t ReadCookie(void* cookie, char* buffer, size_t size) {
    auto* input = static_cast<TInputStream*>(cookie);
    std::size_t got = 0;
    switch (input->Read(buffer, size, got)) {
        case TInputStream::TResult::Bytes:
            return static_cast<ssize_t>(got);
        case TInputStream::TResult::End:
            return 0;
        case TInputStream::TResult::Stopped:
            errno = EINTR;
            return -1;
        case TInputStream::TResult::Failed:
            break;
    }
    errno = EIO;
    return -1;
}

// Only ftell's question (where the stream stands) is answered: libpcap asks it for the
// offsets of pcapng blocks; it never moves.
int SeekCookie(void* cookie, off64_t* offset, int whence) {
    if (whence != SEEK_CUR || *offset != 0) {
        errno = ESPIPE;
        return -1;
    }
    *offset = static_cast<off64_t>(static_cast<TInputStream*>(cookie)->BytesOut());
    return 0;
}

}  // namespace

pcap_t* OpenPcapStream(TInputStream& input, char* errbuf) {
    // No close function: the input is the caller's.
    const cookie_io_functions_t functions{ReadCookie, nullptr, SeekCookie, nullptr};
    FILE* stream = fopencookie(&input, "rb", functions);
    if (stream == nullptr) {
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "cannot make a stream over the input");
        return nullptr;
    }
    std::setvbuf(stream, nullptr, _IOFBF, TInputStream::kBufferBytes);
    pcap_t* pcap =
        pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_NANO, errbuf);
    if (pcap == nullptr)
        std::fclose(stream);
    return pcap;
}

}  // namespace n95::host
