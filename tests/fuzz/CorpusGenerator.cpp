// Writes the seed corpora of the fuzz targets:
//   fuzz_corpus_generator DIR      (DIR is tests/fuzz/corpus)
// fuzz_storage_open: small recorded storage files, fresh, overwritten and
// cut short inside a transaction;
// fuzz_storage_page: each track's first and last page as the page target
// takes them (page choice, flags, the page's own bytes);
// fuzz_packet_reader: every message a site sends, built by the simulated
// site's packet builder, one per seed, and a stream of all of them in pieces.
#include "fuzz/FuzzStorage.h"

#include "network/protocol/CommonMessageType.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/Packet.h"
#include "network/protocol/playback/EventListEntry.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlaybackMessageType.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"
#include "network/protocol/playback/StorageListEntry.h"
#include "network/protocol/playback/TextInEventListEntry.h"
#include "network/protocol/playback/TextInFrame.h"
#include "ostrel-sitesim/SitePacketBuilder.h"
#include "ostrel-sitesim/SiteSettings.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace ostrel;
using Bytes = std::vector<std::uint8_t>;

namespace {

void save(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::printf("%s/%s %zu bytes\n", dir.string().c_str(), name.c_str(), bytes.size());
}

void storageOpenSeeds(const fs::path& dir) {
    save(dir, "fresh", fuzz::recordedImage(14, false).bytes);
    save(dir, "overwritten", fuzz::recordedImage(14, true).bytes);
    save(dir, "torn", fuzz::recordedImage(14, false, true).bytes);
}

// A page type's four characters without the padding blanks.
std::string trackName(const char* type) {
    std::string name(type);
    while (!name.empty() && name.back() == ' ') {
        name.pop_back();
    }
    return name;
}

void storagePageSeeds(const fs::path& dir) {
    // The images the target builds (same shape, same page order): fresh,
    // overwritten (flag 8) and torn (flag 16).
    for (const unsigned variant : {0u, 8u, 16u}) {
        const fuzz::StorageImage image = fuzz::recordedImage(24, variant == 8, variant == 16);
        const std::string prefix = variant == 0 ? "fresh-" : variant == 8 ? "overwritten-" : "torn-";
        for (std::size_t i = 0; i < image.pages.size(); ++i) {
            const std::string type = trackName(image.pages[i].type);
            const bool firstOfTrack = i == 0 || type != trackName(image.pages[i - 1].type);
            const bool lastOfTrack = i + 1 == image.pages.size() || type != trackName(image.pages[i + 1].type);
            if (!firstOfTrack && !lastOfTrack) {
                continue;
            }
            // The other tracks look the same in every image.
            if ((variant == 8 && type != "MDEA" && type != "TIML") || (variant == 16 && type != "JNAL")) {
                continue;
            }
            Bytes seed{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(1 | 2 | variant)};
            const std::uint8_t* page = image.bytes.data() + image.pageOffset(image.pages[i].number);
            seed.insert(seed.end(), page, page + fuzz::ImagePageSize);
            // Trailing zero bytes change nothing the target writes over a
            // page; leave them out to keep the seeds small.
            while (seed.size() > 2 + 128 && seed.back() == 0) {
                seed.pop_back();
            }
            save(dir, prefix + std::to_string(i) + "-" + type, seed);
        }
        if (variant == 0) {
            Bytes seed{static_cast<std::uint8_t>(image.pages.size()), 1};
            seed.insert(seed.end(), image.bytes.begin(), image.bytes.begin() + 4096);
            while (seed.size() > 2 + 128 && seed.back() == 0) {
                seed.pop_back();
            }
            save(dir, "superblock", seed);
        }
    }
}

Bytes packetBytes(const std::function<void(Packet&)>& build) {
    Packet packet;
    build(packet);
    Bytes bytes(static_cast<std::size_t>(packet.limit()));
    for (int i = 0; i < packet.limit(); ++i) {
        bytes[static_cast<std::size_t>(i)] = packet.get(i);
    }
    return bytes;
}

void packetSeeds(const fs::path& dir) {
    const DateTime ten(2024, 1, 1, 10, 0, 0);
    const DateTime eleven(2024, 1, 1, 11, 0, 0);
    const Bytes data = {'f', 'r', 'a', 'm', 'e', 0, 1, 2, 3};
    std::vector<std::pair<std::string, Bytes>> packets = {
        {"sync", packetBytes([](Packet& p) {
             SiteSettings settings;
             SitePacketBuilder::sync(p, settings, EncryptionKey({1, 2, 3, 4}));
         })},
        {"login", packetBytes([](Packet& p) { SitePacketBuilder::loginResponse(p, LoginResult{LoginResult::Success, 7, 9}); })},
        {"fin", packetBytes([](Packet& p) { SitePacketBuilder::fin(p, 7, "bye", 1); })},
        {"unknown", packetBytes([](Packet& p) { SitePacketBuilder::unknownType(p, 600); })},
        {"channelfull", packetBytes([](Packet& p) { SitePacketBuilder::channelFull(p); })},
        {"calendar", packetBytes([](Packet& p) {
             SitePacketBuilder::calendar(p, PLAYBACK_MESSAGE_RECORDING_CALENDAR,
                                         {Date(2024, 1, 1), Date(2024, 1, 2)});
         })},
        {"eventcalendar", packetBytes([](Packet& p) {
             SitePacketBuilder::calendar(p, PLAYBACK_MESSAGE_EVENT_CALENDAR, {Date(2024, 1, 1)});
         })},
        {"timetable", packetBytes([&](Packet& p) {
             SitePacketBuilder::timeTable(p, {RecordingTimeTableEntry(9, Interval(ten, eleven), BitMask32(1)),
                                              RecordingTimeTableEntry(4, Interval(ten, eleven), BitMask32(6))});
         })},
        {"events", packetBytes([&](Packet& p) {
             SitePacketBuilder::eventList(p, true,
                                          {EventListEntry(2, 0, BitMask32(1), ten, 77, MediaPosition(1, 5, 0)),
                                           EventListEntry(0, 1, BitMask32(2), eleven, 78, MediaPosition(1, 9, 2))});
         })},
        {"sections", packetBytes([&](Packet& p) {
             SitePacketBuilder::sectionList(p, BitMask32(15), Interval(ten, eleven), {1, 2, 3});
         })},
        {"frame", packetBytes([&](Packet& p) {
             MediaFrame frame;
             frame.setMediaType(MediaFrame::Video);
             frame.setGopID(7);
             frame.setChannelMask(BitMask32(1u << 3));
             frame.setDataSize(5);
             frame.setExtraSize(4);
             frame.setMediaID(42);
             frame.setTime(eleven);
             frame.setData(data.data());
             SitePacketBuilder::mediaFrame(p, true, MediaPosition(3, 60, 4), frame);
         })},
        {"textin", packetBytes([&](Packet& p) {
             TextInFrame frame;
             frame.setChannelMask(BitMask32(1u << 2));
             frame.setMediaID(99);
             frame.setTime(ten);
             frame.setText("RECEIPT 1");
             frame.setFlags(BitMask32(6));
             SitePacketBuilder::textInFrame(p, MediaPosition(1, 3, 40), frame);
         })},
        {"stopped", packetBytes([](Packet& p) { SitePacketBuilder::playbackStopped(p, 3); })},
        // The simulated site does not send these two; built as the protocol lays them out.
        {"textinevents", packetBytes([&](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_TEXT_IN_EVENT_LIST);
             p.putBool(true);
             p.putBool(false);
             p.putInt(0);
             p.putInt(1);
             TextInEventListEntry(99, 0, ten, 0, 0, BitMask32(4), "RECEIPT").write(p);
             p.finish(true);
         })},
        {"storages", packetBytes([](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_STORAGE_LIST);
             p.putBool(true);
             p.putInt(2);
             StorageListEntry(1, "first disk").write(p);
             StorageListEntry(2, "second disk").write(p);
             p.finish(true);
         })},
        {"storagechanged", packetBytes([](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_STORAGE_CHANGE);
             p.finish(true);
         })},
        {"alivecheck", packetBytes([](Packet& p) {
             p.begin(COMMON_MESSAGE_ALIVE_CHECK);
             p.putBool(true);
             p.finish(true);
         })},
    };
    Bytes all{7}; // the whole conversation, arriving in pieces of 7 bytes
    for (const auto& [name, bytes] : packets) {
        Bytes seed{0};
        seed.insert(seed.end(), bytes.begin(), bytes.end());
        save(dir, name, seed);
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    save(dir, "conversation", all);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR (tests/fuzz/corpus)\n", argv[0]);
        return 2;
    }
    const fs::path top(argv[1]);
    storageOpenSeeds(top / "fuzz_storage_open");
    storagePageSeeds(top / "fuzz_storage_page");
    packetSeeds(top / "fuzz_packet_reader");
    return 0;
}
