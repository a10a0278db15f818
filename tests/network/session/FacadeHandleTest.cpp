#include "network/protocol/HandleMap.h"
#include "network/session/CloseReason.h"
#include "network/session/SelectDispatcher.h"
#include "network/support/LoopbackServer.h"
#include "network/support/RecordingFacade.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <vector>

namespace ostrel {
namespace {

using test::LoopbackServer;
using test::RecordingFacade;

// Kept the first test of this program: the handle counter is process-wide.
TEST(FacadeHandleTest, HandlesStartAt1000AndAHundredAndFirstConnectFindsNoSession) {
    LoopbackServer server;
    SelectDispatcher dispatcher(100, "FacadeHandleTest Dispatcher");
    RecordingFacade facade(100, dispatcher);
    facade.start();
    std::vector<std::unique_ptr<SocketChannel>> peers;
    for (int i = 0; i < 100; ++i) {
        const int handle = facade.connect("127.0.0.1", server.port(), "user", "password");
        ASSERT_EQ(handle, 1000 + i);
        peers.push_back(server.accept());
        ASSERT_NE(peers.back(), nullptr);
    }
    EXPECT_EQ(facade.connect("127.0.0.1", server.port(), "user", "password"), -1);

    // The site drops handle 1010 after reading its sync (closing with unread
    // data would reset the connection instead: reason 109).
    ASSERT_EQ(LoopbackServer::readBytes(*peers[10], 20).size(), 20u);
    peers[10]->close();
    ASSERT_TRUE(facade.waitFor("disconnected 1010 102", 10000)) << [&] {
        std::string all;
        for (const auto& e : facade.events()) {
            all += e + "; ";
        }
        return all;
    }();
    int handle = -1;
    for (int i = 0; i < 500 && handle < 0; ++i) { // freed right after the callback
        handle = facade.connect("127.0.0.1", server.port(), "user", "password");
        if (handle < 0) {
            facade.waitFor("never", 2);
        }
    }
    EXPECT_EQ(handle, 1100) << "handles are not reused";
    facade.stop();
    EXPECT_EQ(facade.count("disconnected"), 101) << "stopping reports every open session (201)";
    EXPECT_EQ(facade.count("disconnected 1050 201"), 1);
}

TEST(HandleMapTest, TableSizeFollowsTheNextPrime) {
    EXPECT_EQ(HandleMap(100).tableSize(), 4 * (101 + 1) - 1);
    EXPECT_EQ(HandleMap(4).tableSize(), 4 * (5 + 1) - 1);
    EXPECT_EQ(HandleMap(1).tableSize(), 4 * (2 + 1) - 1);
}

TEST(HandleMapTest, MapsBothWaysAndRefusesDuplicates) {
    HandleMap map(4);
    EXPECT_TRUE(map.map(1000, 2));
    EXPECT_FALSE(map.map(1000, 3)) << "handle already mapped";
    EXPECT_FALSE(map.map(1001, 2)) << "channel already has a handle";
    EXPECT_FALSE(map.map(1002, 4)) << "no such channel";
    EXPECT_EQ(map.channelOf(1000), 2);
    EXPECT_EQ(map.handleOf(2), 1000);
    EXPECT_EQ(map.channelOf(1001), -1);
    EXPECT_EQ(map.handleOf(3), -1);
    EXPECT_TRUE(map.unmap(1000));
    EXPECT_FALSE(map.unmap(1000));
    EXPECT_EQ(map.handleOf(2), -1);
}

TEST(HandleMapTest, ProbeRunsSurviveRemovalsInAnyOrder) {
    // Handles that share home slots (size 23 for 4 channels... use a bigger map) and wrap around the end.
    HandleMap map(10);
    const int size = map.tableSize();
    std::mt19937 random(5);
    for (int round = 0; round < 2000; ++round) {
        std::set<int> mapped;
        std::vector<int> channels(10, -1);
        for (int step = 0; step < 40; ++step) {
            if (random() % 2 == 0 && mapped.size() < 10) {
                // Keys clustered on a few home slots near the table's end.
                const int handle = static_cast<int>(size - 2 + (random() % 3) + size * (random() % 50));
                int channel = 0;
                while (channels[static_cast<size_t>(channel)] >= 0) {
                    ++channel;
                }
                if (mapped.count(handle) == 0) {
                    ASSERT_TRUE(map.map(handle, channel));
                    mapped.insert(handle);
                    channels[static_cast<size_t>(channel)] = handle;
                }
            } else if (!mapped.empty()) {
                auto it = mapped.begin();
                std::advance(it, static_cast<long>(random() % mapped.size()));
                const int channel = map.channelOf(*it);
                ASSERT_GE(channel, 0);
                ASSERT_TRUE(map.unmap(*it));
                channels[static_cast<size_t>(channel)] = -1;
                mapped.erase(it);
            }
            for (int handle : mapped) {
                const int channel = map.channelOf(handle);
                ASSERT_GE(channel, 0) << "lost " << handle;
                ASSERT_EQ(map.handleOf(channel), handle);
            }
            ASSERT_EQ(map.count(), static_cast<int>(mapped.size()));
        }
        for (int handle : std::set<int>(mapped)) {
            map.unmap(handle);
        }
    }
}

} // namespace
} // namespace ostrel
