// The plug-in's frame log as one of the run's outputs. The plug-in writes it by name
// (TOutputFile's ByName: WritePath() is where it opens it); the host only makes it appear
// with the other outputs, all or nothing.
//
// Not thread-safe; one owner.
#pragma once

#include <string>

#include "host/common/OutputFile.h"
#include "host/outputs/Output.h"

namespace n95::host {

class TFrameLogOutput : public IOutput {
public:
    bool Open(const std::string& path, std::string* error) override {
        return Out.Open(path, TOutputFile::TOptions{.ByName = true}, error);
    }
    bool Make(const TOutputFacts&, std::string*) override { return true; }
    TOutputFile& File() override { return Out; }

private:
    TOutputFile Out;
};

// --frame-log: not part of -o (a log of every frame is asked for on purpose).
extern const TOutputKind kFrameLogOutputKind;

}  // namespace n95::host
