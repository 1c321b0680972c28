// The version of the tools: the project's version and, when built in a git checkout, the
// commit they were built from.
#pragma once

#include <string>

namespace n95::host {

// "0.1.0 (git 81056e1)", or "0.1.0" when not built in a git checkout.
std::string VersionText();

// What --version prints: "n95host 0.1.0 (git 81056e1)".
std::string VersionLine(const std::string& program);

}  // namespace n95::host
