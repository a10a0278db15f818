#include "ostrel-sitesim/RecordingDescription.h"

#include "ostrel-sitesim/SiteSettingsException.h"

#include <string>

namespace ostrel {

RecordingDescription RecordingDescription::defaults() {
    RecordingDescription description;
    description.sections = {
        {1, DateTime(2024, 1, 1, 10, 0, 0), DateTime(2024, 1, 1, 10, 9, 59)},
        {2, DateTime(2024, 1, 1, 10, 15, 0), DateTime(2024, 1, 1, 10, 29, 59)},
        {3, DateTime(2024, 1, 1, 11, 0, 0), DateTime(2024, 1, 1, 11, 59, 59)},
    };
    description.events = {{60, 5, 0, 0, 2, 0}, {300, 30, 1, 0, 0, 1}};
    description.textIns = {{20, 3, 2, "RECEIPT", 0}};
    return description;
}

namespace {

void require(bool condition, const std::string& message) {
    if (!condition) {
        throw SiteSettingsException(message);
    }
}

int64_t secondsOf(const DateTime& time, const std::string& what) {
    try {
        return time.epochSeconds();
    } catch (const Exception&) {
        throw SiteSettingsException(what + " is not a valid date and time");
    }
}

} // namespace

void RecordingDescription::validate() const {
    require(videoChannels >= 1 && videoChannels <= MaxChannels, "videoChannels must be 1 to 32");
    require(audioChannels >= 0 && audioChannels <= MaxChannels, "audioChannels must be 0 to 32");
    require(frameRate >= 1 && frameRate <= MaxFrameRate, "frameRate must be 1 to 120");
    require(gopLength >= 1 && gopLength <= 65536, "gopLength must be 1 to 65536");
    require(static_cast<uint64_t>(keyFrameSize) + extraSize <= MaxFrameData,
            "keyFrameSize + extraSize must not exceed " + std::to_string(MaxFrameData));
    require(static_cast<uint64_t>(frameSize) + extraSize <= MaxFrameData,
            "frameSize + extraSize must not exceed " + std::to_string(MaxFrameData));
    require(audioFrameSize <= MaxFrameData, "audioFrameSize must not exceed " + std::to_string(MaxFrameData));

    // Media IDs carry the section ID in their top 24 bits and the frame's slot
    // in the section in the lower 40, so a section may hold at most 2^40 slots.
    const int64_t slotsPerSecond =
        static_cast<int64_t>(frameRate) * (videoChannels + audioChannels) + static_cast<int64_t>(textIns.size());
    int64_t previousEnd = 0;
    uint32_t previousID = 0;
    for (size_t i = 0; i < sections.size(); ++i) {
        const SectionDescription& section = sections[i];
        const std::string name = "section " + std::to_string(section.id);
        require(section.id >= 1 && section.id < (1u << 24), "section IDs must be 1 to 16777215");
        const int64_t from = secondsOf(section.from, name + " from");
        const int64_t to = secondsOf(section.to, name + " to");
        require(from <= to, name + " ends before it starts");
        require((to - from + 1) * slotsPerSecond < (int64_t{1} << 40), name + " is too long for its frame rate");
        if (i > 0) {
            require(section.id > previousID, "section IDs must rise with time (" + name + ")");
            require(from > previousEnd, name + " overlaps or precedes the section before it");
        }
        previousEnd = to;
        previousID = section.id;
    }
    for (const EventRule& rule : events) {
        require(rule.channel >= 0 && rule.channel < videoChannels, "an event's channel must be a video channel");
        require(rule.tick >= 0 && rule.tick < frameRate, "an event's tick must be below the frame rate");
    }
    for (const TextInRule& rule : textIns) {
        require(rule.channel >= 0 && rule.channel < videoChannels, "a text-in's channel must be a video channel");
        require(rule.text.size() <= MaxTextPrefix, "a text-in's text must have at most 50 characters");
        require(rule.text.find('\0') == std::string::npos, "a text-in's text must not contain a 0 byte");
    }
}

} // namespace ostrel
