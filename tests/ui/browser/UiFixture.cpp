// ostrel-ui-fixture WORKDIR SITES.json: prepares app.db in WORKDIR with the
// sites the browser tests need, through the application's own classes.
// Each site: {"name", "address", "port", "always", "start", "stop",
// "archiveFrom", "storages" (files of 64 MB), "group" (false: no group file)}.

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "base/Exception.h"
#include "base/Time.h"
#include "base/UniqueID.h"
#include "database/DataWarehouse.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <sys/stat.h>

using namespace ostrel;

namespace {
Time parseTime(const std::string& text) {
    int h = 0, m = 0, s = 0;
    std::sscanf(text.c_str(), "%d:%d:%d", &h, &m, &s);
    return Time(h, m, s);
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ostrel-ui-fixture WORKDIR SITES.json\n");
        return 2;
    }
    const std::string dir = argv[1];
    try {
        std::ifstream in(argv[2]);
        const nlohmann::json sites = nlohmann::json::parse(in);
        DataWarehouse::instance().open(dir + "/app.db");
        SiteContainer& container = SiteContainer::instance();
        container.load();
        for (const auto& spec : sites) {
            const UniqueID id;
            const std::string name = spec.at("name");
            const std::string folder = dir + "/storages/" + std::to_string(container.sites(true).size());
            ::mkdir((dir + "/storages").c_str(), 0755);
            ::mkdir(folder.c_str(), 0755);
            const std::string group = folder + "/site.strgx";
            if (spec.value("group", true)) {
                std::vector<std::pair<std::string, uint64_t>> files;
                for (int i = 1; i <= spec.value("storages", 1); ++i) {
                    files.emplace_back(folder + "/site " + std::to_string(i) + ".strg", SiteStorage::storageBytes(0.064));
                }
                std::string error;
                if (!SiteStorage::createGroup(group, id, files, &error)) {
                    std::fprintf(stderr, "ostrel-ui-fixture: %s\n", error.c_str());
                    return 1;
                }
            }
            RecordSite site(id);
            site.setName(name);
            site.setConnection(spec.value("address", "127.0.0.1"), spec.value("port", 1), "admin", "admin");
            site.setStorageGroupFile(group);
            site.setOverwrite(spec.value("overwrite", true));
            site.setRescheduled(true);
            site.setArchiveFrom(spec.value("archiveFrom", 1));
            site.setAlwaysArchive(spec.value("always", true));
            if (!site.alwaysArchive()) {
                site.setArchivePeriod(parseTime(spec.value("start", "00:00:00")), parseTime(spec.value("stop", "00:00:01")));
            }
            if (!container.add(site)) {
                std::fprintf(stderr, "ostrel-ui-fixture: cannot add %s\n", name.c_str());
                return 1;
            }
        }
        container.unload();
        DataWarehouse::instance().close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ostrel-ui-fixture: %s\n", e.what());
        return 1;
    }
    return 0;
}
