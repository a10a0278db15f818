#pragma once

#include "ostrel-sitesim/SiteSettings.h"

#include <string>
#include <vector>

namespace ostrel {

// Reads a simulated site's settings from a JSON text or file and from the
// command line of ostrel-sitesim, and writes them back as JSON. Every
// failure is a SiteSettingsException naming the setting: unknown keys and
// options are refused rather than ignored, so a typo never silently serves
// another recording than the one described.
class SiteSettingsReader {
public:
    enum class Action { Run, Help, PrintConfig };

    // Applies the keys present in a JSON object over `settings`; a
    // "recording" object replaces the lists it names (sections, events, textIns).
    static void applyJsonText(const std::string& text, SiteSettings& settings);
    static void applyFile(const std::string& path, SiteSettings& settings);
    // Applies the options left to right (later ones win; the first --section,
    // --event or --text-in replaces the list that came before it).
    static Action applyCommandLine(const std::vector<std::string>& arguments, SiteSettings& settings);
    // The settings as a JSON document in the format applyJsonText reads.
    static std::string toJsonText(const SiteSettings& settings);
    // "ADDR:PORT" into the settings' address and port.
    static void applyListen(const std::string& text, SiteSettings& settings);
    // "YYYY/MM/DD hh:mm:ss" (or with a 'T' between date and time).
    static DateTime parseTime(const std::string& text, const std::string& what);

    static const char* helpText();
};

} // namespace ostrel
