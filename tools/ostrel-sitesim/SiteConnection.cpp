#include "ostrel-sitesim/SiteConnection.h"

#include "base/ByteBufferException.h"
#include "base/Exception.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/Md5.h"
#include "network/protocol/PacketAnalyzer.h"
#include "network/protocol/Protocol.h"
#include "network/protocol/playback/EventListRequest.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/PlaybackMessageType.h"
#include "network/protocol/playback/TextInFrame.h"
#include "ostrel-sitesim/FramePayload.h"
#include "ostrel-sitesim/SitePacketBuilder.h"
#include "ostrel-sitesim/SiteSettings.h"
#include "ostrel-sitesim/SyntheticRecording.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <random>
#include <span>
#include <sys/socket.h>

namespace ostrel {

namespace {

constexpr int PollIntervalMs = 200;
constexpr int ReceiveChunk = 65536;
// Items looked at per produce() pass before the loop polls again.
constexpr int ProduceBudget = 256;
constexpr uint32_t AllChannels = 0xFFFFFFFF;
// Dates and events that fit one reply of at most 1 MiB of payload.
constexpr size_t MaxCalendarDates = (SiteConnection::MaxPayloadSize - 4) / 4;
constexpr size_t MaxEvents = (SiteConnection::MaxPayloadSize - 6) / 34;
constexpr size_t MaxTimeTableEntries = (SiteConnection::MaxPayloadSize - 4) / 24;
constexpr size_t MaxSectionIDs = (SiteConnection::MaxPayloadSize - 24) / 4;

// Cuts a list to what one reply can carry.
template <typename T>
std::vector<T> atMost(std::vector<T> list, size_t limit) {
    if (list.size() > limit) {
        list.resize(limit);
    }
    return list;
}

EncryptionKey freshKey() {
    std::random_device random;
    const uint32_t word = random();
    return EncryptionKey({static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                          static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)});
}

} // namespace

SiteConnection::SiteConnection(UniqueFd socket, uint64_t id, bool overCapacity, const SiteSettings& settings,
                               const SyntheticRecording& recording, std::function<int64_t()> elapsed,
                               const std::atomic<bool>& stopping, int wakeFd)
    : _socket(std::move(socket)), _id(id), _overCapacity(overCapacity), _settings(settings), _recording(recording),
      _elapsed(std::move(elapsed)), _stopping(stopping), _wakeFd(wakeFd), _key(freshKey()) {}

void SiteConnection::log(const std::string& text) const {
    if (_settings.log) {
        _settings.log("connection " + std::to_string(_id) + ": " + text);
    }
}

void SiteConnection::queue(const Packet& packet) {
    const uint8_t* bytes = packet.array() - packet.position();
    _out.append(bytes, static_cast<size_t>(packet.limit()));
}

void SiteConnection::startClosing(const std::string& why) {
    if (_state == State::Closing) {
        return;
    }
    log("closing: " + why);
    _state = State::Closing;
    _playing = false;
    _closeDeadline = Clock::now() + CloseTimeout;
}

void SiteConnection::run() {
    while (true) {
        if (_stopping.load() && _state != State::Closing) {
            if (_state == State::Established && !_settings.faults.silence && !_finSent) {
                SitePacketBuilder::fin(_packet, 0, "shutdown", 0);
                queue(_packet);
                _finSent = true;
            }
            startClosing("the site is stopping");
            _closeDeadline = std::min(_closeDeadline, Clock::now() + StopTimeout);
        }
        if (_state == State::Closing) {
            if (_out.isEmpty() && !_writeShut) {
                // Everything is out: half-close so the client reads it all
                // before it sees the end, then wait for its own close.
                ::shutdown(_socket.get(), SHUT_WR);
                _writeShut = true;
            }
            if (_peerClosed || Clock::now() >= _closeDeadline) {
                break;
            }
        }
        produce();
        if (_state != State::Closing) {
            checkAlive();
        }

        pollfd fds[2] = {};
        fds[0].fd = _socket.get();
        fds[0].events = static_cast<short>(POLLIN | (_out.isEmpty() ? 0 : POLLOUT));
        fds[1].fd = _wakeFd;
        fds[1].events = POLLIN;
        // Once the site is stopping its wake descriptor stays readable, so
        // the wake entry is left out then and the loop only waits for the socket.
        const int count = _stopping.load() ? 1 : 2;
        const int ready = ::poll(fds, count, PollIntervalMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            log(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!readAvailable()) {
                break;
            }
        }
        if (fds[0].revents & POLLOUT) {
            if (!writePending()) {
                break;
            }
        }
    }
    log("closed after " + std::to_string(_framesSent) + " frames");
}

bool SiteConnection::readAvailable() {
    std::vector<uint8_t>& buffer = _received;
    buffer.resize(ReceiveChunk);
    const ssize_t received = ::recv(_socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (received == 0) {
        _peerClosed = true;
        if (_state != State::Closing) {
            log("the client closed the connection");
        }
        return false;
    }
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return true;
        }
        log(std::string("receive failed: ") + std::strerror(errno));
        return false;
    }
    if (_state == State::Closing) {
        return true; // what a closing client still sends is dropped
    }
    _lastReceive = Clock::now();
    _aliveCheckPending = false;
    int offset = 0;
    while (offset < received && _state != State::Closing) {
        int consumed = 0;
        const PacketReader::Result result =
            _reader.feed(buffer.data() + offset, static_cast<int>(received) - offset, consumed);
        offset += consumed;
        if (result == PacketReader::Result::InvalidPayloadSize) {
            startClosing("invalid payload size " + std::to_string(_reader.lastPayloadSize()));
        } else if (result == PacketReader::Result::Complete) {
            try {
                handle(_reader.packet());
            } catch (const ByteBufferException& e) {
                startClosing("malformed packet of type " + std::to_string(_reader.packet().type()) + ": " +
                             e.toString());
            }
        }
    }
    return true;
}

bool SiteConnection::writePending() {
    if (!_out.send(_socket.get())) {
        log(std::string("send failed: ") + std::strerror(errno));
        return false;
    }
    return true;
}

void SiteConnection::checkAlive() {
    const Clock::duration silence = Clock::now() - _lastReceive;
    if (_state != State::Established) {
        // The handshake has no alive check of its own; a client that stalls in it is dropped.
        if (silence > DropAfter) {
            startClosing("the client stalled during the login");
        }
        return;
    }
    if (_settings.faults.silence) {
        return;
    }
    if (silence > DropAfter) {
        startClosing("the client stopped answering");
    } else if (silence > AliveCheckAfter && !_aliveCheckPending) {
        PacketAnalyzer().makeAliveCheck(_packet, false);
        queue(_packet);
        _aliveCheckPending = true;
    }
}

void SiteConnection::handle(Packet& packet) {
    switch (_state) {
    case State::AwaitingSync:
        handleSync(packet);
        break;
    case State::AwaitingLogin:
        handleLogin(packet);
        break;
    case State::Established:
        handleRequest(packet);
        break;
    case State::Closing:
        break;
    }
}

void SiteConnection::handleSync(Packet& packet) {
    if (packet.type() != COMMON_MESSAGE_SYNC) {
        startClosing("the first packet was of type " + std::to_string(packet.type()) + ", not a sync");
        return;
    }
    packet.payload();
    Protocol protocol;
    protocol.read(packet);
    if (!Protocol::local().sameName(protocol)) {
        startClosing("unknown protocol");
        return;
    }
    if (_settings.faults.channelFull || _overCapacity) {
        SitePacketBuilder::channelFull(_packet);
        queue(_packet);
        startClosing("no free channel");
        return;
    }
    if (_settings.faults.wrongFirstPacket) {
        LoginResult result;
        result.code = LoginResult::Success;
        SitePacketBuilder::loginResponse(_packet, result);
    } else {
        SitePacketBuilder::sync(_packet, _settings, _key);
    }
    queue(_packet);
    _state = State::AwaitingLogin;
}

void SiteConnection::handleLogin(Packet& packet) {
    if (packet.type() != COMMON_MESSAGE_REQUEST_LOGIN) {
        startClosing("expected a login request, got type " + std::to_string(packet.type()));
        return;
    }
    packet.payload();
    char user[256];
    packet.getString(user, sizeof user);
    const int digestLength = packet.get();
    std::vector<uint8_t> digest(static_cast<size_t>(std::min(digestLength, packet.remaining())));
    packet.get(digest.data(), 0, digestLength);
    char algorithm[16];
    packet.getString(algorithm, sizeof algorithm);

    const std::string& password = _settings.password;
    const Md5::Digest expected = Md5::compute({
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(password.data()), password.size()),
        std::span<const uint8_t>(_key.bytes()),
    });
    const bool valid = _settings.user == user && std::string_view(algorithm) == "md5" &&
                       digest.size() == expected.size() && std::equal(digest.begin(), digest.end(), expected.begin());
    LoginResult result;
    result.code = _settings.faults.refuseLogin ? *_settings.faults.refuseLogin
                                               : (valid ? LoginResult::Success : uint8_t{2});
    result.first = static_cast<uint32_t>(_id);
    result.second = 0;
    SitePacketBuilder::loginResponse(_packet, result);
    queue(_packet);
    if (!result.succeeded()) {
        startClosing("login of \"" + std::string(user) + "\" refused with code " + std::to_string(result.code));
        return;
    }
    log("\"" + std::string(user) + "\" logged in");
    _state = State::Established;
    _lastReceive = Clock::now();
    if (_settings.faults.oversizedHeader) {
        // A header announcing one byte more than a client session accepts.
        _packet.begin(PLAYBACK_MESSAGE_MEDIA_FRAME);
        _packet.flip();
        _packet.putInt(4, MaxPayloadSize + 1);
        queue(_packet);
    }
}

void SiteConnection::handleRequest(Packet& packet) {
    if (_settings.faults.silence) {
        return;
    }
    const uint16_t type = packet.type();
    const int64_t elapsed = _elapsed();
    switch (type) {
    case COMMON_MESSAGE_ALIVE_CHECK: {
        packet.payload();
        if (packet.remaining() > 0 && !packet.getBool()) {
            PacketAnalyzer().makeAliveCheck(_packet, true);
            queue(_packet);
        }
        return;
    }
    case COMMON_MESSAGE_UNKNOWN_TYPE:
        // Never answered: two peers answering each other's 9 would never stop.
        return;
    case PLAYBACK_MESSAGE_RECORDING_CALENDAR: {
        packet.payload();
        const Date from = packet.getDate();
        const Date to = packet.getDate();
        SitePacketBuilder::calendar(_packet, type,
                                    _recording.calendar(_recording.spans(elapsed), from, to, MaxCalendarDates));
        break;
    }
    case PLAYBACK_MESSAGE_RECORDING_TIME_TABLE: {
        packet.payload();
        const DateTime from = packet.getDateTime();
        const DateTime to = packet.getDateTime();
        const uint32_t mask = packet.getInt();
        const auto first = SyntheticRecording::secondsOf(from);
        const auto last = SyntheticRecording::secondsOf(to);
        std::vector<RecordingTimeTableEntry> table;
        if (first && last) {
            table = atMost(_recording.timeTable(_recording.spans(elapsed), *first, *last, mask), MaxTimeTableEntries);
        }
        SitePacketBuilder::timeTable(_packet, table);
        break;
    }
    case PLAYBACK_MESSAGE_EVENT_LIST: {
        packet.payload();
        EventListRequest request;
        request.read(packet);
        const auto first = SyntheticRecording::secondsOf(request.range().from());
        const auto last = SyntheticRecording::secondsOf(request.range().to());
        bool cut = false;
        std::vector<EventListEntry> events;
        if (first && last) {
            events = _recording.events(_recording.spans(elapsed), *first, *last, request.channels().word(),
                                       request.firstFilter(), request.secondFilter(), MaxEvents, cut);
        }
        SitePacketBuilder::eventList(_packet, cut, events);
        break;
    }
    case PLAYBACK_MESSAGE_SECTION_LIST: {
        packet.payload();
        const uint32_t mask = packet.getInt();
        const DateTime from = packet.getDateTime();
        const DateTime to = packet.getDateTime();
        const auto first = SyntheticRecording::secondsOf(from);
        const auto last = SyntheticRecording::secondsOf(to);
        std::vector<uint32_t> ids;
        if (first && last) {
            ids = atMost(_recording.sectionIDs(_recording.spans(elapsed), *first, *last, mask), MaxSectionIDs);
        }
        SitePacketBuilder::sectionList(_packet, BitMask32(mask), Interval(from, to), ids);
        break;
    }
    case PLAYBACK_MESSAGE_PLAY: {
        packet.payload();
        PlayRequest request;
        request.read(packet);
        startPlay(request);
        return;
    }
    case PLAYBACK_MESSAGE_PAUSE: {
        packet.payload();
        MediaPosition position;
        position.read(packet);
        stopPlayback();
        log("paused at " + position.toString());
        SitePacketBuilder::playbackStopped(_packet, ReasonPaused);
        break;
    }
    case PLAYBACK_MESSAGE_JUMP_TO_POSITION: {
        packet.payload();
        MediaPosition position;
        position.read(packet);
        packet.getLong();
        // The jump-to-event form adds the channels after a zero u64.
        const uint32_t mask = packet.remaining() >= 4 ? packet.getInt() : AllChannels;
        jumpToPosition(position, mask);
        return;
    }
    default:
        SitePacketBuilder::unknownType(_packet, type);
        break;
    }
    queue(_packet);
}

void SiteConnection::stopPlayback() {
    _playing = false;
    _cursor.reset();
    _burst.clear();
    _burstNext = 0;
}

void SiteConnection::startBurst(std::vector<RecordingItem> items, uint32_t reason) {
    stopPlayback();
    _burst = std::move(items);
    _endReason = _burst.empty() ? ReasonNothing : reason;
    _playing = true;
}

void SiteConnection::startPlay(const PlayRequest& request) {
    // A new request replaces a running playback without a stop notice for it.
    stopPlayback();
    log("request " + request.toString());
    const int64_t elapsed = _elapsed();
    const std::vector<SyntheticRecording::Span> spans = _recording.spans(elapsed);
    const auto from = SyntheticRecording::secondsOf(request.range().from());
    const auto to = SyntheticRecording::secondsOf(request.range().to());
    const uint32_t mask = request.channels().word();
    if (!from || !to || *from > *to || spans.empty()) {
        startBurst({}, ReasonNothing);
        return;
    }
    std::vector<SyntheticRecording::Span> clipped = SyntheticRecording::clip(spans, *from, *to);
    if (clipped.empty() || (mask & _recording.videoMask()) == 0) {
        startBurst({}, ReasonNothing);
        return;
    }
    const int frameRate = _recording.description().frameRate;
    switch (request.mode()) {
    case PlayRequest::Play: {
        const bool forward = request.direction() != PlayRequest::Backward;
        const bool reachesEnd = forward ? *to > spans.back().lastEpoch() : *from < spans.front().firstEpoch();
        _cursor = std::make_unique<RecordingCursor>(_recording, std::move(clipped), mask, forward);
        _endReason = reachesEnd ? ReasonRecordingEnd : ReasonRangeEnd;
        _playing = true;
        return;
    }
    case PlayRequest::Step: {
        const bool forward = request.direction() != PlayRequest::Backward;
        const SyntheticRecording::Span& span = forward ? clipped.front() : clipped.back();
        const int64_t second = forward ? span.first : span.last;
        startBurst(_recording.tickItems(span, second, forward ? 0 : frameRate - 1, mask), ReasonJumped);
        return;
    }
    case PlayRequest::Jump: {
        for (const SyntheticRecording::Span& span : clipped) {
            if (span.sectionID != request.sectionID()) {
                continue;
            }
            const std::optional<int64_t> tick = _recording.firstKeyTick(span);
            if (tick) {
                startBurst(_recording.tickItems(span, *tick / frameRate, static_cast<int>(*tick % frameRate), mask),
                           ReasonJumped);
                return;
            }
        }
        startBurst({}, ReasonNothing);
        return;
    }
    default:
        startBurst({}, ReasonNothing);
        return;
    }
}

void SiteConnection::jumpToPosition(const MediaPosition& position, uint32_t mask) {
    stopPlayback();
    log("jump to " + position.toString());
    const int64_t elapsed = _elapsed();
    RecordingItem target;
    if (!_recording.find(position, elapsed, target)) {
        startBurst({}, ReasonNothing);
        return;
    }
    if (target.kind == RecordingItem::Kind::TextIn) {
        startBurst(_recording.includes(target, mask) ? std::vector<RecordingItem>{target}
                                                     : std::vector<RecordingItem>{},
                   ReasonJumped);
        return;
    }
    for (const SyntheticRecording::Span& span : _recording.spans(elapsed)) {
        if (span.sectionID == target.sectionID) {
            startBurst(_recording.tickItems(span, target.second, target.tick, mask), ReasonJumped);
            return;
        }
    }
    startBurst({}, ReasonNothing);
}

void SiteConnection::produce() {
    for (int budget = ProduceBudget; _playing && _state == State::Established && budget > 0; --budget) {
        if (_out.pending() >= LowWater) {
            return;
        }
        RecordingItem item;
        bool found = false;
        if (_cursor) {
            found = _cursor->next(item);
        } else if (_burstNext < _burst.size()) {
            item = _burst[_burstNext++];
            found = true;
        }
        if (!found) {
            stopPlayback();
            SitePacketBuilder::playbackStopped(_packet, _endReason);
            queue(_packet);
            return;
        }
        queueItem(item);
        if (_settings.faults.disconnectAfterFrames && _framesSent >= *_settings.faults.disconnectAfterFrames) {
            startClosing("disconnecting after " + std::to_string(_framesSent) + " frames");
            return;
        }
    }
}

void SiteConnection::queueItem(const RecordingItem& item) {
    if (item.kind == RecordingItem::Kind::TextIn) {
        SitePacketBuilder::textInFrame(_packet, item.position(), _recording.textIn(item));
        queue(_packet);
    } else {
        // The data goes from the recording's pattern to the socket: only the
        // stamped start of it is the frame's own.
        MediaFrame frame;
        _recording.header(item, frame);
        SitePacketBuilder::mediaFrameHead(_packet, true, item.position(), frame);
        queue(_packet);
        const std::span<const uint8_t> pattern = _recording.payloadPattern(item);
        uint8_t stamped[FramePayload::StampSize];
        const size_t stampedLength = std::min(pattern.size(), sizeof stamped);
        std::memcpy(stamped, pattern.data(), stampedLength);
        FramePayload::stamp(stamped, stampedLength, item.channel, item.mediaID, item.epochSeconds);
        _out.append(stamped, stampedLength);
        _out.appendBorrowed(pattern.data() + stampedLength, pattern.size() - stampedLength);
        _out.appendZeros(SitePacketBuilder::mediaFramePadding(frame.dataLength()));
    }
    ++_framesSent;
}

} // namespace ostrel
