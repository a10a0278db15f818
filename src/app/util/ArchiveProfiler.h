#pragma once

#include "base/Clock.h"
#include "base/thread/Mutex.h"
#include "base/thread/Profiler.h"

#include <atomic>
#include <cstdint>

namespace ostrel {

// Tells whether archiving keeps up with real time: the seconds of recording
// archived since the window began, against the wall-clock milliseconds the
// window lasted (read from the clock given at construction). Marks come from
// the media thread, the classification from the action loop.
class ArchiveProfiler {
public:
    // Speed classes; the site display shows their texts.
    static constexpr int SpeedNone = 0;
    static constexpr int SpeedBad = 1;
    static constexpr int SpeedGood = 2;

    explicit ArchiveProfiler(const Clock& clock = Clock::system());
    virtual ~ArchiveProfiler() = default;
    ArchiveProfiler(const ArchiveProfiler&) = delete;
    ArchiveProfiler& operator=(const ArchiveProfiler&) = delete;

    // Starts a new window and sets running.
    void start();
    // Clears running; the values are kept.
    void stop();
    bool isRunning() const { return _running.load(); }
    void restartWindow();
    // Adds seconds of archived recording to the window.
    void add(int64_t seconds);
    // Milliseconds since the window began.
    uint32_t elapsed() const;
    // SpeedGood when at least one second of recording was archived per
    // second of the window, else SpeedBad.
    int archiveSpeed() const;

    // 0, 1 and 2 map to themselves; any other value fails the assertion
    // "false" (when assertions are on) and gives 0.
    static int16_t parseArchiveSpeed(int speed);

private:
    const Clock& _clock;
    mutable Mutex _mutex;
    Profiler _profiler{"ArchiveProfiler"};
    uint32_t _startTick = 0;
    std::atomic<bool> _running{false};
};

} // namespace ostrel
