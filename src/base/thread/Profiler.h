#pragma once

#include <cstdint>
#include <string>

namespace ostrel {

// Measures intervals between marks on the 32-bit millisecond tick counter and
// keeps statistics of the values marked. Not thread-safe: owners that share one
// between threads guard it with their own mutex.
class Profiler {
public:
    explicit Profiler(std::string name = std::string());
    virtual ~Profiler() = default;

    // Milliseconds of a monotonic clock, truncated to 32 bits: it wraps after about
    // 49.7 days, so only differences taken with elapsedSince() are meaningful.
    static std::uint32_t tick();
    // Now minus an earlier tick, modulo 2^32.
    static std::uint32_t elapsedSince(std::uint32_t earlierTick);

    void reset();
    // Ends an interval at now and records a value.
    void mark(std::int64_t value);

    // Last tick minus start tick.
    std::uint32_t elapsed() const { return _lastTick - _startTick; }
    // Elapsed / count; 0.0 without marks.
    double averageInterval() const;
    // Total / count; 0.0 without marks.
    double averageValue() const;

    const std::string& name() const { return _name; }
    std::uint32_t startTick() const { return _startTick; }
    std::uint32_t lastTick() const { return _lastTick; }
    std::uint32_t minimumInterval() const { return _minimumInterval; }
    std::uint32_t maximumInterval() const { return _maximumInterval; }
    std::uint32_t count() const { return _count; }
    std::int64_t lastValue() const { return _lastValue; }
    std::int64_t total() const { return _total; }
    std::int64_t minimumValue() const { return _minimumValue; }
    std::int64_t maximumValue() const { return _maximumValue; }

private:
    std::string _name;
    std::uint32_t _startTick = 0;
    std::uint32_t _lastTick = 0;
    std::uint32_t _minimumInterval = 0xFFFFFFFF;
    std::uint32_t _maximumInterval = 0;
    std::uint32_t _count = 0;
    std::int64_t _lastValue = 0;
    std::int64_t _total = 0;
    std::int64_t _minimumValue = 0xFFFFFFFF;
    std::int64_t _maximumValue = 0;
};

} // namespace ostrel
