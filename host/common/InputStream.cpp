#include "host/common/InputStream.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "host/common/Diagnostics.h"

namespace n95::host {

namespace {

// A gzip member starts with these two bytes (RFC 1952).
constexpr uint8_t kGzipMagic[2] = {0x1F, 0x8B};

bool StartsGzip(const uint8_t* bytes) {
    return bytes[0] == kGzipMagic[0] && bytes[1] == kGzipMagic[1];
}

}  // namespace

struct TInputStream::TInflate {
    z_stream Z{};
    bool Ready = false;
    bool InMember = false;  // a member was started and has not ended yet
    ~TInflate() {
        if (Ready)
            inflateEnd(&Z);
    }
};

TInputStream::TInputStream() = default;

TInputStream::~TInputStream() {
    if (Owned && Fd >= 0)
        System().Close(Fd);
}

bool TInputStream::Open(const std::string& path, bool dashIsStandardInput,
                        const volatile std::sig_atomic_t* stopRequested) {
    StopRequested = stopRequested;
    TSystemCalls& system = System();
    if (dashIsStandardInput && path == "-") {
        Fd = 0;
        Owned = false;
    } else {
        Fd = system.Open(path, kOpenRead | kOpenNonBlock);
        Owned = Fd >= 0;
        if (Fd < 0)
            return false;
    }
    if (system.StatusOf(Fd, Info) != 0)
        return false;
    Waits = Info.Kind == TFileKind::Fifo || Info.Kind == TFileKind::Socket;
    Size = Info.Size;
    return true;
}

bool TInputStream::Stopped() const {
    return Cancelled.load(std::memory_order_relaxed) ||
           (StopRequested != nullptr && *StopRequested != 0);
}

TInputStream::TResult TInputStream::Fail(std::string text) {
    FailureText = std::move(text);
    Ending = TResult::Failed;
    return Ending;
}

TInputStream::TResult TInputStream::ReadStored(void* buffer, std::size_t size, std::size_t& got) {
    TSystemCalls& system = System();
    got = 0;
    for (;;) {
        if (Waits && Stopped())
            return TResult::Stopped;
        if (Waits) {
            TPollEntry entry{Fd, kPollIn, 0};
            const int ready = system.Poll(&entry, 1, kStopLookMs);
            if (ready == 0 || (ready < 0 && errno == EINTR))
                continue;
            if (ready < 0)
                return Fail(SystemError("cannot wait for its bytes", errno));
        }
        const ssize_t n = system.Read(Fd, buffer, size);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            StoredRead += got;
            return TResult::Bytes;
        }
        if (n == 0)
            return TResult::End;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail(SystemError("read failed", errno));
    }
}

TInputStream::TResult TInputStream::FillIn(std::size_t count) {
    if (In.empty())
        In.resize(kBufferBytes);
    while (InEnd - InStart < count) {
        if (InStart == InEnd)
            InStart = InEnd = 0;
        if (InStart > 0 && In.size() - InStart < count) {
            std::memmove(In.data(), In.data() + InStart, InEnd - InStart);
            InEnd -= InStart;
            InStart = 0;
        }
        std::size_t got = 0;
        const TResult result = ReadStored(In.data() + InEnd, In.size() - InEnd, got);
        if (result == TResult::End)
            return InEnd > InStart ? TResult::Bytes : TResult::End;
        if (result != TResult::Bytes)
            return result;
        InEnd += got;
    }
    return TResult::Bytes;
}

// The first two bytes say whether the input is gzip; a shorter input is not.
TInputStream::TResult TInputStream::Detect() {
    const TResult result = FillIn(2);
    if (result == TResult::Stopped || result == TResult::Failed)
        return result;
    Detected = true;
    if (InEnd - InStart >= 2 && StartsGzip(In.data() + InStart)) {
        Compressed = true;
        Zlib = std::make_unique<TInflate>();
        // 16 + MAX_WBITS: a gzip wrapper, not zlib's own.
        const int status = inflateInit2(&Zlib->Z, 16 + MAX_WBITS);
        if (status == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (status != Z_OK)
            return Fail("cannot start gzip decompression");
        Zlib->Ready = true;
        Zlib->InMember = true;
    }
    return TResult::Bytes;
}

TInputStream::TResult TInputStream::Inflate(uint8_t* buffer, std::size_t size, std::size_t& got) {
    z_stream& z = Zlib->Z;
    got = 0;
    const auto room = static_cast<uInt>(std::min<std::size_t>(size, std::size_t{1} << 30));
    while (got == 0) {
        if (!Zlib->InMember) {
            // After a member: the end, or the next member of a multi-member file.
            const TResult result = FillIn(2);
            if (result == TResult::End)
                return Ending = TResult::End;
            if (result != TResult::Bytes)
                return result;
            if (InEnd - InStart < 2 || !StartsGzip(In.data() + InStart))
                return Fail("bytes after the gzip data at compressed byte " +
                            std::to_string(StoredUsed()) + " are not gzip");
            inflateReset(&z);
            Zlib->InMember = true;
        }
        if (InStart == InEnd) {
            const TResult result = FillIn(1);
            if (result == TResult::End)
                return Fail("the gzip data is truncated: it ends inside a member after " +
                            std::to_string(StoredUsed()) + " compressed bytes");
            if (result != TResult::Bytes)
                return result;
        }
        z.next_in = In.data() + InStart;
        z.avail_in = static_cast<uInt>(InEnd - InStart);
        z.next_out = buffer;
        z.avail_out = room;
        const int status = inflate(&z, Z_NO_FLUSH);
        InStart = InEnd - z.avail_in;
        got = room - z.avail_out;
        if (status == Z_STREAM_END) {
            Zlib->InMember = false;
        } else if (status == Z_MEM_ERROR) {
            throw std::bad_alloc();
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            // The bytes of this call come before the damage: they are handed out first.
            Fail("gzip data damaged after " + std::to_string(StoredUsed()) +
                 " compressed bytes: " + (z.msg != nullptr ? z.msg : "invalid data"));
            return got > 0 ? TResult::Bytes : TResult::Failed;
        }
    }
    return TResult::Bytes;
}

TInputStream::TResult TInputStream::Read(void* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    if (size == 0)
        return TResult::Bytes;
    if (HeldStart < Held.size()) {
        got = std::min(size, Held.size() - HeldStart);
        std::memcpy(buffer, Held.data() + HeldStart, got);
        HeldStart += got;
        if (HeldStart == Held.size()) {
            Held.clear();
            HeldStart = 0;
        }
        Out += got;
        return TResult::Bytes;
    }
    if (Ending != TResult::Bytes)
        return Ending;
    if (!Detected) {
        const TResult result = Detect();
        if (result != TResult::Bytes)
            return result;
    }
    TResult result;
    if (Compressed) {
        result = Inflate(static_cast<uint8_t*>(buffer), size, got);
    } else if (InStart < InEnd) {
        // What telling the format took, then straight into the caller's buffer.
        got = std::min(size, InEnd - InStart);
        std::memcpy(buffer, In.data() + InStart, got);
        InStart += got;
        result = TResult::Bytes;
    } else {
        result = ReadStored(buffer, size, got);
        if (result == TResult::End)
            Ending = result;
    }
    if (result == TResult::Bytes)
        Out += got;
    return result;
}

TInputStream::TResult TInputStream::Peek(std::size_t count, std::string& head) {
    // Held bytes are read out first, so what is read here is appended to them.
    std::string more;
    TResult result = TResult::Bytes;
    const uint64_t out = Out;
    std::string held = Held.substr(HeldStart);
    Held.clear();
    HeldStart = 0;
    while (held.size() < count) {
        more.resize(count - held.size());
        std::size_t got = 0;
        result = Read(more.data(), more.size(), got);
        if (result != TResult::Bytes)
            break;
        held.append(more.data(), got);
    }
    Out = out;  // not handed out yet
    Held = std::move(held);
    head = Held;
    if (!Held.empty())
        return TResult::Bytes;
    return result;
}

}  // namespace n95::host
