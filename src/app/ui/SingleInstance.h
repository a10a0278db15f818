#pragma once

#include <string>

namespace ostrel {

// Keeps Ostrel to one instance per user: a lock file named after the
// application's mutex name in $XDG_RUNTIME_DIR (the working directory when
// that is not set), held with flock for the life of the process. The running
// instance writes the address of its page into it, so a second start can
// name and open the first one.
class SingleInstance {
public:
    static constexpr const char* MutexName = "Ostrel_D0E0446E-0C4D-4C36-96B1-4F6A6C73BDC3";

    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    static std::string lockPath();
    // True when this process is now the only instance. Throws SystemException
    // when the lock file cannot be opened.
    bool acquire();
    // Writes the running instance's address into the lock file.
    void publish(const std::string& address);
    // The address the running instance published; waits up to `waitMs` for
    // an instance that is still starting. Empty when none was published.
    static std::string runningAddress(int waitMs);

private:
    int _fd = -1;
};

} // namespace ostrel
