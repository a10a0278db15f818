#include "base/thread/Random.h"

#include "base/Exception.h"

#include <cerrno>
#include <sys/random.h>

namespace ostrel {

Random& Random::instance() {
    // Function-local statics are created once, under the runtime's own lock.
    static Random random;
    return random;
}

std::uint32_t Random::next() {
    std::uint32_t value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    std::size_t filled = 0;
    while (filled < sizeof value) {
        const ssize_t got = ::getrandom(bytes + filled, sizeof value - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw SystemException();
        }
        filled += static_cast<std::size_t>(got);
    }
    return value;
}

} // namespace ostrel
