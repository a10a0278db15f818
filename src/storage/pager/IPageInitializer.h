#pragma once

namespace ostrel {

class Page;

// Runs while a page is formatted, after its header is set up (a track uses it
// to carry the rest of an item's payload into the new page).
class IPageInitializer {
public:
    virtual ~IPageInitializer() = default;
    virtual void initialize(Page& page) = 0;
};

} // namespace ostrel
