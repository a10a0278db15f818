#include "ostrel-sitesim/SiteSettingsReader.h"

#include "ostrel-sitesim/SiteSettingsException.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>

namespace ostrel {

using nlohmann::json;

namespace {

void refuse(const std::string& message) { throw SiteSettingsException(message); }

int64_t integerOf(const json& value, const std::string& key, int64_t min, int64_t max) {
    if (!value.is_number_integer()) {
        refuse("\"" + key + "\" must be an integer");
    }
    const int64_t n = value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)
                          ? INT64_MAX
                          : value.get<int64_t>();
    if (n < min || n > max) {
        refuse("\"" + key + "\" must be " + std::to_string(min) + " to " + std::to_string(max));
    }
    return n;
}

bool boolOf(const json& value, const std::string& key) {
    if (!value.is_boolean()) {
        refuse("\"" + key + "\" must be true or false");
    }
    return value.get<bool>();
}

std::string stringOf(const json& value, const std::string& key) {
    if (!value.is_string()) {
        refuse("\"" + key + "\" must be a string");
    }
    return value.get<std::string>();
}

const json& objectOf(const json& value, const std::string& key) {
    if (!value.is_object()) {
        refuse("\"" + key + "\" must be an object");
    }
    return value;
}

const json& arrayOf(const json& value, const std::string& key) {
    if (!value.is_array()) {
        refuse("\"" + key + "\" must be an array");
    }
    return value;
}

constexpr int64_t U32 = std::numeric_limits<uint32_t>::max();

SectionDescription sectionOf(const json& value) {
    objectOf(value, "sections[]");
    SectionDescription section;
    bool hasID = false, hasFrom = false, hasTo = false;
    for (const auto& [key, item] : value.items()) {
        if (key == "id") {
            section.id = static_cast<uint32_t>(integerOf(item, "id", 1, (1 << 24) - 1));
            hasID = true;
        } else if (key == "from") {
            section.from = SiteSettingsReader::parseTime(stringOf(item, "from"), "from");
            hasFrom = true;
        } else if (key == "to") {
            section.to = SiteSettingsReader::parseTime(stringOf(item, "to"), "to");
            hasTo = true;
        } else {
            refuse("unknown key \"" + key + "\" in a section");
        }
    }
    if (!hasID || !hasFrom || !hasTo) {
        refuse("a section needs \"id\", \"from\" and \"to\"");
    }
    return section;
}

EventRule eventOf(const json& value) {
    objectOf(value, "events[]");
    EventRule rule;
    for (const auto& [key, item] : value.items()) {
        if (key == "every") {
            rule.every = static_cast<uint32_t>(integerOf(item, key, 0, U32));
        } else if (key == "offset") {
            rule.offset = static_cast<uint32_t>(integerOf(item, key, 0, U32));
        } else if (key == "channel") {
            rule.channel = static_cast<int>(integerOf(item, key, 0, 31));
        } else if (key == "tick") {
            rule.tick = static_cast<int>(integerOf(item, key, 0, 119));
        } else if (key == "type") {
            rule.type = static_cast<uint8_t>(integerOf(item, key, 0, 255));
        } else if (key == "subType") {
            rule.subType = static_cast<uint8_t>(integerOf(item, key, 0, 255));
        } else {
            refuse("unknown key \"" + key + "\" in an event");
        }
    }
    return rule;
}

TextInRule textInOf(const json& value) {
    objectOf(value, "textIns[]");
    TextInRule rule;
    for (const auto& [key, item] : value.items()) {
        if (key == "every") {
            rule.every = static_cast<uint32_t>(integerOf(item, key, 0, U32));
        } else if (key == "offset") {
            rule.offset = static_cast<uint32_t>(integerOf(item, key, 0, U32));
        } else if (key == "channel") {
            rule.channel = static_cast<int>(integerOf(item, key, 0, 31));
        } else if (key == "text") {
            rule.text = stringOf(item, key);
        } else if (key == "flags") {
            rule.flags = static_cast<uint32_t>(integerOf(item, key, 0, U32));
        } else {
            refuse("unknown key \"" + key + "\" in a text-in");
        }
    }
    return rule;
}

void applyRecording(const json& value, RecordingDescription& recording) {
    objectOf(value, "recording");
    for (const auto& [key, item] : value.items()) {
        if (key == "sections") {
            recording.sections.clear();
            for (const json& section : arrayOf(item, key)) {
                recording.sections.push_back(sectionOf(section));
            }
        } else if (key == "events") {
            recording.events.clear();
            for (const json& event : arrayOf(item, key)) {
                recording.events.push_back(eventOf(event));
            }
        } else if (key == "textIns") {
            recording.textIns.clear();
            for (const json& textIn : arrayOf(item, key)) {
                recording.textIns.push_back(textInOf(textIn));
            }
        } else if (key == "videoChannels") {
            recording.videoChannels = static_cast<int>(integerOf(item, key, 1, 32));
        } else if (key == "audioChannels") {
            recording.audioChannels = static_cast<int>(integerOf(item, key, 0, 32));
        } else if (key == "frameRate") {
            recording.frameRate = static_cast<int>(integerOf(item, key, 1, RecordingDescription::MaxFrameRate));
        } else if (key == "gopLength") {
            recording.gopLength = static_cast<int>(integerOf(item, key, 1, 65536));
        } else if (key == "keyFrameSize") {
            recording.keyFrameSize = static_cast<uint32_t>(integerOf(item, key, 0, RecordingDescription::MaxFrameData));
        } else if (key == "frameSize") {
            recording.frameSize = static_cast<uint32_t>(integerOf(item, key, 0, RecordingDescription::MaxFrameData));
        } else if (key == "audioFrameSize") {
            recording.audioFrameSize =
                static_cast<uint32_t>(integerOf(item, key, 0, RecordingDescription::MaxFrameData));
        } else if (key == "extraSize") {
            recording.extraSize = static_cast<uint32_t>(integerOf(item, key, 0, RecordingDescription::MaxFrameData));
        } else if (key == "growing") {
            recording.growing = boolOf(item, key);
        } else if (key == "retainSeconds") {
            recording.retainSeconds = static_cast<uint32_t>(integerOf(item, key, 0, U32));
        } else if (key == "anchorToNow") {
            recording.anchorToNow = boolOf(item, key);
        } else {
            refuse("unknown key \"" + key + "\" in \"recording\"");
        }
    }
}

void applyFaults(const json& value, SiteFaults& faults) {
    objectOf(value, "faults");
    for (const auto& [key, item] : value.items()) {
        if (key == "channelFull") {
            faults.channelFull = boolOf(item, key);
        } else if (key == "wrongFirstPacket") {
            faults.wrongFirstPacket = boolOf(item, key);
        } else if (key == "refuseLogin") {
            if (item.is_null()) {
                faults.refuseLogin.reset();
            } else {
                faults.refuseLogin = static_cast<uint8_t>(integerOf(item, key, 0, 5));
            }
        } else if (key == "noPlaybackProfile") {
            faults.noPlaybackProfile = boolOf(item, key);
        } else if (key == "disconnectAfterFrames") {
            if (item.is_null()) {
                faults.disconnectAfterFrames.reset();
            } else {
                faults.disconnectAfterFrames = static_cast<uint64_t>(integerOf(item, key, 0, INT64_MAX));
            }
        } else if (key == "silence") {
            faults.silence = boolOf(item, key);
        } else if (key == "oversizedHeader") {
            faults.oversizedHeader = boolOf(item, key);
        } else {
            refuse("unknown key \"" + key + "\" in \"faults\"");
        }
    }
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator)) {
        parts.push_back(part);
    }
    if (!text.empty() && text.back() == separator) {
        parts.emplace_back();
    }
    return parts;
}

int64_t numberOf(const std::string& text, const std::string& what, int64_t min, int64_t max) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < min || value > max) {
        refuse(what + " must be a number from " + std::to_string(min) + " to " + std::to_string(max) + ", not \"" +
               text + "\"");
    }
    return value;
}

void applyFault(const std::string& text, SiteFaults& faults) {
    const size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
    if (name == "channel-full") {
        faults.channelFull = true;
    } else if (name == "wrong-first-packet") {
        faults.wrongFirstPacket = true;
    } else if (name == "no-playback-profile") {
        faults.noPlaybackProfile = true;
    } else if (name == "silence") {
        faults.silence = true;
    } else if (name == "oversized-header") {
        faults.oversizedHeader = true;
    } else if (name == "refuse-login") {
        faults.refuseLogin = static_cast<uint8_t>(numberOf(value, "--fault refuse-login=CODE", 0, 5));
    } else if (name == "disconnect-after") {
        faults.disconnectAfterFrames =
            static_cast<uint64_t>(numberOf(value, "--fault disconnect-after=N", 0, INT64_MAX));
    } else {
        refuse("unknown fault \"" + text + "\"");
    }
}

} // namespace

DateTime SiteSettingsReader::parseTime(const std::string& text, const std::string& what) {
    std::string normal = text;
    const size_t t = normal.find('T');
    if (t != std::string::npos) {
        normal[t] = ' ';
    }
    const std::optional<DateTime> time = DateTime::parse(normal);
    if (!time) {
        refuse(what + " must be a time as \"YYYY/MM/DD hh:mm:ss\", not \"" + text + "\"");
    }
    return *time;
}

void SiteSettingsReader::applyListen(const std::string& text, SiteSettings& settings) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        refuse("listen must be ADDR:PORT, not \"" + text + "\"");
    }
    settings.listenAddress = text.substr(0, colon);
    settings.port = static_cast<uint16_t>(numberOf(text.substr(colon + 1), "the listening port", 0, 65535));
}

void SiteSettingsReader::applyJsonText(const std::string& text, SiteSettings& settings) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& e) {
        refuse(std::string("the settings are not valid JSON: ") + e.what());
    }
    objectOf(document, "the settings");
    for (const auto& [key, item] : document.items()) {
        if (key == "listen") {
            applyListen(stringOf(item, key), settings);
        } else if (key == "user") {
            settings.user = stringOf(item, key);
        } else if (key == "password") {
            settings.password = stringOf(item, key);
        } else if (key == "name") {
            settings.name = stringOf(item, key);
        } else if (key == "modelCode") {
            settings.modelCode = static_cast<uint32_t>(integerOf(item, key, 0, U32));
        } else if (key == "productName") {
            settings.productName = stringOf(item, key);
        } else if (key == "version") {
            settings.version = stringOf(item, key);
        } else if (key == "maxConnections") {
            settings.maxConnections = static_cast<int>(integerOf(item, key, 1, 1000));
        } else if (key == "recording") {
            applyRecording(item, settings.recording);
        } else if (key == "faults") {
            applyFaults(item, settings.faults);
        } else {
            refuse("unknown key \"" + key + "\"");
        }
    }
}

void SiteSettingsReader::applyFile(const std::string& path, SiteSettings& settings) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        refuse("cannot read the settings file \"" + path + "\"");
    }
    std::ostringstream text;
    text << file.rdbuf();
    try {
        applyJsonText(text.str(), settings);
    } catch (const SiteSettingsException& e) {
        refuse(path + ": " + e.message());
    }
}

SiteSettingsReader::Action SiteSettingsReader::applyCommandLine(const std::vector<std::string>& arguments,
                                                                SiteSettings& settings) {
    Action action = Action::Run;
    bool sectionsGiven = false, eventsGiven = false, textInsGiven = false;
    RecordingDescription& recording = settings.recording;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string option = arguments[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
            hasValue = true;
        }
        const auto next = [&]() -> const std::string& {
            if (!hasValue) {
                if (i + 1 >= arguments.size()) {
                    refuse(option + " needs a value");
                }
                value = arguments[++i];
                hasValue = true;
            }
            return value;
        };
        const auto count = [&](int64_t min, int64_t max) { return numberOf(next(), option, min, max); };
        if (option == "--help" || option == "-h") {
            action = Action::Help;
        } else if (option == "--print-config") {
            action = Action::PrintConfig;
        } else if (option == "--config") {
            applyFile(next(), settings);
        } else if (option == "--listen") {
            applyListen(next(), settings);
        } else if (option == "--user") {
            settings.user = next();
        } else if (option == "--password") {
            settings.password = next();
        } else if (option == "--name") {
            settings.name = next();
        } else if (option == "--max-connections") {
            settings.maxConnections = static_cast<int>(count(1, 1000));
        } else if (option == "--section") {
            const std::vector<std::string> parts = split(next(), ',');
            if (parts.size() != 3) {
                refuse("--section must be ID,FROM,TO");
            }
            if (!sectionsGiven) {
                recording.sections.clear();
                sectionsGiven = true;
            }
            recording.sections.push_back({static_cast<uint32_t>(numberOf(parts[0], "a section ID", 1, (1 << 24) - 1)),
                                          parseTime(parts[1], "a section's start"),
                                          parseTime(parts[2], "a section's end")});
        } else if (option == "--no-sections") {
            recording.sections.clear();
            sectionsGiven = true;
        } else if (option == "--channels") {
            recording.videoChannels = static_cast<int>(count(1, 32));
        } else if (option == "--audio-channels") {
            recording.audioChannels = static_cast<int>(count(0, 32));
        } else if (option == "--frame-rate") {
            recording.frameRate = static_cast<int>(count(1, RecordingDescription::MaxFrameRate));
        } else if (option == "--gop") {
            recording.gopLength = static_cast<int>(count(1, 65536));
        } else if (option == "--key-frame-size") {
            recording.keyFrameSize = static_cast<uint32_t>(count(0, RecordingDescription::MaxFrameData));
        } else if (option == "--frame-size") {
            recording.frameSize = static_cast<uint32_t>(count(0, RecordingDescription::MaxFrameData));
        } else if (option == "--audio-frame-size") {
            recording.audioFrameSize = static_cast<uint32_t>(count(0, RecordingDescription::MaxFrameData));
        } else if (option == "--extra-size") {
            recording.extraSize = static_cast<uint32_t>(count(0, RecordingDescription::MaxFrameData));
        } else if (option == "--event") {
            const std::vector<std::string> parts = split(next(), ',');
            if (parts.size() != 5 && parts.size() != 6) {
                refuse("--event must be EVERY,OFFSET,CHANNEL,TYPE,SUBTYPE[,TICK]");
            }
            if (!eventsGiven) {
                recording.events.clear();
                eventsGiven = true;
            }
            EventRule rule;
            rule.every = static_cast<uint32_t>(numberOf(parts[0], "an event's EVERY", 0, U32));
            rule.offset = static_cast<uint32_t>(numberOf(parts[1], "an event's OFFSET", 0, U32));
            rule.channel = static_cast<int>(numberOf(parts[2], "an event's CHANNEL", 0, 31));
            rule.type = static_cast<uint8_t>(numberOf(parts[3], "an event's TYPE", 0, 255));
            rule.subType = static_cast<uint8_t>(numberOf(parts[4], "an event's SUBTYPE", 0, 255));
            rule.tick = parts.size() == 6 ? static_cast<int>(numberOf(parts[5], "an event's TICK", 0, 119)) : 0;
            recording.events.push_back(rule);
        } else if (option == "--no-events") {
            recording.events.clear();
            eventsGiven = true;
        } else if (option == "--text-in") {
            const std::string& text = next();
            const std::vector<std::string> parts = split(text, ',');
            if (parts.size() < 4) {
                refuse("--text-in must be EVERY,OFFSET,CHANNEL,TEXT");
            }
            if (!textInsGiven) {
                recording.textIns.clear();
                textInsGiven = true;
            }
            TextInRule rule;
            rule.every = static_cast<uint32_t>(numberOf(parts[0], "a text-in's EVERY", 0, U32));
            rule.offset = static_cast<uint32_t>(numberOf(parts[1], "a text-in's OFFSET", 0, U32));
            rule.channel = static_cast<int>(numberOf(parts[2], "a text-in's CHANNEL", 0, 31));
            // The text is everything after the third comma, commas included.
            size_t start = 0;
            for (int commas = 0; commas < 3; ++commas) {
                start = text.find(',', start) + 1;
            }
            rule.text = text.substr(start);
            recording.textIns.push_back(rule);
        } else if (option == "--no-text-ins") {
            recording.textIns.clear();
            textInsGiven = true;
        } else if (option == "--growing") {
            recording.growing = true;
        } else if (option == "--retain") {
            recording.retainSeconds = static_cast<uint32_t>(count(0, U32));
        } else if (option == "--anchor-now") {
            recording.anchorToNow = true;
        } else if (option == "--fault") {
            applyFault(next(), settings.faults);
        } else {
            refuse("unknown option \"" + arguments[i] + "\" (see --help)");
        }
    }
    return action;
}

std::string SiteSettingsReader::toJsonText(const SiteSettings& settings) {
    // Keys in the order a reader expects them, not sorted.
    using ojson = nlohmann::ordered_json;
    const RecordingDescription& r = settings.recording;
    ojson sections = ojson::array();
    for (const SectionDescription& s : r.sections) {
        sections.push_back({{"id", s.id}, {"from", s.from.toString()}, {"to", s.to.toString()}});
    }
    ojson events = ojson::array();
    for (const EventRule& e : r.events) {
        events.push_back({{"every", e.every},
                          {"offset", e.offset},
                          {"channel", e.channel},
                          {"tick", e.tick},
                          {"type", e.type},
                          {"subType", e.subType}});
    }
    ojson textIns = ojson::array();
    for (const TextInRule& t : r.textIns) {
        textIns.push_back(
            {{"every", t.every}, {"offset", t.offset}, {"channel", t.channel}, {"text", t.text}, {"flags", t.flags}});
    }
    ojson faults = {
        {"channelFull", settings.faults.channelFull},
        {"wrongFirstPacket", settings.faults.wrongFirstPacket},
        {"refuseLogin", settings.faults.refuseLogin ? ojson(*settings.faults.refuseLogin) : ojson(nullptr)},
        {"noPlaybackProfile", settings.faults.noPlaybackProfile},
        {"disconnectAfterFrames",
         settings.faults.disconnectAfterFrames ? ojson(*settings.faults.disconnectAfterFrames) : ojson(nullptr)},
        {"silence", settings.faults.silence},
        {"oversizedHeader", settings.faults.oversizedHeader},
    };
    ojson document = {
        {"listen", settings.listenAddress + ":" + std::to_string(settings.port)},
        {"user", settings.user},
        {"password", settings.password},
        {"name", settings.name},
        {"modelCode", settings.modelCode},
        {"productName", settings.productName},
        {"version", settings.version},
        {"maxConnections", settings.maxConnections},
        {"recording",
         {{"sections", sections},
          {"videoChannels", r.videoChannels},
          {"audioChannels", r.audioChannels},
          {"frameRate", r.frameRate},
          {"gopLength", r.gopLength},
          {"keyFrameSize", r.keyFrameSize},
          {"frameSize", r.frameSize},
          {"audioFrameSize", r.audioFrameSize},
          {"extraSize", r.extraSize},
          {"events", events},
          {"textIns", textIns},
          {"growing", r.growing},
          {"retainSeconds", r.retainSeconds},
          {"anchorToNow", r.anchorToNow}}},
        {"faults", faults},
    };
    return document.dump(2) + "\n";
}

} // namespace ostrel
