// ostrel-log-fixture WORKDIR LOG.json: writes system log entries into the
// app.db of WORKDIR (prepared by ostrel-ui-fixture) for the log viewer's
// browser tests, through the application's own classes.
// LOG.json: {"entries": [{"site", "count", "start" ("yyyy/MM/dd hh:mm:ss"),
// "step" (seconds between entries, default 60), "code", "text", "level"}],
// "delete": [site names]}. Entry texts get " <n>" appended (n from 0).

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SystemLogger.h"
#include "base/DateTime.h"
#include "base/ManualClock.h"
#include "database/DataWarehouse.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>

using namespace ostrel;

namespace {
RecordSite* byName(SiteContainer& sites, const std::string& name) {
    for (RecordSite* site : sites.sites(true)) {
        if (site->name() == name) {
            return site;
        }
    }
    return nullptr;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ostrel-log-fixture WORKDIR LOG.json\n");
        return 2;
    }
    try {
        std::ifstream in(argv[2]);
        const nlohmann::json spec = nlohmann::json::parse(in);
        DataWarehouse warehouse;
        warehouse.open(std::string(argv[1]) + "/app.db");
        // A test's scratch database: no sync per entry (the entries are written one transaction each).
        warehouse.database().execute("PRAGMA synchronous=OFF;");
        SiteContainer sites(warehouse);
        ManualClock clock;
        SystemLogger logger(warehouse, SystemLogger::RowCap, clock);
        if (!sites.load() || !logger.load()) {
            std::fprintf(stderr, "ostrel-log-fixture: cannot read app.db\n");
            return 1;
        }
        for (const auto& entries : spec.value("entries", nlohmann::json::array())) {
            RecordSite* site = byName(sites, entries.at("site"));
            if (!site) {
                std::fprintf(stderr, "ostrel-log-fixture: no site %s\n", entries.at("site").get<std::string>().c_str());
                return 1;
            }
            const auto start = DateTime::parse(entries.value("start", "2024/05/01 08:00:00"));
            if (!start) {
                std::fprintf(stderr, "ostrel-log-fixture: bad start\n");
                return 1;
            }
            clock.set(*start);
            const std::string text = entries.value("text", "entry");
            for (int i = 0; i < entries.value("count", 1); ++i) {
                logger.write(entries.value("level", 3), site->id(), entries.value("code", 1),
                             text + " " + std::to_string(i));
                clock.advanceSeconds(entries.value("step", 60));
            }
        }
        for (const auto& name : spec.value("delete", nlohmann::json::array())) {
            RecordSite* site = byName(sites, name);
            if (!site || !sites.remove(*site)) {
                std::fprintf(stderr, "ostrel-log-fixture: cannot delete %s\n", name.get<std::string>().c_str());
                return 1;
            }
        }
        sites.unload();
        logger.unload();
        warehouse.close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ostrel-log-fixture: %s\n", e.what());
        return 1;
    }
    return 0;
}
