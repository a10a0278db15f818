#pragma once

#include "app/ui/DialogController.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ostrel {

class DialogHost;

// A file chooser for files on the machine Ostrel runs on: the page browses the
// folders this process can reach and types a file name; every check and the
// result live here, on the controller thread.
//
// How to use it (on the controller thread):
//   FileChooserDialog::Options options;
//   options.filter = "Storage Group File(*.strgx)|*.strgx||";  // label|patterns|...|| (patterns joined by ';')
//   options.defaultExtension = "strgx";       // added to a typed name without extension
//   options.initialPath = folder + "/Lobby.strgx"; // folder to start in (nearest existing one) and proposed name;
//                                             // a path ending in "/" is a folder alone
//   options.overwritePrompt = false;          // ask before choosing an existing file
//   options.fileMustExist = false;            // an "open" chooser: the file must be there
//   options.places = {{"Storages", storagesFolder}}; // shortcuts shown beside Home and "/"
//   dialogs.open(std::make_shared<FileChooserDialog>(dialogs, options,
//       [](const std::string& path) { /* the chosen full path */ },
//       [] { /* optional: Cancel */ }));
// The continuation runs once, after the chooser has closed, with an absolute
// path whose folder exists and whose file name passed the name check (not
// empty, not "." or "..", no "/" and no control character, at most 255 bytes),
// so the path never leaves the chosen folder. The chooser's own complaints are
// message boxes over it; the chooser stays open for another try.
//
// Page side: /js/filechooser.js draws the kind "fileChooser".
class FileChooserDialog : public DialogController, public std::enable_shared_from_this<FileChooserDialog> {
public:
    using Continuation = std::function<void(const std::string& path)>;

    struct Place {
        std::string label;
        std::string path;
    };
    struct Options {
        std::string title = "Save As";
        // "Label(*.ext)|*.ext||": label and pattern pairs, as the platform's choosers take them.
        std::string filter;
        std::string defaultExtension;
        std::string initialPath;
        bool overwritePrompt = false;
        bool fileMustExist = false;
        std::string okText = "Save";
        std::vector<Place> places;
    };
    struct Filter {
        std::string label;
        std::vector<std::string> patterns;
    };
    struct Entry {
        std::string name;
        bool folder = false;
        uint64_t size = 0;
    };

    // Folders list at most this many entries (the page says when there were more).
    static constexpr std::size_t MaximumEntries = 2000;
    static constexpr std::size_t MaximumNameBytes = 255;

    FileChooserDialog(DialogHost& dialogs, Options options, Continuation chosen, std::function<void()> cancelled = {});

    std::string kind() const override { return "fileChooser"; }
    nlohmann::json state() const override;
    // "browse" {folder}: an absolute folder, or one relative to the current folder ("..", a subfolder name).
    // "filter" {index}: lists the files of another filter.
    // "choose" {name}: checks the name in the current folder and ends the chooser with it.
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;
    void cancel() override;

    const std::string& folder() const { return _folder; }
    const std::vector<Entry>& entries() const { return _entries; }
    const std::string& name() const { return _name; }

    // Builds the full path for `name` typed in `folder` (the default extension
    // added when the name has none); "" with the reason in `why` when the name
    // is refused.
    static std::string pathFor(const std::string& folder, const std::string& name, const std::string& defaultExtension,
                               std::string* why = nullptr);
    static bool isValidName(const std::string& name);
    static std::vector<Filter> parseFilter(const std::string& filter);
    static bool matches(const std::string& name, const std::vector<std::string>& patterns);

    // The chooser's own messages.
    static constexpr const char* InvalidNameText = "%s\nThe file name is not valid.";
    static constexpr const char* FolderMissingText = "%s\nThe folder does not exist.";
    static constexpr const char* FolderUnreadableText = "%s\nThe folder cannot be opened : %s";
    static constexpr const char* FileMissingText = "%s\nFile not found.";
    static constexpr const char* ReplaceText = "%s already exists.\nDo you want to replace it?";
    static constexpr const char* EmptyNameText = "Please type a file name.";

private:
    // Lists `folder`; false (after telling the user) when it cannot be listed.
    bool browse(const std::string& folder);
    void choose(const std::string& name);
    void finish(const std::string& path);
    void tell(const std::string& text);

    DialogHost& _dialogs;
    Options _options;
    Continuation _chosen;
    std::function<void()> _cancelled;
    std::vector<Filter> _filters;
    int _filterIndex = 0;
    std::string _folder;
    std::string _name;
    std::vector<Entry> _entries;
    bool _truncated = false;
    // Bumped whenever the page must take the name from the state again.
    int _nameVersion = 0;
};

} // namespace ostrel
