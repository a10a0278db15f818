#include "storage/util/IntegrityFinding.h"

#include <cstdio>

namespace ostrel {
std::string IntegrityFinding::jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string IntegrityFinding::toString() const {
    std::string text;
    if (page != 0) {
        text = "page " + std::to_string(page) + " offset " + std::to_string(offset) + ": ";
    }
    if (!track.empty()) {
        text += track + ": ";
    }
    return text + problem;
}

std::string IntegrityFinding::toJson() const {
    return "{\"page\":" + std::to_string(page) + ",\"offset\":" + std::to_string(offset) +
           ",\"track\":" + jsonString(track) + ",\"problem\":" + jsonString(problem) +
           ",\"damagesPage\":" + (damagesPage ? "true" : "false") + "}";
}

} // namespace ostrel
