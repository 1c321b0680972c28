#include "host/devices/FixSource.h"

#include "host/devices/GpsFeed.h"

namespace n95::host {

std::unique_ptr<TFixSource> OpenFixSource(const std::string& spec, int baud, std::string* error) {
    auto feed = std::make_unique<TGpsFeed>();
    if (!feed->Open(spec, baud, error))
        return nullptr;
    return feed;
}

}  // namespace n95::host
