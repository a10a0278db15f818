#include "ostrel-sitesim/RecordingCursor.h"

namespace ostrel {

RecordingCursor::RecordingCursor(const SyntheticRecording& recording, std::vector<SyntheticRecording::Span> spans,
                                 uint32_t mask, bool forward)
    : _recording(recording), _spans(std::move(spans)), _mask(mask), _forward(forward),
      _empty((mask & recording.videoMask()) == 0) {
    if (!_forward && !_spans.empty()) {
        const SyntheticRecording::Span& last = _spans.back();
        _span = _spans.size() - 1;
        _slot = (last.last - last.first + 1) * _recording.slotsPerSecond() - 1;
    }
}

bool RecordingCursor::next(RecordingItem& item) {
    if (_empty) {
        return false;
    }
    const int64_t perSecond = _recording.slotsPerSecond();
    while (_span < _spans.size()) {
        const SyntheticRecording::Span& span = _spans[_span];
        const int64_t slots = (span.last - span.first + 1) * perSecond;
        if (_slot < 0 || _slot >= slots) {
            if (_forward) {
                ++_span;
                _slot = 0;
            } else if (_span == 0) {
                _span = _spans.size();
            } else {
                --_span;
                const SyntheticRecording::Span& previous = _spans[_span];
                _slot = (previous.last - previous.first + 1) * perSecond - 1;
            }
            continue;
        }
        const int64_t second = span.first + _slot / perSecond;
        const int slot = static_cast<int>(_slot % perSecond);
        _slot += _forward ? 1 : -1;
        RecordingItem found;
        if (_recording.itemAt(span, second, slot, found) && _recording.includes(found, _mask)) {
            item = found;
            return true;
        }
    }
    return false;
}

} // namespace ostrel
