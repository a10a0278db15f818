#include "storage/Recorder.h"

#include "storage/MediaElement.h"
#include "storage/Storage.h"
#include "storage/TextInElement.h"
#include "storage/VarnelException.h"
#include "storage/pager/Buffer.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

Recorder::~Recorder() { close(); }

void Recorder::open(Storage& storage) {
    close();
    _storage = &storage;
    storage.addListener(this);
}

void Recorder::close() {
    if (_storage != nullptr) {
        _storage->removeListener(this);
        _storage = nullptr;
    }
}

PagePosition Recorder::writeFrame(MediaElement& frame) {
    if (_storage == nullptr) {
        throw VarnelException(VarnelException::InvalidStorage, "frame written through a closed recorder");
    }
    if (frame.mediaType() != TimelineLinkedElement::TextIn) {
        const PagePosition position = _storage->writeMedia(frame);
        return _storage->writeTimeline(frame, position);
    }
    TextInElement element;
    element.setMediaType(TimelineLinkedElement::TextIn);
    element.setFrameIndex(frame.frameIndex());
    element.setGopID(frame.gopID());
    element.setDateTime(frame.dateTime());
    element.setChannelMask(frame.channelMask());
    element.setLinkedChannelMask(frame.linkedChannelMask());
    element.setFlags(BitMask32((frame.attributeB() != 0 ? 1u : 0u) | (frame.attributeA() != 0 ? 2u : 0u)));
    // The text is the payload up to its first zero byte, at most 63 characters.
    std::uint8_t text[TextInElement::TextSize] = {};
    const std::uint32_t length = std::min<std::uint32_t>(frame.payloadSize(), TextInElement::TextSize - 1);
    Buffer window(text, sizeof text);
    frame.writePayload(window, 0, length);
    element.setText(std::string(reinterpret_cast<const char*>(text), strnlen(reinterpret_cast<const char*>(text), length)));
    const PagePosition position = _storage->writeTextIn(element);
    const PagePosition result = _storage->writeTimeline(element, position, false);
    frame.setMediaID(element.mediaID());
    return result;
}

} // namespace ostrel
