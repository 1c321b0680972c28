// A byte-at-a-time model of the trace frame parser, for the differential test and the
// parser benchmark.
//
// It follows the frame state machine literally: one dispatch per byte, a payload buffer
// sized from the length field, and the delivered frame built by concatenating header and
// payload. Like the parser, it delivers a zero-length frame as soon as its second length
// byte is read. Being literal, it is slow; that is its point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace n95 {

class TByteModel {
public:
    TByteModel() { Reset(); }

    // Parses one chunk and calls onFrame(const std::string& frame) for each complete frame.
    template <typename F>
    void Parse(const uint8_t* bytes, size_t count, F&& onFrame) {
        static const uint8_t kOkReply[6] = {0x0D, 0x0A, 'O', 'K', 0x0D, 0x0A};
        Reset();
        if (bytes == nullptr || count == 0) {
            return;
        }
        if (count == 6 && std::memcmp(bytes, kOkReply, 6) == 0) {
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            const uint8_t b = bytes[i];
            switch (State) {
                case 0:
                case 1:
                case 2:
                    Header[State] = static_cast<char>(b);
                    ++State;
                    break;
                case 3:
                    Header[3] = static_cast<char>(b);
                    if (b == 0x01) {
                        State = 4;
                    } else {
                        Header[4] = Header[5] = Header[6] = Header[7] = '\0';
                        State = 8;
                    }
                    break;
                case 4:
                case 5:
                case 6:
                case 7:
                    Header[State] = static_cast<char>(b);
                    ++State;
                    break;
                case 8:
                    Header[8] = static_cast<char>(b);
                    State = 9;
                    break;
                case 9:
                    Header[9] = static_cast<char>(b);
                    PayloadLen =
                        static_cast<uint8_t>(Header[8]) * 256u + static_cast<uint8_t>(Header[9]);
                    Remaining = PayloadLen;
                    Payload.assign(PayloadLen, '\0');
                    State = 10;
                    if (PayloadLen == 0) {
                        Complete(onFrame);
                    }
                    break;
                case 10:
                    Payload[PayloadLen - Remaining] = static_cast<char>(b);
                    if (--Remaining == 0) {
                        Complete(onFrame);
                    }
                    break;
            }
        }
    }

private:
    void Reset() {
        State = 0;
        Header.assign(10, '\0');
        Payload.clear();
        PayloadLen = 0;
        Remaining = 0;
    }

    template <typename F>
    void Complete(F& onFrame) {
        State = 11;
        const std::string frame = Header + Payload;
        State = 0;
        onFrame(frame);
        Reset();
    }

    unsigned State;
    std::string Header;
    std::string Payload;
    uint32_t PayloadLen;
    uint32_t Remaining;
};

}  // namespace n95
