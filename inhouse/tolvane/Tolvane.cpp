// Stand-in for the in-house WCDMA decoder.
//
// It accepts any frame whose payload (the bytes after the 10-byte header) holds at least
// four bytes: the message code is the first four payload bytes read big-endian, the kind-2
// body's Blob becomes a copy of the whole payload, and the first four bytes of the state
// block count the frames decoded. Anything else (a short frame, no store, no record, a record
// without a kind-2 body) is rejected and changes nothing. Tests and the reference host rely
// on exactly this behaviour.
#include <cstdlib>
#include <cstring>
#include <new>

#include "decoder/HostObjects.h"
#include "records/DataAccessAPIUnit.h"

namespace {

constexpr std::size_t kHeaderSize = 10;
constexpr std::size_t kMinPayload = 4;
constexpr uint32_t kKindMask = 0x70000000u;
constexpr uint32_t kKind2 = 0x20000000u;
constexpr uint32_t kCompactBody = 0x08000000u;

uint32_t ReadBigEndian32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

bool Gain_WCDMA_Test_Point(uint8_t /*HandsetCode*/, const std::string& Frame,
                           THandsetFields* Fields, void* State) {
    if (Fields == nullptr || Frame.size() < kHeaderSize + kMinPayload)
        return false;
    const std::size_t payloadLen = Frame.size() - kHeaderSize;
    if (payloadLen > 0xFFFF)
        return false;  // BlobLen is 16-bit
    TTestRecord* rec = Fields->GetRecord();
    if (rec == nullptr || rec->Body == nullptr)
        return false;
    const uint32_t kindWord = rec->KindWord;
    if ((kindWord & kKindMask) != kKind2 || (kindWord & kCompactBody) != 0)
        return false;

    auto* body = static_cast<TTestBody2*>(rec->Body);
    const auto* payload = reinterpret_cast<const unsigned char*>(Frame.data()) + kHeaderSize;
    auto* blob = static_cast<uint8_t*>(std::malloc(payloadLen));
    if (blob == nullptr)
        throw std::bad_alloc();
    std::memcpy(blob, payload, payloadLen);

    if (body->BlobLen > 0)
        std::free(body->Blob);
    body->Blob = blob;
    body->BlobLen = static_cast<uint16_t>(payloadLen);
    rec->MessageCode = ReadBigEndian32(payload);

    if (State != nullptr) {
        uint32_t decoded;
        std::memcpy(&decoded, State, sizeof decoded);
        ++decoded;
        std::memcpy(State, &decoded, sizeof decoded);
    }
    return true;
}
