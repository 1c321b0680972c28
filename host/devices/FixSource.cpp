#include "host/devices/FixSource.h"

#include "host/devices/GpsFeed.h"
#include "host/devices/GpsdFeed.h"

namespace n95::host {

std::unique_ptr<TFixSource> OpenFixSource(const std::string& spec, int baud, std::string* error) {
    if (IsGpsdSpec(spec)) {
        TGpsdAddress address;
        if (!ParseGpsdAddress(spec, address, error))
            return nullptr;
        auto gpsd = std::make_unique<TGpsdFeed>();
        if (!gpsd->Open(address, error))
            return nullptr;
        return gpsd;
    }
    auto feed = std::make_unique<TGpsFeed>();
    if (!feed->Open(spec, baud, error))
        return nullptr;
    return feed;
}

}  // namespace n95::host
