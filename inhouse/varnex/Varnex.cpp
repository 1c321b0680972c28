// Stand-in for the in-house field store: it keeps the record it is given and returns it.
// The real store fills the record's fields from the decoder library; this one leaves that
// to the stand-in decoder (Tolvane), which writes the record directly.
#include "decoder/HostObjects.h"

namespace {

class TFieldStore final : public THandsetFields {
public:
    TTestRecord* GetRecord() override { return record_; }
    void SetRecord(TTestRecord* Rec) override { record_ = Rec; }

private:
    TTestRecord* record_ = nullptr;  // not owned
};

}  // namespace

THandsetFields* NewHandsetFieldsInstance() {
    return new TFieldStore();
}
