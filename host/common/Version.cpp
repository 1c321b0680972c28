#include "host/common/Version.h"

// Generated at build time by cmake/N95Version.cmake; only this file includes it, so a new
// commit recompiles one file.
#include "N95VersionInfo.h"

namespace n95::host {

std::string VersionText() {
    const std::string commit = N95_COMMIT;
    return commit.empty() ? N95_VERSION : std::string(N95_VERSION) + " (git " + commit + ")";
}

std::string VersionLine(const std::string& program) {
    return program + " " + VersionText();
}

}  // namespace n95::host
