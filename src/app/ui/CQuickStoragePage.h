#pragma once

#include "app/ui/CScheduleWizardPage.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

// Schedule wizard page 4 "Storage Group": the storage group file (proposed in
// the storages folder under the site's name, or chosen with "...") and,
// when "Create storage files automatically" is ticked (default), the size of
// each storage file in GB (default "4"), their number (1 to 99, default 1)
// and the total. Finish checks the size (at least 0.5 GB), the number and
// the free space, names the files, asks before a group file is replaced and
// refuses one that is in use or belongs to another site, then creates the
// folder.
class CQuickStoragePage : public CScheduleWizardPage {
public:
    static constexpr const char* Title = "Schedule Wizard : 4. Storage Group";
    static constexpr const char* DefaultSize = "4";
    static constexpr const char* DefaultCount = "1";
    static constexpr int MinimumCount = 1;
    static constexpr int MaximumCount = 99;
    static constexpr uint64_t MinimumBytes = 500000000;
    // Totals from this many GB on are shown as "invalid" and disable Finish.
    static constexpr double TotalLimit = 1000000000.0;
    static constexpr const char* Filter = "Storage Group File(*.strgx)|*.strgx||";
    static constexpr const char* DefaultExtension = "strgx";

    static constexpr const char* SizeTooSmallText = "Storage Size must be larger than 0.5 GB.";
    static constexpr const char* TooManyText = "The number of Storages must be less than 100.";
    static constexpr const char* OverwriteText = "The storage group file already exists. Overwrite the file?";
    static constexpr const char* InUseText =
        "Cannot overwrite : Storage group file is being used by another site or application.";
    static constexpr const char* FolderText = "Cannot create the folder %s : %s";

    CQuickStoragePage(CScheduleWizard& wizard, std::string storagesFolder);

    const char* title() const override { return Title; }
    const char* name() const override { return "storage"; }
    nlohmann::json state() const override;
    // "auto" (flag), "size" and "count" (texts).
    void apply(const nlohmann::json& values) override;
    // Proposes the folder and file after the site's name, unless one was chosen with "...".
    void onSetActive() override;
    // Finish is enabled when automatic creation is off, or the total is above 0 and below 1,000,000,000 GB.
    bool canGoOn() const override;
    void onWizardNext(std::function<void()> proceed) override;

    // "...": the file chooser for the group file.
    void browse();

    const std::string& path() const { return _path; }
    const std::string& folder() const { return _folder; }
    bool createsStorages() const { return _auto; }
    // Set by Finish: the storage files to create and the size of each.
    const std::vector<std::string>& storagePaths() const { return _storagePaths; }
    uint64_t storageBytes() const { return _storageBytes; }

    // "%.2f" of size x number below 1,000,000,000, else "invalid".
    std::string totalText() const;
    // The total in GB; nullopt when the size or the number is not a number.
    std::optional<double> total() const;
    // The number of storages of a text of digits; nullopt for any other text.
    static std::optional<uint64_t> parseCount(const std::string& text);
    // Whether another process holds a lock on the file (a non-blocking
    // exclusive flock fails), or it is not a regular file or cannot be opened.
    static bool isInUse(const std::string& path);

private:
    void askOverwrite(const std::function<void()>& proceed);
    void createFolder(const std::function<void()>& proceed);

    const std::string _storagesFolder;
    std::string _path;
    std::string _folder;
    bool _picked = false;
    bool _auto = true;
    std::string _size = DefaultSize;
    std::string _count = DefaultCount;
    std::vector<std::string> _storagePaths;
    uint64_t _storageBytes = 0;
};

} // namespace ostrel
