#pragma once

#include "network/protocol/ClientFacade.h"
#include "network/protocol/FinOption.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/RemoteSystemInfo.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::test {

// A client facade that writes down its events ("connected 1000",
// "disconnected 1000 313", "loginSucceeded 1000", "loginFailed 1000 4",
// "fin 1000 7", "unknown 1000 600") and keeps what it was given. Like the
// playback facade it accepts a site only when it offers profile type 2.
class RecordingFacade : public ClientFacade {
public:
    using ClientFacade::ClientFacade;
    ~RecordingFacade() override { stop(); }

    void connected(int handle) override { record("connected " + std::to_string(handle)); }
    void disconnected(int handle, int reason) override {
        record("disconnected " + std::to_string(handle) + " " + std::to_string(reason));
    }
    void loginSucceeded(int handle, const LoginResult& result) override {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            lastLogin = result;
        }
        record("loginSucceeded " + std::to_string(handle));
    }
    void loginFailed(int handle, const LoginResult& result) override {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            lastLogin = result;
        }
        record("loginFailed " + std::to_string(handle) + " " + std::to_string(result.code));
    }
    void remoteSystemInfoReceived(int, const RemoteSystemInfo& info) override {
        std::lock_guard<std::mutex> lock(_mutex);
        systemInfo = info;
    }
    void productInfoReceived(int, const ProductInfo& info) override {
        std::lock_guard<std::mutex> lock(_mutex);
        productInfo = info;
    }
    bool profileListAcceptable(const ProfileList& list) override { return list.contains(ProfileList::PlaybackProfile); }
    void finReceived(int handle, const FinOption& option) override {
        record("fin " + std::to_string(handle) + " " + std::to_string(option.code()));
    }
    void unknownPacketReceived(int handle, Packet& packet) override {
        std::vector<uint8_t> payload(packet.payloadSize());
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = packet.get(Packet::HeaderSize + static_cast<int>(i));
        }
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _unknownPayloads.push_back(std::move(payload));
        }
        record("unknown " + std::to_string(handle) + " " + std::to_string(packet.type()));
        ClientFacade::unknownPacketReceived(handle, packet);
    }
    // The payloads of the unknown packets received, in order.
    std::vector<std::vector<uint8_t>> unknownPayloads() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _unknownPayloads;
    }

    bool waitFor(const std::string& event, int timeoutMilliseconds = 5000) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds), [&] {
            for (const auto& e : _events) {
                if (e == event) {
                    return true;
                }
            }
            return false;
        });
    }
    int count(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(_mutex);
        int n = 0;
        for (const auto& e : _events) {
            n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _events;
    }

    LoginResult lastLogin;
    RemoteSystemInfo systemInfo;
    ProductInfo productInfo;

private:
    void record(std::string event) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _events.push_back(std::move(event));
        }
        _changed.notify_all();
    }

    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<std::string> _events;
    std::vector<std::vector<uint8_t>> _unknownPayloads;
};

} // namespace ostrel::test
