// Every parser of the session layer fed truncated, oversized and random
// payloads: each must either succeed or raise ByteBufferException, and never
// read outside the received bytes (the sanitizer build checks the latter: the
// structures read from buffers that wrap heap blocks of exactly the payload's
// size).
#include "base/ByteBufferException.h"
#include "network/protocol/ClientPacketAnalyzer.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/FinOption.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/NewAliveCheckOption.h"
#include "network/protocol/Packet.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/Protocol.h"
#include "network/protocol/RemoteOemInfo.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/RequestOptionList.h"
#include "network/protocol/SyncOptionList.h"
#include "network/support/PacketBytes.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

// A structure parser reading from a buffer.
struct StructParser {
    std::string name;
    std::function<std::unique_ptr<INetStruct>()> make;
    Bytes valid; // a complete, valid body
};

Bytes bodyOf(const INetStruct& structure) {
    Packet packet;
    packet.begin(1);
    structure.write(packet);
    packet.finish(false);
    const Bytes bytes = test::bytesOf(packet);
    return Bytes(bytes.begin() + Packet::HeaderSize, bytes.end());
}

std::vector<StructParser> structParsers() {
    ProfileList profiles;
    profiles.add({2, 1, true});
    profiles.add({3, 4, false});
    RemoteSystemInfo system;
    system.setCounts(1, 2, 3, 4, 5);
    system.setName("front door");
    RequestOptionList request;
    request.add(1);
    request.add(5);
    ProfileList profileReader;
    SyncOptionList options;
    options.add(profiles);
    options.add(NewAliveCheckOption::instance());
    return {
        {"Protocol", [] { return std::make_unique<Protocol>(); }, bodyOf(Protocol::local())},
        {"ProfileList", [] { return std::make_unique<ProfileList>(); }, bodyOf(profiles)},
        {"ProductInfo", [] { return std::make_unique<ProductInfo>(); }, bodyOf(ProductInfo(1, 203, "Box", "3.0"))},
        {"RemoteOemInfo", [] { return std::make_unique<RemoteOemInfo>(); }, bodyOf(RemoteOemInfo(true, "x"))},
        {"EncryptionKey", [] { return std::make_unique<EncryptionKey>(); }, bodyOf(EncryptionKey({1, 2, 3, 4}))},
        {"RemoteSystemInfo", [] { return std::make_unique<RemoteSystemInfo>(); }, bodyOf(system)},
        {"RequestOptionList", [] { return std::make_unique<RequestOptionList>(); }, bodyOf(request)},
        {"FinOption", [] { return std::make_unique<FinOption>(); }, bodyOf(FinOption(1, "bye", 7))},
        {"SyncOptionList",
         [] {
             struct Reader : SyncOptionList {
                 ProfileList profiles;
                 ProductInfo product;
                 Reader() {
                     add(profiles);
                     add(product);
                 }
             };
             return std::make_unique<Reader>();
         },
         bodyOf(options)},
    };
}

// Parses `bytes` from a heap block of exactly that size; returns the
// ByteBufferException code, or -1 on success.
int parseExact(const StructParser& parser, const Bytes& bytes) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), block.get());
    ByteBuffer buffer(bytes.empty() ? nullptr : block.get(), static_cast<int>(bytes.size()));
    buffer.order(BigEndian);
    auto structure = parser.make();
    try {
        structure->read(buffer);
    } catch (const ByteBufferException& e) {
        EXPECT_LE(buffer.position(), buffer.limit());
        return e.code();
    }
    EXPECT_LE(buffer.position(), buffer.limit());
    return -1;
}

TEST(MalformedPacketTest, EveryTruncatedStructureUnderflows) {
    for (const StructParser& parser : structParsers()) {
        EXPECT_EQ(parseExact(parser, parser.valid), -1) << parser.name;
        for (size_t length = 0; length < parser.valid.size(); ++length) {
            const Bytes prefix(parser.valid.begin(), parser.valid.begin() + static_cast<long>(length));
            const int code = parseExact(parser, prefix);
            if (parser.name == "SyncOptionList" && (length == 0 || length == 10)) {
                EXPECT_EQ(code, -1) << "a list cut between two options is complete";
                continue;
            }
            EXPECT_TRUE(code == ByteBufferException::Underflow || code == ByteBufferException::IllegalArgument)
                << parser.name << " cut to " << length << " bytes gave " << code;
        }
    }
}

TEST(MalformedPacketTest, OversizedCountsAndBadTerminators) {
    const struct {
        const char* parser;
        Bytes bytes;
        int code;
    } cases[] = {
        {"ProfileList", {255, 2, 1, 1}, ByteBufferException::Underflow},
        {"ProductInfo", {1, 0, 0, 0, 203, 0xFF, 0xFF, 'a', 0}, ByteBufferException::Underflow},
        {"ProductInfo", {1, 0, 0, 0, 203, 0, 1, 'a', 'b', 0, 0, 0}, ByteBufferException::IllegalArgument},
        {"RemoteOemInfo", {0, 0, 0, 1, 0, 2, 'a', 'b', 'c'}, ByteBufferException::IllegalArgument},
        {"RequestOptionList", {200, 1, 2}, ByteBufferException::Underflow},
        {"FinOption", {1, 0, 3, 'a', 'b', 'c', 0}, ByteBufferException::Underflow},
        {"SyncOptionList", {9, 0xFF, 0xFF, 1}, ByteBufferException::IllegalArgument},
        {"SyncOptionList", {1, 0, 4, 5, 2, 1}, ByteBufferException::Underflow},
    };
    const auto parsers = structParsers();
    for (const auto& c : cases) {
        const StructParser* parser = nullptr;
        for (const auto& p : parsers) {
            if (p.name == c.parser) {
                parser = &p;
            }
        }
        ASSERT_NE(parser, nullptr);
        EXPECT_EQ(parseExact(*parser, c.bytes), c.code) << c.parser;
    }
}

TEST(MalformedPacketTest, RandomBodiesNeverEscapeTheBuffer) {
    std::mt19937 random(20240611);
    const auto parsers = structParsers();
    for (int round = 0; round < 4000; ++round) {
        Bytes bytes(random() % 48);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        if (round % 3 == 0 && bytes.size() > 2) {
            bytes[0] = static_cast<uint8_t>(random() % 4); // small counts and lengths make deeper parses
            bytes[1] = 0;
        }
        for (const StructParser& parser : parsers) {
            const int code = parseExact(parser, bytes);
            EXPECT_TRUE(code == -1 || code == ByteBufferException::Underflow ||
                        code == ByteBufferException::IllegalArgument)
                << parser.name << " gave " << code;
        }
    }
}

// The packet parsers: each starts with payload() on a received packet.
struct PacketParser {
    const char* name;
    std::function<void(Packet&)> parse;
};

std::vector<PacketParser> packetParsers() {
    return {
        {"parseSync",
         [](Packet& packet) {
             ProfileList profiles;
             ProductInfo product;
             RemoteOemInfo oem;
             RemoteSystemInfo system;
             EncryptionKey key;
             bool newAliveCheck = false;
             ClientPacketAnalyzer().parseSync(packet, profiles, product, oem, system, key, newAliveCheck);
         }},
        {"parseLoginResponse",
         [](Packet& packet) {
             LoginResult result;
             ClientPacketAnalyzer().parseLoginResponse(packet, result);
         }},
    };
}

Bytes fullSiteSync() {
    ProfileList profiles;
    profiles.add({2, 0, true});
    ProductInfo product(1, 204, "NR", "2.0");
    RemoteSystemInfo system;
    system.setName("site");
    EncryptionKey key({4, 3, 2, 1});
    RemoteOemInfo oem(false, "o");
    SyncOptionList options;
    options.add(profiles);
    options.add(product);
    options.add(oem);
    options.add(key);
    options.add(system);
    options.add(NewAliveCheckOption::instance());
    Packet packet;
    packet.begin(COMMON_MESSAGE_SYNC);
    Protocol::local().write(packet);
    options.write(packet);
    packet.finish(false);
    const Bytes bytes = test::bytesOf(packet);
    return Bytes(bytes.begin() + Packet::HeaderSize, bytes.end());
}

TEST(MalformedPacketTest, PacketParsersOnTruncatedAndRandomPayloads) {
    const Bytes sync = fullSiteSync();
    const Bytes login = {1, 0, 0, 0, 5, 0, 0, 0, 6};
    std::vector<Bytes> payloads;
    for (const Bytes* valid : {&sync, &login}) {
        for (size_t length = 0; length <= valid->size(); ++length) {
            payloads.emplace_back(valid->begin(), valid->begin() + static_cast<long>(length));
        }
    }
    std::mt19937 random(99);
    for (int round = 0; round < 2000; ++round) {
        Bytes bytes(random() % 64);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        if (round % 2 == 0 && bytes.size() >= 8) {
            std::copy(sync.begin(), sync.begin() + 8, bytes.begin()); // get past the protocol check
        }
        payloads.push_back(bytes);
    }
    int failures = 0;
    for (const Bytes& payload : payloads) {
        for (const PacketParser& parser : packetParsers()) {
            Packet packet = test::packetWith(1, payload);
            try {
                parser.parse(packet);
            } catch (const ByteBufferException& e) {
                ++failures;
                EXPECT_TRUE(e.code() == ByteBufferException::Underflow ||
                            e.code() == ByteBufferException::IllegalArgument)
                    << parser.name << " gave " << e.code();
            }
            EXPECT_LE(packet.position(), packet.limit());
            EXPECT_EQ(packet.limit(), Packet::HeaderSize + static_cast<int>(payload.size())) << parser.name;
        }
    }
    EXPECT_GT(failures, 0);
}

TEST(MalformedPacketTest, EveryStrictPrefixOfTheSiteSyncFailsOrStopsAtAnOptionBoundary) {
    const Bytes sync = fullSiteSync();
    for (size_t length = 0; length < 8; ++length) {
        Packet packet = test::packetWith(1, Bytes(sync.begin(), sync.begin() + static_cast<long>(length)));
        EXPECT_THROW(packetParsers()[0].parse(packet), ByteBufferException) << "protocol cut to " << length;
    }
}

} // namespace
} // namespace ostrel
