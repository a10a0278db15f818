// The build's own smoke check: exercises the foundation library and the packet
// layer end to end on this machine (files, threads, queues, a sync exchange).
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/File.h"
#include "base/UniqueID.h"
#include "base/thread/Thread.h"
#include "network/BlockingRecordQueue.h"
#include "network/protocol/ClientPacketAnalyzer.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/NewAliveCheckOption.h"
#include "network/protocol/Packet.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/RemoteOemInfo.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/SyncOptionList.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(const char* what, bool ok) {
    std::printf("  %-48s %s\n", what, ok ? "ok" : "FAILED");
    if (!ok) {
        ++failures;
    }
}

class Producer : public ostrel::Thread {
public:
    Producer(ostrel::BlockingRecordQueue& queue, int records) : Thread("Smoke producer"), _queue(queue), _records(records) {}
    void run() override {
        for (int i = 0; i < _records; ++i) {
            const std::uint32_t value = static_cast<std::uint32_t>(i);
            if (!_queue.put({{&value, sizeof value}})) {
                return;
            }
        }
    }

private:
    ostrel::BlockingRecordQueue& _queue;
    int _records;
};

} // namespace

int main() {
    using namespace ostrel;
    std::printf("ostrel smoke check (the application itself is not built yet)\n");
    try {
        const DateTime now = DateTime::now();
        check(("local time " + now.toString()).c_str(), now.date().year() >= 2000);

        const std::string path = "/tmp/ostrel-smoke-" + UniqueID().toString();
        File::create(path, 1 << 20);
        check("preallocated 1 MiB file", File::exists(path) && File::size(path) == (1 << 20));
        File::remove(path);
        check("removed it", !File::exists(path));

        BlockingRecordQueue queue(4096);
        constexpr int Records = 10000;
        Producer producer(queue, Records);
        producer.start();
        bool inOrder = true;
        std::vector<std::uint8_t> buffer(16);
        for (int i = 0; i < Records; ++i) {
            const std::size_t n = queue.take(buffer, 5000);
            std::uint32_t value = 0;
            if (n == sizeof value) {
                std::memcpy(&value, buffer.data(), sizeof value);
            }
            if (n != sizeof value || value != static_cast<std::uint32_t>(i)) {
                inOrder = false;
                break;
            }
        }
        queue.close();
        producer.join();
        check("10000 records passed between threads in order", inOrder);

        Packet packet;
        SyncOptionList options;
        options.add(NewAliveCheckOption::instance());
        ClientPacketAnalyzer analyzer;
        analyzer.makeSync(packet, options);
        Packet received;
        received.put(packet.array(), packet.remaining());
        received.flip();
        ProfileList profiles;
        ProductInfo product;
        RemoteOemInfo oem;
        RemoteSystemInfo system;
        EncryptionKey key;
        bool newAliveCheck = false;
        const bool parsed = analyzer.parseSync(received, profiles, product, oem, system, key, newAliveCheck);
        check("sync packet built and parsed back", parsed && newAliveCheck);
    } catch (const Exception& e) {
        std::printf("  failed: %s\n", e.toString().c_str());
        ++failures;
    }
    std::printf(failures == 0 ? "smoke check passed\n" : "smoke check FAILED\n");
    return failures == 0 ? 0 : 1;
}
