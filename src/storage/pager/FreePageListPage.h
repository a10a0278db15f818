#pragma once

#include "storage/pager/CircularPage.h"

namespace ostrel {

// The free-page-list page: a ring of FreePageListItem intervals (page 1 of
// every storage this engine formats).
class FreePageListPage : public CircularPage {
public:
    using CircularPage::CircularPage;
};

} // namespace ostrel
