#include "app/ui/FileChooserDialog.h"

#include "app/ui/DialogHost.h"
#include "app/ui/FreeDiskSpace.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fnmatch.h>
#include <stdexcept>
#include <sys/stat.h>

namespace ostrel {

namespace {

// Replaces each "%s" of `format` by the next argument.
std::string formatText(const char* format, std::initializer_list<std::string> args) {
    std::string out;
    auto next = args.begin();
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's' && next != args.end()) {
            out += *next++;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string lowered(const std::string& text) {
    std::string out = text;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string normalFolder(const std::filesystem::path& path) {
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text.empty() ? "/" : text;
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    return home && home[0] == '/' && isFolder(home) ? normalFolder(home) : "/";
}

} // namespace

FileChooserDialog::FileChooserDialog(DialogHost& dialogs, Options options, Continuation chosen,
                                     std::function<void()> cancelled)
    : _dialogs(dialogs), _options(std::move(options)), _chosen(std::move(chosen)), _cancelled(std::move(cancelled)) {
    _filters = parseFilter(_options.filter);
    if (_filters.empty()) {
        _filters.push_back({"All Files(*.*)", {"*"}});
    }
    std::string folder;
    if (!_options.initialPath.empty()) {
        if (_options.initialPath.back() == '/' || isFolder(_options.initialPath)) {
            folder = _options.initialPath;
        } else {
            const std::filesystem::path initial(_options.initialPath);
            _name = initial.filename().string();
            folder = initial.parent_path().string();
        }
        folder = FreeDiskSpace::nearestExistingFolder(folder.empty() ? "." : folder);
    }
    if (folder.empty() || !browse(folder)) {
        browse(homeFolder());
    }
}

std::vector<FileChooserDialog::Filter> FileChooserDialog::parseFilter(const std::string& filter) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : filter) {
        if (c == '|') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    std::vector<Filter> filters;
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].empty()) {
            break; // the closing "||"
        }
        Filter f{parts[i], {}};
        std::string pattern;
        for (char c : parts[i + 1] + ";") {
            if (c == ';') {
                if (!pattern.empty()) {
                    f.patterns.push_back(pattern);
                }
                pattern.clear();
            } else {
                pattern += c;
            }
        }
        if (!f.patterns.empty()) {
            filters.push_back(f);
        }
    }
    return filters;
}

bool FileChooserDialog::matches(const std::string& name, const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns) {
        if (pattern == "*.*" || pattern == "*" ||
            ::fnmatch(lowered(pattern).c_str(), lowered(name).c_str(), FNM_PERIOD) == 0) {
            return true;
        }
    }
    return false;
}

bool FileChooserDialog::isValidName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > MaximumNameBytes) {
        return false;
    }
    for (unsigned char c : name) {
        if (c == '/' || c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string FileChooserDialog::pathFor(const std::string& folder, const std::string& name,
                                       const std::string& defaultExtension, std::string* why) {
    std::string file = name;
    if (isValidName(file) && !defaultExtension.empty()) {
        // "Lobby" and "Lobby." take the default extension; "Lobby.dat" keeps its own.
        const std::size_t dot = file.rfind('.');
        if (dot == std::string::npos || dot == 0) {
            file += "." + defaultExtension;
        } else if (dot == file.size() - 1) {
            file += defaultExtension;
        }
    }
    if (!isValidName(file)) {
        if (why) {
            *why = formatText(InvalidNameText, {name});
        }
        return std::string();
    }
    return (std::filesystem::path(folder) / file).string();
}

bool FileChooserDialog::browse(const std::string& requested) {
    std::filesystem::path target(requested);
    if (target.is_relative()) {
        target = std::filesystem::path(_folder.empty() ? homeFolder() : _folder) / target;
    }
    const std::string folder = normalFolder(target);
    if (!isFolder(folder)) {
        tell(formatText(FolderMissingText, {folder}));
        return false;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        const int error = errno;
        tell(formatText(FolderUnreadableText, {folder, std::strerror(error)}));
        return false;
    }
    std::vector<Entry> folders;
    std::vector<Entry> files;
    bool truncated = false;
    const std::vector<std::string>& patterns = _filters[static_cast<std::size_t>(_filterIndex)].patterns;
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name.empty() || name[0] == '.') {
            continue; // ".", ".." and hidden files
        }
        if (folders.size() + files.size() >= MaximumEntries) {
            truncated = true;
            break;
        }
        struct stat st {};
        if (::stat((folder + "/" + name).c_str(), &st) != 0) {
            continue; // a dangling link
        }
        if (S_ISDIR(st.st_mode)) {
            folders.push_back({name, true, 0});
        } else if (S_ISREG(st.st_mode) && matches(name, patterns)) {
            files.push_back({name, false, static_cast<uint64_t>(st.st_size)});
        }
    }
    ::closedir(dir);
    const auto byName = [](const Entry& a, const Entry& b) {
        const std::string la = lowered(a.name), lb = lowered(b.name);
        return la != lb ? la < lb : a.name < b.name;
    };
    std::sort(folders.begin(), folders.end(), byName);
    std::sort(files.begin(), files.end(), byName);
    _entries = std::move(folders);
    _entries.insert(_entries.end(), files.begin(), files.end());
    _truncated = truncated;
    _folder = folder;
    return true;
}

nlohmann::json FileChooserDialog::state() const {
    nlohmann::json entries = nlohmann::json::array();
    for (const Entry& e : _entries) {
        entries.push_back({{"name", e.name}, {"folder", e.folder}, {"size", e.size}});
    }
    nlohmann::json filters = nlohmann::json::array();
    for (const Filter& f : _filters) {
        filters.push_back(f.label);
    }
    nlohmann::json places = nlohmann::json::array();
    places.push_back({{"label", "Home"}, {"path", homeFolder()}});
    for (const Place& p : _options.places) {
        if (!p.path.empty()) {
            places.push_back({{"label", p.label}, {"path", p.path}});
        }
    }
    places.push_back({{"label", "Computer"}, {"path", "/"}});
    const std::filesystem::path folder(_folder);
    return {{"title", _options.title},
            {"okText", _options.okText},
            {"folder", _folder},
            {"parent", _folder == "/" ? nlohmann::json(nullptr) : nlohmann::json(normalFolder(folder.parent_path()))},
            {"entries", entries},
            {"truncated", _truncated},
            {"filters", filters},
            {"filterIndex", _filterIndex},
            {"name", _name},
            {"nameVersion", _nameVersion},
            {"places", places}};
}

nlohmann::json FileChooserDialog::call(const std::string& function, const nlohmann::json& args) {
    const auto text = [&](const char* key) {
        if (!args.is_object() || !args.contains(key) || !args[key].is_string()) {
            throw std::invalid_argument(std::string("a file chooser's ") + function + " takes {" + key + ": text}");
        }
        return args[key].get<std::string>();
    };
    if (function == "browse") {
        const std::string folder = text("folder");
        if (folder.empty()) {
            throw std::invalid_argument("no folder");
        }
        const bool ok = browse(folder);
        update();
        return ok;
    }
    if (function == "filter") {
        if (!args.is_object() || !args.contains("index") || !args["index"].is_number_integer()) {
            throw std::invalid_argument("filter takes {index}");
        }
        const int index = args["index"].get<int>();
        if (index < 0 || index >= static_cast<int>(_filters.size())) {
            throw std::invalid_argument("no such filter");
        }
        _filterIndex = index;
        browse(_folder);
        update();
        return true;
    }
    if (function == "choose") {
        choose(text("name"));
        return true;
    }
    return DialogController::call(function, args);
}

void FileChooserDialog::choose(const std::string& name) {
    _name = name;
    if (name.empty()) {
        tell(EmptyNameText);
        return;
    }
    if (!isFolder(_folder)) {
        tell(formatText(FolderMissingText, {_folder}));
        return;
    }
    // A folder's name opens that folder, as in any chooser.
    if (isValidName(name) && isFolder(_folder + "/" + name)) {
        _name.clear();
        ++_nameVersion;
        browse(_folder + "/" + name);
        update();
        return;
    }
    std::string why;
    const std::string path = pathFor(_folder, name, _options.defaultExtension, &why);
    if (path.empty()) {
        tell(why);
        return;
    }
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        tell(formatText(InvalidNameText, {name}));
        return;
    }
    if (_options.fileMustExist && !exists) {
        tell(formatText(FileMissingText, {path}));
        return;
    }
    if (_options.overwritePrompt && exists) {
        std::weak_ptr<FileChooserDialog> self = weak_from_this();
        _dialogs.messageBox(formatText(ReplaceText, {path}), MessageIcon::Warning, MessageButtons::YesNo,
                            [self, path](int answer) {
                                auto chooser = self.lock();
                                if (chooser && answer == Answer::Yes) {
                                    chooser->finish(path);
                                }
                            });
        return;
    }
    finish(path);
}

void FileChooserDialog::finish(const std::string& path) {
    if (!isOpen()) {
        return;
    }
    close();
    if (_chosen) {
        auto chosen = std::move(_chosen);
        chosen(path);
    }
}

void FileChooserDialog::cancel() {
    if (!isOpen()) {
        return;
    }
    close();
    if (_cancelled) {
        auto cancelled = std::move(_cancelled);
        cancelled();
    }
}

void FileChooserDialog::tell(const std::string& text) {
    // While constructing (no host yet) a refused initial folder is simply replaced.
    if (isOpen()) {
        _dialogs.messageBox(text, MessageIcon::Warning);
    }
}

} // namespace ostrel
