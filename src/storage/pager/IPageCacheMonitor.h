#pragma once

namespace ostrel {

class Page;

// Told when a page save starts and ends (the storage relays it to its
// listeners, which use it to show write activity).
class IPageCacheMonitor {
public:
    virtual ~IPageCacheMonitor() = default;
    virtual void saveStarted(Page& page, bool headerOnly) = 0;
    virtual void saveFinished(Page& page, bool headerOnly) = 0;
};

} // namespace ostrel
