// Shared pieces of the fuzz targets: a reader that turns the fuzzer's bytes into values, a
// check that stops the run on a broken property, and a record heap that counts and tracks
// every block the record operations allocate and release.
//
// Each target is a function `int Fuzz<Name>(const uint8_t* data, size_t size)`. Built as a
// libFuzzer program, N95_FUZZ_ENTRY makes it the fuzzer's entry point; built into the test
// suite (N95_FUZZ_REPLAY_ONLY defined), the test replays the committed corpus through the
// same function.
//
// Threading: the targets are single-threaded; the heap hooks are process-wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "records/DataAccessAPIUnit.h"

// A broken property: print what and where, then abort so that libFuzzer keeps the input
// (and a test run fails loudly).
#define N95_FUZZ_CHECK(cond)                                                                      \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            std::fprintf(stderr, "%s:%d: fuzz property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

#if defined(N95_FUZZ_REPLAY_ONLY)
#define N95_FUZZ_ENTRY(fn)
#else
#define N95_FUZZ_ENTRY(fn)                                                    \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
        return fn(data, size);                                                \
    }
#endif

namespace n95::fuzz {

int FuzzDecoder(const uint8_t* data, size_t size);
int FuzzCommands(const uint8_t* data, size_t size);
int FuzzRecord(const uint8_t* data, size_t size);
int FuzzHostReaders(const uint8_t* data, size_t size);

// Reads values from the fuzzer's bytes, front to back. Past the end every read gives zeros
// (and an empty byte run), so any input is a complete, valid description.
class TFuzzInput {
public:
    TFuzzInput(const uint8_t* data, size_t size) : Data(data), Size(size) {}

    bool Empty() const { return Pos >= Size; }
    size_t Left() const { return Pos < Size ? Size - Pos : 0; }

    uint8_t U8() { return Pos < Size ? Data[Pos++] : 0; }
    uint16_t U16() {  // big-endian, like the trace frame's length
        const uint16_t high = U8();
        return static_cast<uint16_t>((high << 8) | U8());
    }
    uint32_t U32() {
        const uint32_t high = U16();
        return (high << 16) | U16();
    }
    // Up to `n` bytes (fewer when the input ends).
    std::string Bytes(size_t n) {
        const size_t take = n < Left() ? n : Left();
        std::string out(reinterpret_cast<const char*>(Data + Pos), take);
        Pos += take;
        return out;
    }
    std::string Rest() { return Bytes(Left()); }

private:
    const uint8_t* Data;
    size_t Size;
    size_t Pos = 0;
};

// Installs record alloc/free hooks that track every live block. Blocks are taken from the C
// heap, so blocks allocated before the hooks (or by someone else with std::malloc) stay
// releasable; such a block released through the hooks counts as a foreign release.
// One instance at a time.
class TTrackedRecordHeap {
public:
    TTrackedRecordHeap() {
        Current = this;
        PreviousAlloc = SetRecordAllocHookForTesting(&AllocHook);
        PreviousFree = SetRecordFreeHookForTesting(&FreeHook);
    }
    ~TTrackedRecordHeap() {
        SetRecordAllocHookForTesting(PreviousAlloc);
        SetRecordFreeHookForTesting(PreviousFree);
        Current = nullptr;
    }
    TTrackedRecordHeap(const TTrackedRecordHeap&) = delete;
    TTrackedRecordHeap& operator=(const TTrackedRecordHeap&) = delete;

    // A tracked block for building records by hand, as the library would allocate it.
    void* Allocate(size_t size) { return AllocHook(1, size, true); }

    std::unordered_set<void*> Live;
    size_t Allocations = 0;
    size_t Frees = 0;
    size_t ForeignFrees = 0;

private:
    static void* AllocHook(size_t count, size_t size, bool zero) {
        void* block = zero                       ? std::calloc(count, size)
                      : count <= SIZE_MAX / size ? std::malloc(count * size)
                                                 : nullptr;
        if (block != nullptr) {
            Current->Live.insert(block);
            ++Current->Allocations;
        }
        return block;
    }
    static void FreeHook(void* block) {
        if (Current->Live.erase(block) == 1) {
            ++Current->Frees;
        } else {
            ++Current->ForeignFrees;
        }
        std::free(block);
    }

    static inline TTrackedRecordHeap* Current = nullptr;
    TAllocHook PreviousAlloc;
    TFreeHook PreviousFree;
};

}  // namespace n95::fuzz
