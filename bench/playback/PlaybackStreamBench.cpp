// How fast played-back video reaches a playback client's listener on the media
// dispatcher thread: one, then eight simulated sites stream 16 channels of
// 25 fps video (100 KB key frames, 15 KB others) as fast as they can to
// playback clients whose listener only counts and checksums. Beside each
// figure, the raw loopback TCP throughput of the same number of bytes through
// a plain blocking socket pair, measured in the same run.
//
// Two measurements each time:
// - live: the clients play straight from the simulated sites, so the figure is
//   bounded by how fast a simulated site computes its payload bytes;
// - staged: each site's stream passes through a relay on loopback that keeps
//   the playback's packets until the whole stream is in memory and then
//   releases it at once, so the figure shows the client itself (socket reads,
//   framing, state machine, queue, media dispatcher, listener) on exactly the
//   bytes the site sent. The goal is staged >= 0.5 x the reference for one site,
//   with every frame delivered intact.
//
// Usage: bench_playback_PlaybackStreamBench [recorded seconds per site, default 30]
#include "base/DateTime.h"
#include "base/Interval.h"
#include "network/client/IPlaybackClientListener.h"
#include "network/client/NetworkPlaybackClient.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/PlayRequest.h"
#include "ostrel-sitesim/FramePayload.h"
#include "ostrel-sitesim/SiteServer.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <fcntl.h>
#include <cerrno>
#include <algorithm>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <filesystem>
#include <fstream>
#include <string>
#include <time.h>

using namespace ostrel;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int Channels = 16;
constexpr int FrameRate = 25;
constexpr int Gop = 25;
constexpr uint32_t KeyFrameSize = 100000;
constexpr uint32_t FrameSize = 15000;

// A cheap checksum of every data byte: sums of 8-byte words, then the tail.
uint64_t checksum(const uint8_t* data, size_t length) {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        sum += word;
    }
    for (; i < length; ++i) {
        sum += data[i];
    }
    return sum;
}

// Nanoseconds on a CPU, so far, of the threads of this process whose name
// starts with `prefix`.
uint64_t threadCpuNanoseconds(const std::string& prefix) {
    uint64_t total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        std::ifstream schedstat(task.path() / "schedstat");
        uint64_t onCpu = 0;
        schedstat >> onCpu;
        total += onCpu;
    }
    return total;
}

uint64_t callingThreadCpuNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

class CountingListener : public IPlaybackClientListener {
public:
    void playbackVideoFrameReceived(int, bool, int, const MediaFrame& frame, const MediaPosition&) override {
        ++frames;
        bytes += MediaFrame::HeaderSize + frame.dataLength();
        sum += checksum(frame.data(), static_cast<size_t>(frame.dataLength()));
    }
    void playbackAudioFrameReceived(int, const MediaFrame& frame, const MediaPosition&) override {
        ++frames;
        bytes += MediaFrame::HeaderSize + frame.dataLength();
        sum += checksum(frame.data(), static_cast<size_t>(frame.dataLength()));
    }
    void playbackConnected(int) override { signal(connected); }
    void playbackStopped(int, uint32_t reason) override {
        stopReason = reason;
        signal(stopped);
    }
    void playbackDisconnected(int, int) override { signal(disconnected); }

    bool wait(const bool& flag, std::chrono::seconds limit = std::chrono::seconds(300)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, [&] { return flag || disconnected; }) && flag;
    }

    uint64_t frames = 0; // media dispatcher thread only
    uint64_t bytes = 0;
    uint64_t sum = 0;
    uint32_t stopReason = 0;
    bool connected = false;
    bool stopped = false;
    bool disconnected = false;

private:
    void signal(bool& flag) {
        std::lock_guard<std::mutex> lock(mutex);
        flag = true;
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
};

SiteSettings benchSite(int seconds) {
    SiteSettings settings;
    settings.recording.sections = {{1, DateTime(2024, 1, 1, 10, 0, 0), DateTime(2024, 1, 1, 10, 0, 0)}};
    settings.recording.sections[0].to.addSeconds(seconds - 1);
    settings.recording.videoChannels = Channels;
    settings.recording.audioChannels = 0;
    settings.recording.frameRate = FrameRate;
    settings.recording.gopLength = Gop;
    settings.recording.keyFrameSize = KeyFrameSize;
    settings.recording.frameSize = FrameSize;
    settings.recording.events.clear();
    settings.recording.textIns.clear();
    return settings;
}

// What one site's playback must deliver: frames, frame bytes (header and data),
// bytes on the wire, and the checksum of every data byte.
struct Expected {
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t wireBytes = 0;
    uint64_t sum = 0;
};

Expected expectedOf(const SiteServer& site, int seconds) {
    Expected expected;
    std::vector<uint8_t> payload;
    const SyntheticRecording& recording = site.recording();
    const auto spans = recording.spans(0);
    for (int second = 0; second < seconds; ++second) {
        for (int tick = 0; tick < FrameRate; ++tick) {
            for (const RecordingItem& item : recording.tickItems(spans[0], second, tick, 0xFFFFFFFF)) {
                recording.payload(item, payload);
                ++expected.frames;
                expected.bytes += MediaFrame::HeaderSize + payload.size();
                const uint64_t packetPayload = 1 + 12 + MediaFrame::HeaderSize + payload.size();
                expected.wireBytes += 8 + (packetPayload + 3) / 4 * 4;
                expected.sum += checksum(payload.data(), payload.size());
            }
        }
    }
    return expected;
}


int connectTo(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("connect failed");
    }
    return fd;
}

// Sits between a playback client and a simulated site on loopback and passes
// everything through, except that from the first media frame on it keeps the
// site's packets until the playback's stop notice, and sends them all only
// when released: the client then receives the whole stream as fast as loopback
// and the client allow.
class StagingRelay {
public:
    explicit StagingRelay(uint16_t sitePort) : _sitePort(sitePort) {
        _listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(_listener, 1) != 0) {
            throw std::runtime_error("relay cannot listen");
        }
        socklen_t length = sizeof address;
        ::getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length);
        _port = ntohs(address.sin_port);
        _accept = std::thread([this] { acceptAndRelay(); });
    }

    ~StagingRelay() {
        release();
        ::shutdown(_listener, SHUT_RDWR);
        ::close(_listener);
        if (_accept.joinable()) {
            _accept.join();
        }
        closeBoth();
        if (_upstream.joinable()) {
            _upstream.join();
        }
        if (_downstream.joinable()) {
            _downstream.join();
        }
    }

    uint16_t port() const { return _port; }

    // Waits until the whole playback stream is kept.
    bool waitStaged() {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, std::chrono::seconds(300), [&] { return _staged; });
    }
    uint64_t stagedBytes() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _stage.size();
    }
    void release() {
        std::lock_guard<std::mutex> lock(_mutex);
        _released = true;
        _changed.notify_all();
    }

private:
    static bool sendAll(int fd, const uint8_t* data, size_t length) {
        while (length > 0) {
            const ssize_t n = ::send(fd, data, std::min<size_t>(length, 1 << 20), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            data += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    void closeBoth() {
        if (_client >= 0) {
            ::shutdown(_client, SHUT_RDWR);
        }
        if (_site >= 0) {
            ::shutdown(_site, SHUT_RDWR);
        }
    }

    void acceptAndRelay() {
        _client = ::accept(_listener, nullptr, nullptr);
        if (_client < 0) {
            return;
        }
        _site = connectTo(_sitePort);
        _upstream = std::thread([this] {
            std::vector<uint8_t> buffer(64 * 1024);
            for (ssize_t n; (n = ::recv(_client, buffer.data(), buffer.size(), 0)) > 0;) {
                if (!sendAll(_site, buffer.data(), static_cast<size_t>(n))) {
                    break;
                }
            }
            closeBoth();
        });
        _downstream = std::thread([this] { relayDownstream(); });
    }

    // Cuts the site's stream into packets: passes them on, except the playback's.
    void relayDownstream() {
        std::vector<uint8_t> pending;
        std::vector<uint8_t> buffer(1 << 20);
        bool staging = false;
        for (ssize_t n; (n = ::recv(_site, buffer.data(), buffer.size(), 0)) > 0;) {
            pending.insert(pending.end(), buffer.begin(), buffer.begin() + n);
            size_t offset = 0;
            while (pending.size() - offset >= 8) {
                const uint8_t* header = pending.data() + offset;
                const uint16_t type = static_cast<uint16_t>(header[2] << 8 | header[3]);
                const uint32_t size = static_cast<uint32_t>(header[4]) << 24 | header[5] << 16 | header[6] << 8 |
                                      header[7];
                if (pending.size() - offset < 8 + size) {
                    break;
                }
                staging = staging || type == 517;
                if (staging) {
                    std::lock_guard<std::mutex> lock(_mutex);
                    _stage.insert(_stage.end(), header, header + 8 + size);
                } else if (!sendAll(_client, header, 8 + size)) {
                    return;
                }
                offset += 8 + size;
                if (staging && type == 519) {
                    staging = false;
                    if (!flushStage()) {
                        return;
                    }
                }
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(offset));
        }
        closeBoth();
    }

    bool flushStage() {
        std::unique_lock<std::mutex> lock(_mutex);
        _staged = true;
        _changed.notify_all();
        _changed.wait(lock, [&] { return _released; });
        std::vector<uint8_t> stage;
        stage.swap(_stage);
        lock.unlock();
        return sendAll(_client, stage.data(), stage.size());
    }

    uint16_t _sitePort;
    uint16_t _port = 0;
    int _listener = -1;
    int _client = -1;
    int _site = -1;
    std::thread _accept;
    std::thread _upstream;
    std::thread _downstream;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<uint8_t> _stage;
    bool _staged = false;
    bool _released = false;
};

// One second of the recording as packets on the wire: 16 frames per tick, key
// frames on the first tick of each group.
std::vector<uint8_t> secondOfPackets() {
    std::vector<uint8_t> packets;
    for (int tick = 0; tick < FrameRate; ++tick) {
        for (int channel = 0; channel < Channels; ++channel) {
            const uint32_t data = tick % Gop == 0 ? KeyFrameSize : FrameSize;
            const uint32_t payload = (1 + 12 + MediaFrame::HeaderSize + data + 3) / 4 * 4;
            const uint8_t header[8] = {0x06, 0x17, 0x02, 0x05, static_cast<uint8_t>(payload >> 24),
                                       static_cast<uint8_t>(payload >> 16), static_cast<uint8_t>(payload >> 8),
                                       static_cast<uint8_t>(payload)};
            packets.insert(packets.end(), header, header + 8);
            packets.resize(packets.size() + payload, 0x5A);
        }
    }
    return packets;
}

// Bytes a second through a plain loopback socket pair carrying `total` bytes of
// such packets. The reader either takes whatever is there (up to 1 MB a call,
// blocking) or, like a session, reads each packet's 8-byte header and then
// exactly its payload (non-blocking, waiting in poll when nothing is there).
struct Reference {
    double rate = 0;           // bytes a second
    double receiverCpu = 0;    // seconds on a CPU of the reading thread
};

Reference rawLoopback(uint64_t total, bool packetByPacket) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::vector<uint8_t> second = secondOfPackets();
    std::thread sender([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        for (uint64_t sent = 0; sent < total;) {
            const uint64_t offset = sent % second.size();
            const size_t chunk = static_cast<size_t>(
                std::min<uint64_t>({uint64_t{256 * 1024}, second.size() - offset, total - sent}));
            const ssize_t n = ::send(fd, second.data() + offset, chunk, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<uint64_t>(n);
        }
        ::close(fd);
    });
    const int fd = connectTo(ntohs(address.sin_port));
    if (packetByPacket) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    std::vector<uint8_t> buffer(1 << 20);
    const auto start = SteadyClock::now();
    const uint64_t cpuStart = callingThreadCpuNanoseconds();
    uint64_t received = 0;
    size_t wanted = 8;
    size_t have = 0;
    bool header = true;
    while (true) {
        const size_t ask = packetByPacket ? wanted - have : buffer.size();
        const ssize_t n = ::recv(fd, buffer.data() + (packetByPacket ? have : 0), ask, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd readable{fd, POLLIN, 0};
            ::poll(&readable, 1, 100);
            continue;
        }
        if (n <= 0) {
            break;
        }
        received += static_cast<uint64_t>(n);
        if (packetByPacket && (have += static_cast<size_t>(n)) == wanted) {
            wanted = header ? (static_cast<size_t>(buffer[4]) << 24 | buffer[5] << 16 | buffer[6] << 8 | buffer[7])
                            : 8;
            header = !header;
            have = 0;
        }
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    const double cpu = (callingThreadCpuNanoseconds() - cpuStart) / 1e9;
    sender.join();
    ::close(fd);
    ::close(listener);
    return {received / seconds, cpu};
}

struct Measurement {
    double seconds = 0;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t wireBytes = 0;
    bool complete = false;
    // Seconds on a CPU of the context's network thread and media dispatcher.
    double networkCpu = 0;
    double mediaCpu = 0;
};

// Plays the whole recording of `sites` sites at once, live or staged.
Measurement playAll(int sites, int seconds, bool staged) {
    auto context = NetworkPlaybackContext::create();
    std::vector<std::unique_ptr<SiteServer>> servers;
    std::vector<std::unique_ptr<CountingListener>> listeners;
    std::vector<std::unique_ptr<NetworkPlaybackClient>> clients;
    std::vector<std::unique_ptr<StagingRelay>> relays;
    for (int i = 0; i < sites; ++i) {
        servers.push_back(std::make_unique<SiteServer>(benchSite(seconds)));
        uint16_t port = servers.back()->start();
        if (staged) {
            relays.push_back(std::make_unique<StagingRelay>(port));
            port = relays.back()->port();
        }
        listeners.push_back(std::make_unique<CountingListener>());
        clients.push_back(std::make_unique<NetworkPlaybackClient>(context));
        clients.back()->start(PlaybackClient::ArchivingQueueSize, listeners.back().get());
        if (clients.back()->connect("127.0.0.1", port, "admin", "admin") < 0 ||
            !listeners.back()->wait(listeners.back()->connected)) {
            throw std::runtime_error("could not log in to a simulated site");
        }
    }
    const Interval range(servers[0]->settings().recording.sections[0].from,
                         servers[0]->settings().recording.sections[0].to);
    auto start = SteadyClock::now();
    for (auto& client : clients) {
        client->play(PlayRequest::play(range, BitMask32(BitMask32::AllBits), PlayRequest::Forward, 1, 3));
    }
    if (staged) {
        for (auto& relay : relays) {
            if (!relay->waitStaged()) {
                throw std::runtime_error("a relay did not receive the whole playback");
            }
        }
        start = SteadyClock::now();
        for (auto& relay : relays) {
            relay->release();
        }
    }
    const uint64_t networkCpuStart = threadCpuNanoseconds("NetworkPlayback");
    const uint64_t mediaCpuStart = threadCpuNanoseconds("MediaDispatcher");
    for (auto& listener : listeners) {
        if (!listener->wait(listener->stopped)) {
            throw std::runtime_error("a playback did not end");
        }
    }
    Measurement measurement;
    measurement.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    measurement.networkCpu = (threadCpuNanoseconds("NetworkPlayback") - networkCpuStart) / 1e9;
    measurement.mediaCpu = (threadCpuNanoseconds("MediaDispatcher") - mediaCpuStart) / 1e9;

    const Expected expected = expectedOf(*servers[0], seconds);
    measurement.complete = true;
    for (auto& listener : listeners) {
        measurement.frames += listener->frames;
        measurement.bytes += listener->bytes;
        measurement.complete = measurement.complete && listener->frames == expected.frames &&
                               listener->sum == expected.sum && listener->stopReason == 2;
    }
    measurement.wireBytes = expected.wireBytes * static_cast<uint64_t>(sites);
    for (auto& client : clients) {
        client->shutdown();
    }
    context->stopAll();
    relays.clear();
    for (auto& server : servers) {
        server->stop();
    }
    return measurement;
}

// Five, so that a machine shared with other work still gives one undisturbed run of each.
constexpr int Repeats = 5;

// The best of a few runs of each, interleaved, so that a busy machine disturbs
// both figures alike. Prints them; returns the delivered wire rate relative to
// the plain loopback reference (0 when a frame was lost or damaged).
double compare(int sites, int seconds, bool staged) {
    Measurement best;
    Reference reference;
    Reference packetReference;
    bool complete = true;
    for (int i = 0; i < Repeats; ++i) {
        const Measurement m = playAll(sites, seconds, staged);
        complete = complete && m.complete;
        if (best.seconds == 0 || m.seconds < best.seconds) {
            best = m;
        }
        const Reference plain = rawLoopback(m.wireBytes, false);
        if (plain.rate > reference.rate) {
            reference = plain;
        }
        const Reference packets = rawLoopback(m.wireBytes, true);
        if (packets.rate > packetReference.rate) {
            packetReference = packets;
        }
    }
    const double megabytes = best.wireBytes / 1e6;
    const double wireRate = best.wireBytes / best.seconds;
    std::printf("%s, %d site%s x %d s of %d channels at %d fps: %llu frames, %.1f MB in %.2f s (best of %d)%s\n",
                staged ? "staged" : "live", sites, sites == 1 ? "" : "s", seconds, Channels, FrameRate,
                static_cast<unsigned long long>(best.frames), best.bytes / 1e6, best.seconds, Repeats,
                complete ? ", every frame intact" : "  ** FRAMES LOST OR DAMAGED **");
    std::printf("  delivered to listeners:    %8.1f MB/s  %9.0f frames/s  (%.1f MB/s on the wire)\n",
                best.bytes / best.seconds / 1e6, best.frames / best.seconds, wireRate / 1e6);
    std::printf("  reference loopback:        %8.1f MB/s  plain blocking TCP pair, the same bytes\n",
                reference.rate / 1e6);
    std::printf("  packet-by-packet loopback: %8.1f MB/s  the same bytes read header, then payload\n",
                packetReference.rate / 1e6);
    std::printf("  ratio to the reference: %.2f   to packet-by-packet reading: %.2f\n", wireRate / reference.rate,
                wireRate / packetReference.rate);
    std::printf("  CPU per GB on the wire: network thread %.0f ms, media dispatcher %.0f ms; "
                "reference reader %.0f ms, packet-by-packet reader %.0f ms\n",
                best.networkCpu * 1000 / (megabytes / 1000), best.mediaCpu * 1000 / (megabytes / 1000),
                reference.receiverCpu * 1000 / (megabytes / 1000),
                packetReference.receiverCpu * 1000 / (megabytes / 1000));
    return complete ? wireRate / reference.rate : 0.0;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    try {
        const double live = compare(1, seconds, false);
        const double single = compare(1, seconds, true);
        compare(8, std::max(1, seconds / 4), false);
        compare(8, std::max(1, seconds / 4), true);
        std::printf("goal: one site, every frame intact: >= 0.50 x the reference; measured staged %.2f, live %.2f\n",
                    single, live);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
