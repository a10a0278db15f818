#include "ostrel-sitesim/SyntheticRecording.h"

#include "base/Exception.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/TextInFrame.h"
#include "ostrel-sitesim/FramePayload.h"

#include <algorithm>
#include <cstddef>
#include <set>
#include <string>

namespace ostrel {

namespace {

constexpr int64_t SecondsPerDay = 86400;

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

} // namespace

SyntheticRecording::SyntheticRecording(RecordingDescription description, int64_t shiftSeconds)
    : _description(std::move(description)) {
    for (const SectionDescription& section : _description.sections) {
        const int64_t from = section.from.epochSeconds();
        _starts.push_back(from + shiftSeconds);
        _lengths.push_back(section.to.epochSeconds() - from + 1);
    }
    const uint32_t longest =
        std::max({_description.keyFrameSize + _description.extraSize, _description.frameSize + _description.extraSize,
                  _description.audioFrameSize});
    _pattern.resize(longest);
    FramePayload::pattern(_pattern.data(), _pattern.size());
}

int SyntheticRecording::slotsPerSecond() const {
    return _description.frameRate * slotsPerTick() + static_cast<int>(_description.textIns.size());
}

uint32_t SyntheticRecording::videoMask() const {
    return _description.videoChannels >= 32 ? 0xFFFFFFFFu : (1u << _description.videoChannels) - 1;
}

std::optional<int64_t> SyntheticRecording::secondsOf(const DateTime& time) {
    try {
        return time.epochSeconds();
    } catch (const Exception&) {
        return std::nullopt;
    }
}

std::vector<SyntheticRecording::Span> SyntheticRecording::spans(int64_t elapsed) const {
    std::vector<Span> result;
    const size_t count = _starts.size();
    for (size_t i = 0; i < count; ++i) {
        int64_t last = _lengths[i] - 1;
        if (_description.growing && i + 1 == count && elapsed > 0) {
            last += elapsed;
        }
        result.push_back({i, _description.sections[i].id, _starts[i], 0, last});
    }
    if (_description.retainSeconds > 0 && !result.empty()) {
        const int64_t oldest = result.back().lastEpoch() - _description.retainSeconds + 1;
        std::vector<Span> kept;
        for (Span span : result) {
            if (span.lastEpoch() < oldest) {
                continue;
            }
            span.first = std::max(span.first, oldest - span.start);
            kept.push_back(span);
        }
        result = std::move(kept);
    }
    return result;
}

std::vector<SyntheticRecording::Span> SyntheticRecording::clip(const std::vector<Span>& spans, int64_t from,
                                                               int64_t to) {
    std::vector<Span> result;
    for (Span span : spans) {
        const int64_t first = std::max(span.first, from - span.start);
        const int64_t last = std::min(span.last, to - span.start);
        if (first <= last) {
            span.first = first;
            span.last = last;
            result.push_back(span);
        }
    }
    return result;
}

bool SyntheticRecording::fires(uint32_t every, uint32_t offset, int64_t second) {
    if (second < offset) {
        return false;
    }
    return every == 0 ? second == offset : (second - offset) % every == 0;
}

std::optional<int64_t> SyntheticRecording::firstFiring(uint32_t every, uint32_t offset, int64_t from, int64_t to) {
    int64_t second = offset;
    if (from > second) {
        if (every == 0) {
            return std::nullopt;
        }
        second += (from - second + every - 1) / every * every;
    }
    if (second > to) {
        return std::nullopt;
    }
    return second;
}

uint64_t SyntheticRecording::mediaIDOf(uint32_t sectionID, int64_t second, int slot) const {
    return (static_cast<uint64_t>(sectionID) << 40) + static_cast<uint64_t>(second) * slotsPerSecond() +
           static_cast<uint64_t>(slot);
}

bool SyntheticRecording::itemAt(const Span& span, int64_t second, int slot, RecordingItem& item) const {
    if (second < span.first || second > span.last || slot < 0 || slot >= slotsPerSecond()) {
        return false;
    }
    const int perTick = slotsPerTick();
    const int videoChannels = _description.videoChannels;
    RecordingItem found;
    found.sectionID = span.sectionID;
    found.second = static_cast<uint32_t>(second);
    found.slot = static_cast<uint32_t>(slot);
    found.epochSeconds = span.start + second;
    found.mediaID = mediaIDOf(span.sectionID, second, slot);
    if (slot < _description.frameRate * perTick) {
        found.tick = slot / perTick;
        const int inTick = slot % perTick;
        if (inTick < videoChannels) {
            found.kind = RecordingItem::Kind::Video;
            found.channel = inTick;
        } else {
            found.kind = RecordingItem::Kind::Audio;
            found.channel = inTick - videoChannels;
        }
    } else {
        const int rule = slot - _description.frameRate * perTick;
        const TextInRule& textIn = _description.textIns[static_cast<size_t>(rule)];
        if (!fires(textIn.every, textIn.offset, second)) {
            return false;
        }
        found.kind = RecordingItem::Kind::TextIn;
        found.rule = rule;
        found.channel = textIn.channel;
        found.tick = 0;
    }
    item = found;
    return true;
}

bool SyntheticRecording::find(const MediaPosition& position, int64_t elapsed, RecordingItem& item) const {
    for (const Span& span : spans(elapsed)) {
        if (span.sectionID == position.sectionID()) {
            return itemAt(span, position.second(), static_cast<int>(std::min<uint32_t>(position.third(), 0x7FFFFFFF)),
                          item);
        }
    }
    return false;
}

bool SyntheticRecording::includes(const RecordingItem& item, uint32_t mask) const {
    int channel = item.channel;
    if (item.kind == RecordingItem::Kind::Audio) {
        channel = item.channel % _description.videoChannels;
    }
    return (mask >> channel) & 1u;
}

std::vector<RecordingItem> SyntheticRecording::tickItems(const Span& span, int64_t second, int tick,
                                                         uint32_t mask) const {
    std::vector<RecordingItem> items;
    const int perTick = slotsPerTick();
    for (int i = 0; i < perTick; ++i) {
        RecordingItem item;
        if (itemAt(span, second, tick * perTick + i, item) && includes(item, mask)) {
            items.push_back(item);
        }
    }
    return items;
}

std::optional<int64_t> SyntheticRecording::firstKeyTick(const Span& span) const {
    const int64_t rate = _description.frameRate;
    const int64_t gop = _description.gopLength;
    const int64_t firstTick = span.first * rate;
    const int64_t keyTick = (firstTick + gop - 1) / gop * gop;
    if (keyTick > span.last * rate + rate - 1) {
        return std::nullopt;
    }
    return keyTick;
}

uint32_t SyntheticRecording::payloadLength(const RecordingItem& item) const {
    if (item.kind == RecordingItem::Kind::Audio) {
        return _description.audioFrameSize;
    }
    const int64_t tick = static_cast<int64_t>(item.second) * _description.frameRate + item.tick;
    const bool key = tick % _description.gopLength == 0;
    return (key ? _description.keyFrameSize : _description.frameSize) + _description.extraSize;
}

void SyntheticRecording::header(const RecordingItem& item, MediaFrame& frame) const {
    const int64_t tick = static_cast<int64_t>(item.second) * _description.frameRate + item.tick;
    const int64_t gop = _description.gopLength;
    frame.setGopID(static_cast<uint32_t>(tick / gop));
    frame.setMediaID(item.mediaID);
    frame.setTime(item.time());
    frame.setChannelMask(BitMask32(1u << item.channel));
    // Attributes a recorder would fill with its own values: the frame rate,
    // the group length, the tick's number in the section and its offset in ms.
    frame.setAttributeA(static_cast<uint16_t>(_description.frameRate));
    frame.setAttributeB(static_cast<uint16_t>(_description.gopLength));
    frame.setAttributeC(static_cast<uint32_t>(tick));
    frame.setAttributeD(static_cast<uint64_t>(tick) * 1000 / static_cast<uint64_t>(_description.frameRate));
    if (item.kind == RecordingItem::Kind::Audio) {
        frame.setMediaType(MediaFrame::Audio);
        frame.setFrameIndex(0);
        frame.setDataSize(_description.audioFrameSize);
        frame.setExtraSize(0);
        frame.setLinkedChannelMask(BitMask32(1u << (item.channel % _description.videoChannels)));
    } else {
        frame.setMediaType(MediaFrame::Video);
        frame.setFrameIndex(static_cast<uint16_t>(tick % gop));
        frame.setDataSize(payloadLength(item) - _description.extraSize);
        frame.setExtraSize(_description.extraSize);
        frame.setLinkedChannelMask(BitMask32());
    }
}

void SyntheticRecording::payload(const RecordingItem& item, std::vector<uint8_t>& out) const {
    out.clear();
    appendPayload(item, out);
}

std::span<const uint8_t> SyntheticRecording::payloadPattern(const RecordingItem& item) const {
    return std::span<const uint8_t>(_pattern).first(payloadLength(item));
}

void SyntheticRecording::appendPayload(const RecordingItem& item, std::vector<uint8_t>& out) const {
    const size_t length = payloadLength(item);
    const size_t at = out.size();
    out.insert(out.end(), _pattern.begin(), _pattern.begin() + static_cast<std::ptrdiff_t>(length));
    FramePayload::stamp(out.data() + at, length, item.channel, item.mediaID, item.epochSeconds);
}

std::string SyntheticRecording::textOf(const RecordingItem& item) const {
    const TextInRule& rule = _description.textIns[static_cast<size_t>(item.rule)];
    const int64_t n = rule.every == 0 ? 0 : (item.second - rule.offset) / rule.every;
    return rule.text + " " + std::to_string(n);
}

TextInFrame SyntheticRecording::textIn(const RecordingItem& item) const {
    const TextInRule& rule = _description.textIns[static_cast<size_t>(item.rule)];
    const int64_t tick = static_cast<int64_t>(item.second) * _description.frameRate;
    TextInFrame frame;
    frame.setChannelMask(BitMask32(1u << item.channel));
    frame.setMediaID(item.mediaID);
    frame.setTime(item.time());
    frame.setGopID(static_cast<uint32_t>(tick / _description.gopLength));
    frame.setFrameIndex(static_cast<uint16_t>(tick % _description.gopLength));
    frame.setAttribute(static_cast<uint32_t>(rule.every == 0 ? 0 : (item.second - rule.offset) / rule.every));
    frame.setFlags(BitMask32(rule.flags));
    frame.setText(textOf(item));
    return frame;
}

bool SyntheticRecording::passes(uint32_t filter, uint8_t bit) {
    return bit < 32 ? ((filter >> bit) & 1u) != 0 : filter == 0xFFFFFFFFu;
}

std::vector<EventListEntry> SyntheticRecording::events(const std::vector<Span>& spans, int64_t from, int64_t to,
                                                       uint32_t mask, uint32_t typeFilter, uint32_t subTypeFilter,
                                                       size_t limit, bool& cut) const {
    struct Found {
        int64_t epoch;
        uint64_t mediaID;
        EventListEntry entry;
    };
    std::vector<Found> found;
    const int perTick = slotsPerTick();
    for (const Span& span : clip(spans, from, to)) {
        // Spans come oldest first: once more than `limit` events were found,
        // a later span cannot contribute to the earliest `limit`.
        if (found.size() > limit) {
            break;
        }
        for (const EventRule& rule : _description.events) {
            if (!((mask >> rule.channel) & 1u) || !passes(typeFilter, rule.type) ||
                !passes(subTypeFilter, rule.subType)) {
                continue;
            }
            std::optional<int64_t> second = firstFiring(rule.every, rule.offset, span.first, span.last);
            // Each rule contributes at most limit + 1 events: the earliest ones
            // are all that can survive the cut.
            for (size_t n = 0; second && n <= limit; ++n) {
                RecordingItem frame;
                itemAt(span, *second, rule.tick * perTick + rule.channel, frame);
                found.push_back({frame.epochSeconds, frame.mediaID,
                                 EventListEntry(rule.type, rule.subType, BitMask32(1u << rule.channel), frame.time(),
                                                frame.mediaID, frame.position())});
                if (rule.every == 0) {
                    break;
                }
                second = *second + rule.every <= span.last ? std::optional<int64_t>(*second + rule.every)
                                                           : std::nullopt;
            }
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.epoch != b.epoch ? a.epoch < b.epoch : a.mediaID < b.mediaID;
    });
    cut = found.size() > limit;
    std::vector<EventListEntry> entries;
    for (size_t i = 0; i < found.size() && i < limit; ++i) {
        entries.push_back(found[i].entry);
    }
    return entries;
}

std::vector<RecordingTimeTableEntry> SyntheticRecording::timeTable(const std::vector<Span>& spans, int64_t from,
                                                                   int64_t to, uint32_t mask) const {
    std::vector<RecordingTimeTableEntry> entries;
    const uint32_t channels = mask & videoMask();
    if (channels == 0) {
        return entries;
    }
    for (const Span& span : spans) {
        if (span.lastEpoch() >= from && span.firstEpoch() <= to) {
            entries.emplace_back(span.sectionID,
                                 Interval(DateTime::fromEpochSeconds(span.firstEpoch()),
                                          DateTime::fromEpochSeconds(span.lastEpoch())),
                                 BitMask32(channels));
        }
    }
    return entries;
}

std::vector<uint32_t> SyntheticRecording::sectionIDs(const std::vector<Span>& spans, int64_t from, int64_t to,
                                                     uint32_t mask) const {
    std::vector<uint32_t> ids;
    if ((mask & videoMask()) == 0) {
        return ids;
    }
    for (const Span& span : clip(spans, from, to)) {
        ids.push_back(span.sectionID);
    }
    return ids;
}

std::vector<Date> SyntheticRecording::calendar(const std::vector<Span>& spans, const Date& from, const Date& to,
                                               size_t limit) const {
    std::vector<Date> dates;
    const std::optional<int64_t> first = secondsOf(DateTime(from, Time(0, 0, 0)));
    const std::optional<int64_t> last = secondsOf(DateTime(to, Time(23, 59, 59)));
    if (!first || !last) {
        return dates;
    }
    std::set<int64_t> days;
    for (const Span& span : clip(spans, *first, *last)) {
        const int64_t lastDay = floorDiv(span.lastEpoch(), SecondsPerDay);
        for (int64_t day = floorDiv(span.firstEpoch(), SecondsPerDay); day <= lastDay && days.size() < limit; ++day) {
            days.insert(day);
        }
    }
    for (int64_t day : days) {
        if (dates.size() >= limit) {
            break;
        }
        dates.push_back(DateTime::fromEpochSeconds(day * SecondsPerDay).date());
    }
    return dates;
}

} // namespace ostrel
