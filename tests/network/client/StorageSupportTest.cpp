// Which product versions belong to sites whose storages can be listed.
#include "network/client/NetworkPlaybackClient.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char* version;
    bool supported;
};

class StorageSupportTest : public ::testing::TestWithParam<Case> {};

TEST_P(StorageSupportTest, VersionDecides) {
    EXPECT_EQ(ostrel::NetworkPlaybackClient::supportsStorages(GetParam().version), GetParam().supported)
        << GetParam().version;
}

INSTANTIATE_TEST_SUITE_P(Versions, StorageSupportTest,
                         ::testing::Values(Case{"", false}, Case{"1.1", false}, Case{"1.0.9", false},
                                           Case{"0.9", false}, Case{"1.2", true}, Case{"1.10", true},
                                           Case{"2.0", true}, Case{"2.1", true}, Case{"1", false}, Case{"2", true},
                                           Case{"3.x", true}, Case{"x.y", false}));

} // namespace
