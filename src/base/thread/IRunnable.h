#pragma once

namespace ostrel {

// Work that a Thread executes.
class IRunnable {
public:
    virtual ~IRunnable() = default;
    virtual void run() = 0;
};

} // namespace ostrel
