// The settings of a simulated site from JSON and from the command line.
#include "ostrel-sitesim/SiteSettingsException.h"
#include "ostrel-sitesim/SiteSettingsReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ostrel {
namespace {

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const SiteSettingsException& e) {
        return e.message();
    }
    return "";
}

TEST(SiteSettingsReaderTest, DefaultRecordingIsValid) {
    SiteSettings settings;
    EXPECT_NO_THROW(settings.validate());
    ASSERT_EQ(settings.recording.sections.size(), 3u);
    EXPECT_EQ(settings.recording.sections[2].to, DateTime(2024, 1, 1, 11, 59, 59));
}

TEST(SiteSettingsReaderTest, JsonAppliesEveryKeyAndRoundTrips) {
    SiteSettings settings;
    SiteSettingsReader::applyJsonText(R"({
        "listen": "0.0.0.0:7001", "user": "u", "password": "p", "name": "lab", "maxConnections": 3,
        "recording": {
            "sections": [{"id": 4, "from": "2023/05/06 07:08:09", "to": "2023/05/06 08:00:00"}],
            "videoChannels": 8, "audioChannels": 0, "frameRate": 30, "gopLength": 15,
            "keyFrameSize": 100, "frameSize": 50, "audioFrameSize": 0, "extraSize": 16,
            "events": [{"every": 0, "offset": 7, "channel": 7, "tick": 29, "type": 31, "subType": 255}],
            "textIns": [{"every": 1, "offset": 0, "channel": 3, "text": "ATM", "flags": 1}],
            "growing": true, "retainSeconds": 600, "anchorToNow": true
        },
        "faults": {"refuseLogin": 4, "disconnectAfterFrames": 12, "silence": true}
    })", settings);
    EXPECT_NO_THROW(settings.validate());
    EXPECT_EQ(settings.listenAddress, "0.0.0.0");
    EXPECT_EQ(settings.port, 7001);
    EXPECT_EQ(settings.maxConnections, 3);
    const RecordingDescription& r = settings.recording;
    ASSERT_EQ(r.sections.size(), 1u);
    EXPECT_EQ(r.sections[0].id, 4u);
    EXPECT_EQ(r.sections[0].from, DateTime(2023, 5, 6, 7, 8, 9));
    EXPECT_EQ(r.frameRate, 30);
    EXPECT_EQ(r.extraSize, 16u);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].tick, 29);
    EXPECT_EQ(r.events[0].subType, 255);
    EXPECT_EQ(r.textIns[0].text, "ATM");
    EXPECT_TRUE(r.growing);
    EXPECT_EQ(r.retainSeconds, 600u);
    EXPECT_EQ(settings.faults.refuseLogin, uint8_t{4});
    EXPECT_EQ(settings.faults.disconnectAfterFrames, uint64_t{12});
    EXPECT_TRUE(settings.faults.silence);

    const std::string text = SiteSettingsReader::toJsonText(settings);
    SiteSettings again;
    SiteSettingsReader::applyJsonText(text, again);
    EXPECT_EQ(SiteSettingsReader::toJsonText(again), text);
}

TEST(SiteSettingsReaderTest, MistakesAreNamed) {
    struct Case {
        std::string json;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {R"({"recording": {"frameRate": 5, "gop": 3}})", "\"gop\""},
        {R"({"lisen": "1.2.3.4:5"})", "\"lisen\""},
        {R"({"recording": {"frameRate": "5"}})", "\"frameRate\" must be an integer"},
        {R"({"recording": {"frameRate": 0}})", "\"frameRate\" must be 1 to 120"},
        {R"({"recording": {"sections": [{"id": 1, "from": "2024/01/01 10:00:00"}]}})", "needs"},
        {R"({"recording": {"sections": [{"id": 1, "from": "2024/13/01 10:00:00", "to": "x"}]}})",
         "YYYY/MM/DD hh:mm:ss"},
        {R"({"faults": {"refuseLogin": 6}})", "\"refuseLogin\" must be 0 to 5"},
        {R"({"listen": "nowhere"})", "ADDR:PORT"},
        {R"([1, 2])", "must be an object"},
        {R"({"user": )", "not valid JSON"},
    };
    for (const Case& c : cases) {
        SiteSettings settings;
        const std::string message = messageOf([&] { SiteSettingsReader::applyJsonText(c.json, settings); });
        EXPECT_NE(message.find(c.expected), std::string::npos) << c.json << " gave: " << message;
    }
}

TEST(SiteSettingsReaderTest, ValidationRefusesRecordingsThatCannotWork) {
    struct Case {
        std::function<void(SiteSettings&)> change;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {[](SiteSettings& s) { s.recording.sections[1].from = DateTime(2024, 1, 1, 10, 9, 59); }, "overlaps"},
        {[](SiteSettings& s) { s.recording.sections[1].id = 1; }, "rise"},
        {[](SiteSettings& s) { s.recording.sections[0].to = DateTime(2023, 1, 1, 0, 0, 0); }, "ends before"},
        {[](SiteSettings& s) { s.recording.events[0].channel = 4; }, "video channel"},
        {[](SiteSettings& s) { s.recording.events[0].tick = 5; }, "tick"},
        {[](SiteSettings& s) { s.recording.textIns[0].text = std::string(51, 'x'); }, "at most 50"},
        {[](SiteSettings& s) {
             s.recording.keyFrameSize = RecordingDescription::MaxFrameData;
             s.recording.extraSize = 1;
         },
         "keyFrameSize + extraSize"},
        {[](SiteSettings& s) { s.user = std::string(17, 'u'); }, "16 characters"},
        {[](SiteSettings& s) { s.faults.refuseLogin = 1; }, "refuseLogin"},
    };
    for (const Case& c : cases) {
        SiteSettings settings;
        c.change(settings);
        EXPECT_NE(messageOf([&] { settings.validate(); }).find(c.expected), std::string::npos) << c.expected;
    }
}

TEST(SiteSettingsReaderTest, CommandLine) {
    SiteSettings settings;
    const auto action = SiteSettingsReader::applyCommandLine(
        {"--listen=127.0.0.1:0", "--section", "1,2024/01/01 10:00:00,2024/01/01 10:00:09", "--section",
         "2,2024/01/01T11:00:00,2024/01/01T11:00:09", "--channels", "2", "--frame-rate=10", "--event", "10,0,1,2,3",
         "--event", "0,5,0,1,0,9", "--text-in", "5,1,0,TOTAL, 12.50", "--growing", "--retain", "30", "--fault",
         "refuse-login=3", "--fault", "disconnect-after=10", "--fault", "channel-full"},
        settings);
    EXPECT_EQ(action, SiteSettingsReader::Action::Run);
    EXPECT_NO_THROW(settings.validate());
    ASSERT_EQ(settings.recording.sections.size(), 2u);
    EXPECT_EQ(settings.recording.sections[1].from, DateTime(2024, 1, 1, 11, 0, 0));
    EXPECT_EQ(settings.recording.videoChannels, 2);
    EXPECT_EQ(settings.recording.frameRate, 10);
    ASSERT_EQ(settings.recording.events.size(), 2u);
    EXPECT_EQ(settings.recording.events[1].tick, 9);
    ASSERT_EQ(settings.recording.textIns.size(), 1u);
    EXPECT_EQ(settings.recording.textIns[0].text, "TOTAL, 12.50");
    EXPECT_TRUE(settings.recording.growing);
    EXPECT_EQ(settings.recording.retainSeconds, 30u);
    EXPECT_EQ(settings.faults.refuseLogin, uint8_t{3});
    EXPECT_EQ(settings.faults.disconnectAfterFrames, uint64_t{10});
    EXPECT_TRUE(settings.faults.channelFull);

    EXPECT_EQ(SiteSettingsReader::applyCommandLine({"--help"}, settings), SiteSettingsReader::Action::Help);
    EXPECT_NE(std::string(SiteSettingsReader::helpText()).find("Stop reasons"), std::string::npos);
    const std::string typo = messageOf([&] { SiteSettingsReader::applyCommandLine({"--frame-rat", "5"}, settings); });
    EXPECT_NE(typo.find("--frame-rat"), std::string::npos);
    EXPECT_NE(messageOf([&] { SiteSettingsReader::applyCommandLine({"--gop"}, settings); }).find("needs a value"),
              std::string::npos);
    EXPECT_NE(messageOf([&] { SiteSettingsReader::applyCommandLine({"--gop", "9x"}, settings); }).find("9x"),
              std::string::npos);
    EXPECT_NE(messageOf([&] { SiteSettingsReader::applyCommandLine({"--fault", "loud"}, settings); }).find("loud"),
              std::string::npos);
}

TEST(SiteSettingsReaderTest, ConfigFileOnTheCommandLine) {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("sitesim-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const std::filesystem::path file = directory / "site.json";
    std::ofstream(file) << R"({"recording": {"videoChannels": 9}, "name": "from file"})";
    SiteSettings settings;
    // Later options win over the file.
    SiteSettingsReader::applyCommandLine({"--config", file.string(), "--channels", "3"}, settings);
    EXPECT_EQ(settings.name, "from file");
    EXPECT_EQ(settings.recording.videoChannels, 3);
    std::ofstream(file) << R"({"recording": {"videoChannels": 99}})";
    EXPECT_NE(messageOf([&] { SiteSettingsReader::applyFile(file.string(), settings); }).find("site.json"),
              std::string::npos);
    EXPECT_NE(messageOf([&] { SiteSettingsReader::applyFile((directory / "missing.json").string(), settings); })
                  .find("cannot read"),
              std::string::npos);
    std::filesystem::remove_all(directory);
}

} // namespace
} // namespace ostrel
