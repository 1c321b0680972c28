#include "host/outputs/FrameLogOutput.h"

#include <memory>

namespace n95::host {

const TOutputKind kFrameLogOutputKind = {
    .Name = "frame-log",
    .Option = "--frame-log",
    .Value = "FILE",
    .Suffix = nullptr,
    .Help = "Have the plug-in log every decoded frame",
    .Needs = kWrittenByPlugin,
    .Create = [] { return std::unique_ptr<IOutput>(new TFrameLogOutput); },
};

}  // namespace n95::host
