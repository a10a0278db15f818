#include "network/protocol/NewAliveCheckOption.h"

namespace ostrel {

NewAliveCheckOption& NewAliveCheckOption::instance() {
    static NewAliveCheckOption option;
    return option;
}

} // namespace ostrel
