#pragma once

#include "base/Exception.h"

#include <source_location>
#include <string>

namespace ostrel {

// A simulated site's settings (command line, JSON file or code) that cannot
// describe a site; the message names the setting and what is wrong with it.
class SiteSettingsException : public Exception {
public:
    explicit SiteSettingsException(const std::string& message,
                                   std::source_location where = std::source_location::current())
        : Exception("SiteSettingsException", 0, message, where) {}
};

} // namespace ostrel
