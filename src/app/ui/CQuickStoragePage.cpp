#include "app/ui/CQuickStoragePage.h"

#include "app/persistence/SiteStorage.h"
#include "app/ui/CFloatEdit.h"
#include "app/ui/CScheduleWizard.h"
#include "app/ui/CSitePage.h"
#include "app/ui/FileChooserDialog.h"
#include "app/ui/FreeDiskSpace.h"
#include "base/Exception.h"
#include "base/File.h"
#include "base/Trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrel {

namespace {
std::string asFolder(std::string path) {
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path;
}
} // namespace

CQuickStoragePage::CQuickStoragePage(CScheduleWizard& wizard, std::string storagesFolder)
    : CScheduleWizardPage(wizard), _storagesFolder(asFolder(std::move(storagesFolder))) {}

nlohmann::json CQuickStoragePage::state() const {
    return {{"path", _path},
            {"auto", _auto},
            {"size", _size},
            {"count", _count},
            {"total", totalText()},
            {"fieldsEnabled", _auto},
            {"countMin", MinimumCount},
            {"countMax", MaximumCount}};
}

void CQuickStoragePage::apply(const nlohmann::json& values) {
    takeFlag(values, "auto", _auto);
    takeText(values, "size", _size);
    takeText(values, "count", _count);
}

void CQuickStoragePage::onSetActive() {
    if (_picked) {
        return;
    }
    const std::string& name = _wizard.sitePage().siteName();
    _folder = _storagesFolder + name + "/";
    _path = _folder + SiteStorage::groupFileName(name);
}

std::optional<uint64_t> CQuickStoragePage::parseCount(const std::string& text) {
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    uint64_t count = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        count = count * 10 + static_cast<uint64_t>(c - '0');
    }
    return count;
}

std::optional<double> CQuickStoragePage::total() const {
    // An emptied field counts as 0 while the user types a new value.
    double size = 0;
    if (!_size.empty()) {
        if (!CFloatEdit::isDecimal(_size)) {
            return std::nullopt;
        }
        size = std::strtod(_size.c_str(), nullptr);
    }
    uint64_t count = 0;
    if (!_count.empty()) {
        const auto parsed = parseCount(_count);
        if (!parsed) {
            return std::nullopt;
        }
        count = *parsed;
    }
    return size * static_cast<double>(count);
}

std::string CQuickStoragePage::totalText() const {
    const auto value = total();
    if (!value || !(*value < TotalLimit)) {
        return "invalid";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", *value);
    return text;
}

bool CQuickStoragePage::canGoOn() const {
    if (_path.empty()) {
        return false;
    }
    if (!_auto) {
        return true;
    }
    const auto value = total();
    return value && *value > 0 && *value < TotalLimit;
}

bool CQuickStoragePage::isInUse(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno != ENOENT;
    }
    bool inUse = false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        inUse = true;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        inUse = true; // another process holds it (EWOULDBLOCK), or it cannot be locked at all
    } else {
        ::flock(fd, LOCK_UN);
    }
    ::close(fd);
    return inUse;
}

void CQuickStoragePage::browse() {
    DialogHost* host = _wizard.dialogHost();
    if (!host) {
        return;
    }
    FileChooserDialog::Options options;
    options.filter = Filter;
    options.defaultExtension = DefaultExtension;
    options.initialPath = _path.empty() ? _storagesFolder : _path;
    options.places = {{"Storages", _storagesFolder}};
    // Finish asks before an existing group file is replaced.
    options.overwritePrompt = false;
    std::weak_ptr<CScheduleWizard> weak = _wizard.weak_from_this();
    host->open(std::make_shared<FileChooserDialog>(*host, options, [this, weak](const std::string& path) {
        if (auto wizard = weak.lock(); wizard && wizard->isOpen()) {
            _path = path;
            _folder = asFolder(std::filesystem::path(path).parent_path().string());
            _picked = true;
            wizard->refresh();
        }
    }));
}

void CQuickStoragePage::onWizardNext(std::function<void()> proceed) {
    if (!canGoOn()) {
        return;
    }
    std::vector<std::string> paths;
    uint64_t bytes = 0;
    if (_auto) {
        const CFloatEdit::Parsed size = CFloatEdit::parse(_size);
        if (size.result != CFloatEdit::Result::Valid || size.bytes < MinimumBytes) {
            _wizard.showError(SizeTooSmallText, "size", true);
            return;
        }
        const uint64_t count = parseCount(_count).value_or(0);
        if (count > static_cast<uint64_t>(MaximumCount)) {
            _wizard.showError(TooManyText, "count", true);
            return;
        }
        uint64_t totalBytes = 0;
        const bool overflow = __builtin_mul_overflow(size.bytes, count, &totalBytes);
        if (const auto space = FreeDiskSpace::of(_path); space && (overflow || totalBytes > space->bytes)) {
            _wizard.showError(space->notEnoughText(), "size", true);
            return;
        }
        const std::string& name = _wizard.sitePage().siteName();
        for (int n = 1; n <= static_cast<int>(count); ++n) {
            paths.push_back(_folder + SiteStorage::storageFileName(name, n, static_cast<int>(count)));
        }
        bytes = size.bytes;
    }
    _storagePaths = std::move(paths);
    _storageBytes = bytes;
    askOverwrite(proceed);
}

namespace {
// Whether something is at the path; a path that cannot be checked counts as taken.
bool taken(const std::string& path) {
    try {
        return File::exists(path);
    } catch (const Exception& e) {
        traceException(e);
        return true;
    }
}
} // namespace

void CQuickStoragePage::askOverwrite(const std::function<void()>& proceed) {
    auto mayReplace = [this] {
        // Site names need not be unique, so the proposed file may be another
        // site's group: answering Yes must not take its storages from it.
        if ((taken(_path) && isInUse(_path)) || !_wizard.document().mayReplaceGroupFile(_path, _wizard.siteId())) {
            _wizard.showError(InUseText, "", false);
            return false;
        }
        return true;
    };
    if (taken(_path)) {
        _wizard.ask(OverwriteText, MessageIcon::Question, [this, proceed, mayReplace](int answer) {
            if (answer == Answer::Yes && mayReplace()) {
                createFolder(proceed);
            }
        });
        return;
    }
    if (mayReplace()) {
        createFolder(proceed);
    }
}

void CQuickStoragePage::createFolder(const std::function<void()>& proceed) {
    std::error_code error;
    std::filesystem::create_directories(_folder, error);
    if (error) {
        std::string text = FolderText;
        text.replace(text.find("%s"), 2, _folder);
        text.replace(text.find("%s"), 2, error.message());
        _wizard.showError(text, "", false);
        return;
    }
    proceed();
}

} // namespace ostrel
