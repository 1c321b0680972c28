#include "host/devices/FixSource.h"

#include "host/devices/GpsFeed.h"
#include "host/devices/GpsdFeed.h"

namespace n95::host {

std::unique_ptr<TFixSource> OpenFixSource(const std::string& source, int baud, std::string* error) {
    if (IsGpsdSource(source)) {
        TGpsdAddress address;
        if (!ParseGpsdAddress(source, address, error))
            return nullptr;
        auto gpsd = std::make_unique<TGpsdFeed>();
        if (!gpsd->Open(address, error))
            return nullptr;
        return gpsd;
    }
    auto feed = std::make_unique<TGpsFeed>();
    if (!feed->Open(source, baud, error))
        return nullptr;
    return feed;
}

}  // namespace n95::host
