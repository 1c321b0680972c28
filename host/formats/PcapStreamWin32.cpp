// Windows: a capture that is not a plain file (standard input, a pipe, a gzip file) is copied
// whole, decompressed, into an anonymous temporary file, which libpcap then reads by its
// handle (see PcapStream.h for why a stream of this process cannot be handed over). The
// temporary file is deleted when libpcap closes the handle, or by the system should the
// program end first.
//
// Unlike Linux, nothing is decoded before the whole input has been read, and an input that
// fails or is stopped on the way fails the open (the caller asks the input why): a damaged
// gzip file gives no records on Windows, where Linux gives those before the damage.
// pcap.h (through PcapStream.h) brings winsock2.h, which must come before windows.h.
#include "host/formats/PcapStream.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace n95::host {

namespace {

// A new file in the user's temporary folder that goes when its last handle is closed; open
// for reading and writing. INVALID_HANDLE_VALUE, with `errbuf` filled, when it cannot be made.
HANDLE MakeTemporaryFile(char* errbuf) {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"n95", 0, name) == 0) {
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE,
                      "cannot make a temporary file for the capture (Windows error %lu)",
                      GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    // GetTempFileNameW made the file; it is opened again to be deleted on close.
    const HANDLE file =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE,
                      "cannot open a temporary file for the capture (Windows error %lu)",
                      GetLastError());
        DeleteFileW(name);
    }
    return file;
}

// Copies what `input` holds to `file`. False when the input failed or was stopped (it says
// which) or the file could not be written (`errbuf` says why).
bool CopyInput(TInputStream& input, HANDLE file, char* errbuf) {
    std::vector<char> buffer(TInputStream::kBufferBytes);
    for (;;) {
        std::size_t got = 0;
        switch (input.Read(buffer.data(), buffer.size(), got)) {
            case TInputStream::TResult::Bytes:
                break;
            case TInputStream::TResult::End:
                return true;
            case TInputStream::TResult::Stopped:
            case TInputStream::TResult::Failed:
                return false;
        }
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), static_cast<DWORD>(got), &written, nullptr) ||
            written != got) {
            std::snprintf(errbuf, PCAP_ERRBUF_SIZE,
                          "cannot write the capture's temporary copy (Windows error %lu)",
                          GetLastError());
            return false;
        }
    }
}

}  // namespace

pcap_t* OpenPcapStream(TInputStream& input, char* errbuf) {
    const HANDLE file = MakeTemporaryFile(errbuf);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!CopyInput(input, file, errbuf) || SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0) {
        CloseHandle(file);
        return nullptr;
    }
    // libpcap takes the handle over: pcap_close closes it, and the file goes with it. When it
    // refuses the file, whether it closed the handle depends on the step that failed, so it
    // is left open (a second close could close another's handle); the run ends on that
    // failure, and the file goes with the process.
    return pcap_hopen_offline_with_tstamp_precision(reinterpret_cast<intptr_t>(file),
                                                    PCAP_TSTAMP_PRECISION_NANO, errbuf);
}

}  // namespace n95::host
