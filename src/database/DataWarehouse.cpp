#include "database/DataWarehouse.h"

namespace ostrel {

DataWarehouse& DataWarehouse::instance() {
    static DataWarehouse warehouse;
    return warehouse;
}

void DataWarehouse::open(const std::string& path, int busyTimeoutMs) {
    Mutex::ScopedLock lock(_mutex);
    _database.open(path, busyTimeoutMs);
}

void DataWarehouse::close() {
    Mutex::ScopedLock lock(_mutex);
    _database.close();
}

bool DataWarehouse::isOpen() const {
    Mutex::ScopedLock lock(_mutex);
    return _database.isOpen();
}

} // namespace ostrel
