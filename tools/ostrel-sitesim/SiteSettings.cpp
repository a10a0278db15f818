#include "ostrel-sitesim/SiteSettings.h"

#include "ostrel-sitesim/SiteSettingsException.h"

namespace ostrel {

void SiteSettings::validate() const {
    if (user.size() > 16 || password.size() > 16) {
        throw SiteSettingsException("user and password must have at most 16 characters");
    }
    if (name.size() > 32) {
        throw SiteSettingsException("name must have at most 32 characters");
    }
    if (productName.size() > 16 || version.size() > 16) {
        throw SiteSettingsException("productName and version must have at most 16 characters");
    }
    if (maxConnections < 1 || maxConnections > 1000) {
        throw SiteSettingsException("maxConnections must be 1 to 1000");
    }
    if (faults.refuseLogin && (*faults.refuseLogin == 1 || *faults.refuseLogin > 5)) {
        throw SiteSettingsException("refuseLogin must be 0, 2, 3, 4 or 5");
    }
    recording.validate();
}

} // namespace ostrel
