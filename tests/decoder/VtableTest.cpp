// The host calls the decoder's operations by their position in the virtual table. With the
// Itanium C++ ABI (GCC and Clang, Linux and MinGW) the virtual destructor takes the first two
// slots, so operation N must sit in slot N + 1.
#include <gtest/gtest.h>

#include <cstring>

#include "decoder/NokiaMSN95Decode.h"
#include "tests/decoder/DecoderTestSupport.h"

namespace n95::test {
namespace {

struct SlotCase {
    int operation;
    std::ptrdiff_t slot;
    const char* name;
};

// An Itanium pointer to a virtual member function holds 1 + the slot's byte offset.
template <typename Pmf>
SlotCase Slot(int operation, Pmf pmf, const char* name) {
    static_assert(sizeof(Pmf) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t words[2];
    std::memcpy(words, &pmf, sizeof words);
    return SlotCase{operation, (words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)), name};
}

TEST(VtableTest, EveryOperationSitsInItsSlot) {
    const SlotCase cases[] = {
        Slot(1, &THandSetDecode::GetConnected, "GetConnected"),
        Slot(2, &THandSetDecode::GetOptionFlag, "GetOptionFlag"),
        Slot(3, &THandSetDecode::GetOptionRecord, "GetOptionRecord"),
        Slot(4, &THandSetDecode::GetContext, "GetContext"),
        Slot(5, &THandSetDecode::GetPosition, "GetPosition"),
        Slot(6, &THandSetDecode::GetLogFileName, "GetLogFileName"),
        Slot(7, &THandSetDecode::GetState, "GetState"),
        Slot(8, &THandSetDecode::GetStatusValue, "GetStatusValue"),
        Slot(9, &THandSetDecode::GetLogEnabled, "GetLogEnabled"),
        Slot(10, &THandSetDecode::GetPort, "GetPort"),
        Slot(11, &THandSetDecode::SetOptionFlag, "SetOptionFlag"),
        Slot(12, &THandSetDecode::SetOptionRecord, "SetOptionRecord"),
        Slot(13, &THandSetDecode::SetContext, "SetContext"),
        Slot(14, &THandSetDecode::SetPosition, "SetPosition"),
        Slot(15, &THandSetDecode::SetLogFileName, "SetLogFileName"),
        Slot(16, &THandSetDecode::SetState, "SetState"),
        Slot(17, &THandSetDecode::SetStatusValue, "SetStatusValue"),
        Slot(18, &THandSetDecode::SetLogEnabled, "SetLogEnabled"),
        Slot(19, &THandSetDecode::SetPort, "SetPort"),
        Slot(20, &THandSetDecode::DecodeData, "DecodeData"),
        Slot(21, &THandSetDecode::Connect, "Connect"),
        Slot(22, &THandSetDecode::Disconnect, "Disconnect"),
        Slot(23, &THandSetDecode::StopDecoding, "StopDecoding"),
        Slot(24, &THandSetDecode::StartTest, "StartTest"),
        Slot(25, &THandSetDecode::RestartTest, "RestartTest"),
        Slot(26, &THandSetDecode::StopTest, "StopTest"),
        Slot(27, &THandSetDecode::Reserved1, "Reserved1"),
        Slot(28, &THandSetDecode::Reserved2, "Reserved2"),
        Slot(29, &THandSetDecode::GetRecordsReady, "GetRecordsReady"),
        Slot(30, &THandSetDecode::GetPositionUpdated, "GetPositionUpdated"),
        Slot(31, &THandSetDecode::GetRecordBase, "GetRecordBase"),
        Slot(32, &THandSetDecode::SetRecordBase, "SetRecordBase"),
        Slot(33, &THandSetDecode::GetDeviceKind, "GetDeviceKind"),
        Slot(34, &THandSetDecode::ReservedAbstract1, "ReservedAbstract1"),
        Slot(35, &THandSetDecode::FreeRecord, "FreeRecord"),
        Slot(36, &THandSetDecode::GetLastTaggedIndex, "GetLastTaggedIndex"),
        Slot(37, &THandSetDecode::GetRecord, "GetRecord"),
        Slot(38, &THandSetDecode::ClearRecords, "ClearRecords"),
        Slot(39, &THandSetDecode::GetRecordCount, "GetRecordCount"),
        Slot(40, &THandSetDecode::Reconnect, "Reconnect"),
        Slot(41, &THandSetDecode::Unsupported1, "Unsupported1"),
        Slot(42, &THandSetDecode::Unsupported2, "Unsupported2"),
        Slot(43, &THandSetDecode::Unsupported3, "Unsupported3"),
        Slot(44, &THandSetDecode::ReservedAbstract2, "ReservedAbstract2"),
        Slot(45, &THandSetDecode::UpdatePosition, "UpdatePosition"),
        Slot(46, &THandSetDecode::ReservedAbstract3, "ReservedAbstract3"),
        Slot(47, &THandSetDecode::ReservedAbstract4, "ReservedAbstract4"),
        Slot(48, &THandSetDecode::GetOptionValue, "GetOptionValue"),
        Slot(49, &THandSetDecode::GetTestFlag, "GetTestFlag"),
        Slot(50, &THandSetDecode::GetCallbackTag, "GetCallbackTag"),
        Slot(51, &THandSetDecode::GetOnRecordCount, "GetOnRecordCount"),
        Slot(52, &THandSetDecode::GetOnGetRecord, "GetOnGetRecord"),
        Slot(53, &THandSetDecode::GetOnNotify, "GetOnNotify"),
        Slot(54, &THandSetDecode::GetMessageClass, "GetMessageClass"),
        Slot(55, &THandSetDecode::SetTestFlag, "SetTestFlag"),
        Slot(56, &THandSetDecode::SetCallbackTag, "SetCallbackTag"),
        Slot(57, &THandSetDecode::SetOnRecordCount, "SetOnRecordCount"),
        Slot(58, &THandSetDecode::SetOnGetRecord, "SetOnGetRecord"),
        Slot(59, &THandSetDecode::SetOnNotify, "SetOnNotify"),
        Slot(60, &THandSetDecode::SetMessageClass, "SetMessageClass"),
        Slot(61, &THandSetDecode::SetOptionValue, "SetOptionValue"),
        Slot(62, &THandSetDecode::GetHandsetCode, "GetHandsetCode"),
        Slot(63, &THandSetDecode::ReservedAbstract5, "ReservedAbstract5"),
        Slot(64, &THandSetDecode::BuildTestCommands, "BuildTestCommands"),
        Slot(65, &THandSetDecode::Reserved3, "Reserved3"),
        Slot(66, &THandSetDecode::CommitRecordFlag, "CommitRecordFlag"),
        Slot(67, &THandSetDecode::Reserved4, "Reserved4"),
        Slot(68, &THandSetDecode::Reserved5, "Reserved5"),
        Slot(69, &THandSetDecode::GetDataRate, "GetDataRate"),
        Slot(70, &THandSetDecode::Reserved6, "Reserved6"),
    };
    ASSERT_EQ(std::size(cases), 70u);
    for (const SlotCase& c : cases)
        EXPECT_EQ(c.slot, c.operation + 1) << "operation " << c.operation << " " << c.name;
}

// Calls through raw slots, the way a host that knows only positions does. Member functions
// take `this` as an ordinary first argument on Linux (x86-64 and i386); 32-bit Windows passes
// it in a register, so the raw calls are made on Linux only.
#if !defined(_WIN32)
TEST(VtableTest, RawSlotsReachTheDecoder) {
    Journal journal;
    JournalEnv env(&journal);
    ScopedEnv scoped(&env);
    TestContext context;
    TNokiaMSN95Decode decoder(nullptr, &context.Context);
    THandSetDecode* host = &decoder;
    void** vtable = *reinterpret_cast<void***>(host);
    auto slot = [&](int operation) { return vtable[operation + 1]; };
    using ByteGetter = uint8_t (*)(THandSetDecode*);
    using ByteSetter = void (*)(THandSetDecode*, uint8_t);
    using IntSetter = void (*)(THandSetDecode*, int32_t);
    using IntGetter = int32_t (*)(THandSetDecode*);
    EXPECT_EQ(reinterpret_cast<ByteGetter>(slot(62))(host), 24);        // GetHandsetCode
    EXPECT_EQ(reinterpret_cast<ByteGetter>(slot(33))(host), 2);         // GetDeviceKind
    reinterpret_cast<ByteSetter>(slot(16))(host, rsTesting);            // SetState
    EXPECT_EQ(reinterpret_cast<ByteGetter>(slot(7))(host), rsTesting);  // GetState
    reinterpret_cast<IntSetter>(slot(61))(host, -12345);                // SetOptionValue
    EXPECT_EQ(reinterpret_cast<IntGetter>(slot(48))(host), -12345);     // GetOptionValue
}
#endif

}  // namespace
}  // namespace n95::test
