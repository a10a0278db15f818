#pragma once

#include <cstdint>

namespace ostrel {

// When a storage commits the media pages that filled since its last commit
// (the group commit, see GroupCommit).
struct GroupCommitOptions {
    static constexpr std::uint32_t DefaultPages = 8;
    static constexpr std::uint32_t DefaultMaxWaitMilliseconds = 250;

    // A group commits when this many filled pages wait (1: every page commits
    // on its own). Bounded by what one journal sector holds.
    std::uint32_t pages = DefaultPages;
    // ... and when its oldest page has waited this long, in milliseconds of
    // the storage's clock.
    std::uint32_t maxWaitMilliseconds = DefaultMaxWaitMilliseconds;
    // Whether a thread of the storage commits a group whose time is up when no
    // write comes to do it. Tests that drive the clock by hand turn it off and
    // let the writes (or commitDuePages) do it.
    bool timer = true;
};

} // namespace ostrel
