#include "app/persistence/StorageGroupFile.h"

#include "base/Exception.h"
#include "base/Trace.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ostrel {

namespace {

constexpr const char* KeyMagic = "Magic";
constexpr const char* KeyVersion = "Version";
constexpr const char* KeyRepositoryID = "RepositoryID";
constexpr const char* KeyLastStorageID = "LastStorageID";
constexpr const char* KeyLastRecordingSectionID = "LastRecordingSectionID";
constexpr const char* KeyStorageFiles = "StorageFiles";

// A member that must be a non-empty string; empty when absent or of another kind.
std::string stringMember(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return std::string();
    }
    return it->get<std::string>();
}

// The leading decimal digits of a text; 0 when it starts with none.
uint32_t leadingNumber(const std::string& text) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return UINT32_MAX;
        }
    }
    return static_cast<uint32_t>(value);
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes `text` to `path` so that a crash at any point leaves either the old
// file or the whole new one: a temporary file beside it is written and synced,
// renamed over the path, and the folder is synced so the rename lasts.
void writeAtomically(const std::string& path, const std::string& text) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw SystemException(errno, temporary);
    }
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw SystemException(error, temporary);
    };
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        fail(errno);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw SystemException(error, temporary);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw SystemException(error, path);
    }
    const int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

bool readWhole(const std::string& path, std::string& text) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        return false;
    }
    text = content.str();
    return true;
}

} // namespace

std::string StorageGroupFile::format(const UniqueID& repositoryID, const UniqueID& lastStorageID, uint32_t lastSectionID,
                                     const std::vector<std::string>& storageFiles) {
    // Insertion order is kept, so the members are written in their fixed order.
    nlohmann::ordered_json object;
    object[KeyMagic] = Magic;
    object[KeyVersion] = CurrentVersion;
    object[KeyRepositoryID] = repositoryID.toString();
    object[KeyLastStorageID] = lastStorageID.toString();
    object[KeyLastRecordingSectionID] = std::to_string(lastSectionID);
    object[KeyStorageFiles] = nlohmann::ordered_json::array();
    for (const std::string& path : storageFiles) {
        object[KeyStorageFiles].push_back(path);
    }
    return object.dump(1, '\t') + "\n";
}

bool StorageGroupFile::create(const std::string& path, const UniqueID& repositoryID) {
    Mutex::ScopedLock lock(_mutex);
    try {
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0) {
            return false;
        }
        _path = path;
        _version = CurrentVersion;
        _repositoryID = repositoryID;
        _lastStorageID = UniqueID();
        _lastRecordingSectionID = 0;
        _storageFiles.clear();
        writeAtomically(path, format(_repositoryID, _lastStorageID, 0, _storageFiles));
        _open = false;
        return true;
    } catch (const Exception& e) {
        traceException(e);
        _open = false;
        return false;
    }
}

bool StorageGroupFile::load(const std::string& path) {
    Mutex::ScopedLock lock(_mutex);
    _storageFiles.clear();
    _path = path;
    _open = false;
    std::string text;
    if (!readWhole(path, text)) {
        return false;
    }
    const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        trace("StorageGroupFile::load : [%s] is not a JSON object", path.c_str());
        return false;
    }
    const std::string version = stringMember(parsed, KeyVersion);
    const std::string repository = stringMember(parsed, KeyRepositoryID);
    const std::string section = stringMember(parsed, KeyLastRecordingSectionID);
    const std::optional<UniqueID> repositoryID = UniqueID::parse(repository);
    if (stringMember(parsed, KeyMagic) != Magic || version.empty() || section.empty() || !repositoryID) {
        trace("StorageGroupFile::load : [%s] is not a storage group file", path.c_str());
        return false;
    }
    _version = version;
    _repositoryID = *repositoryID;
    _lastStorageID = UniqueID::parse(stringMember(parsed, KeyLastStorageID)).value_or(UniqueID::nil());
    _lastRecordingSectionID = leadingNumber(section);
    const auto files = parsed.find(KeyStorageFiles);
    if (files != parsed.end() && files->is_array()) {
        for (const nlohmann::json& file : *files) {
            if (file.is_string()) {
                _storageFiles.push_back(file.get<std::string>());
            }
        }
    }
    _open = true;
    return true;
}

void StorageGroupFile::openInMemory(const UniqueID& repositoryID, const std::vector<std::string>& storageFiles) {
    Mutex::ScopedLock lock(_mutex);
    _path.clear();
    _version = CurrentVersion;
    _repositoryID = repositoryID;
    _lastStorageID = UniqueID::nil();
    _lastRecordingSectionID = 0;
    _storageFiles = storageFiles;
    _open = true;
}

bool StorageGroupFile::saveLocked() {
    if (!_open) {
        return false;
    }
    if (_path.empty()) {
        return true; // kept in memory only
    }
    try {
        writeAtomically(_path, format(_repositoryID, _lastStorageID, _lastRecordingSectionID, _storageFiles));
        return true;
    } catch (const Exception& e) {
        traceException(e);
    } catch (const nlohmann::json::exception& e) {
        // A path that is not UTF-8 text cannot be written as JSON.
        trace("StorageGroupFile::save : [%s] %s", _path.c_str(), e.what());
    }
    return false;
}

bool StorageGroupFile::save() {
    Mutex::ScopedLock lock(_mutex);
    return saveLocked();
}

void StorageGroupFile::saveAndClose() {
    Mutex::ScopedLock lock(_mutex);
    saveLocked();
    _open = false;
}

void StorageGroupFile::close() {
    Mutex::ScopedLock lock(_mutex);
    _open = false;
}

bool StorageGroupFile::isOpen() const {
    Mutex::ScopedLock lock(_mutex);
    return _open;
}

bool StorageGroupFile::addStorage(const std::string& path) {
    Mutex::ScopedLock lock(_mutex);
    _storageFiles.push_back(path);
    return saveLocked();
}

bool StorageGroupFile::removeStorage(const std::string& path) {
    Mutex::ScopedLock lock(_mutex);
    const auto it = std::find(_storageFiles.begin(), _storageFiles.end(), path);
    if (it == _storageFiles.end()) {
        return true;
    }
    _storageFiles.erase(it);
    return saveLocked();
}

bool StorageGroupFile::setLastStorageID(const UniqueID& id) {
    Mutex::ScopedLock lock(_mutex);
    _lastStorageID = id;
    return saveLocked();
}

bool StorageGroupFile::setLastRecordingSectionID(uint32_t sectionID) {
    Mutex::ScopedLock lock(_mutex);
    _lastRecordingSectionID = sectionID;
    return saveLocked();
}

bool StorageGroupFile::contains(const std::string& path) const {
    Mutex::ScopedLock lock(_mutex);
    return std::find(_storageFiles.begin(), _storageFiles.end(), path) != _storageFiles.end();
}

int StorageGroupFile::count() const {
    Mutex::ScopedLock lock(_mutex);
    return static_cast<int>(_storageFiles.size());
}

std::string StorageGroupFile::path() const {
    Mutex::ScopedLock lock(_mutex);
    return _path;
}

std::string StorageGroupFile::version() const {
    Mutex::ScopedLock lock(_mutex);
    return _version;
}

UniqueID StorageGroupFile::repositoryID() const {
    Mutex::ScopedLock lock(_mutex);
    return _repositoryID;
}

UniqueID StorageGroupFile::lastStorageID() const {
    Mutex::ScopedLock lock(_mutex);
    return _lastStorageID;
}

uint32_t StorageGroupFile::lastRecordingSectionID() const {
    Mutex::ScopedLock lock(_mutex);
    return _lastRecordingSectionID;
}

std::vector<std::string> StorageGroupFile::storageFiles() const {
    Mutex::ScopedLock lock(_mutex);
    return _storageFiles;
}

} // namespace ostrel
