#include "records/TestDataBox.h"

int32_t TTstDataBox::AddRecord(TTestRecord* Rec) {
    Records.push_back(Rec);
    return static_cast<int32_t>(Records.size() - 1);
}

int32_t TTstDataBox::RecordCount() const {
    return static_cast<int32_t>(Records.size());
}

bool TTstDataBox::IsValidIndex(int32_t Index) const {
    return Index > RecordIndexFloor && Index < RecordCount();
}

TTestRecord* TTstDataBox::RecordAt(int32_t Index) const {
    return IsValidIndex(Index) ? Records[static_cast<std::size_t>(Index)] : nullptr;
}

void TTstDataBox::ClearEntry(int32_t Index) {
    if (IsValidIndex(Index)) {
        Records[static_cast<std::size_t>(Index)] = nullptr;
    }
}

bool TTstDataBox::Clear() {
    // swap, not clear(): the storage itself is released as well.
    std::vector<TTestRecord*>().swap(Records);
    Tally = 0;
    return true;
}
