#pragma once

#include "base/DateTime.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

// One recording section of a simulated site: its ID and the first and last
// recorded second (both inclusive).
struct SectionDescription {
    uint32_t id = 0;
    DateTime from;
    DateTime to;
};

// Events placed on video frames: at the seconds offset, offset + every,
// offset + 2 * every, ... of every section (every 0: once, at offset), each
// on the video frame of `channel` at tick `tick` of that second.
struct EventRule {
    uint32_t every = 0;
    uint32_t offset = 0;
    int channel = 0;
    int tick = 0;
    uint8_t type = 0;
    uint8_t subType = 0;
};

// Text-in records placed like events: at the matching seconds of every
// section, one record on `channel` with the text "<text> <n>" (n counts the
// records of the rule within the section from 0) and the given flags.
struct TextInRule {
    uint32_t every = 0;
    uint32_t offset = 0;
    int channel = 0;
    std::string text;
    uint32_t flags = 0;
};

// What a simulated site has recorded. Every video channel records
// `frameRate` frames a second in groups of `gopLength` (a key frame, then
// gopLength - 1 others); every audio channel one frame per video tick.
//
// growing: the last section keeps growing with the wall clock, one second
// of recording per second. retainSeconds (0 = all): only the newest
// retainSeconds of recorded time are kept, so with growing the oldest part
// is overwritten over time. anchorToNow: all sections are shifted so the
// last one ends when the site starts (local wall-clock time).
struct RecordingDescription {
    static constexpr int MaxChannels = 32;
    static constexpr int MaxFrameRate = 120;
    static constexpr int MaxTextPrefix = 50;
    // data + extension of one frame: what fits one 517 packet of at most 1 MiB payload.
    static constexpr uint32_t MaxFrameData = 1048576 - 1 - 12 - 64;

    std::vector<SectionDescription> sections;
    int videoChannels = 4;
    int audioChannels = 1;
    int frameRate = 5;
    int gopLength = 10;
    uint32_t keyFrameSize = 8192;
    uint32_t frameSize = 2048;
    uint32_t audioFrameSize = 320;
    uint32_t extraSize = 0;
    std::vector<EventRule> events;
    std::vector<TextInRule> textIns;
    bool growing = false;
    uint32_t retainSeconds = 0;
    bool anchorToNow = false;

    // The recording served when none is described: three sections on
    // 2024/01/01 (10:00:00-10:09:59 ID 1, 10:15:00-10:29:59 ID 2,
    // 11:00:00-11:59:59 ID 3), 4 video channels at 5 frames a second with
    // groups of 10 (key frames 8192 bytes, others 2048), 1 audio channel
    // (320 bytes), an event type 2 on channel 0 every 60 s from second 5, an
    // event type 0 sub-type 1 on channel 1 every 300 s from second 30, and a
    // text-in "RECEIPT <n>" on channel 2 every 20 s from second 3.
    static RecordingDescription defaults();

    // Raises SiteSettingsException naming the first setting that cannot work:
    // sections must have IDs from 1 to 2^24 - 1 rising with time, from <= to,
    // and must not overlap; channel counts, frame rate, group length, sizes
    // and rules must be within their ranges (rule channels are video channels).
    void validate() const;
};

} // namespace ostrel
