// The schedule wizard's storage page and Finish: sizes, counts, totals, free
// space, the overwrite question and the group files and storages of other sites.

#include "CScheduleWizardFixture.h"

#include "app/ui/CFloatEdit.h"
#include "app/ui/FreeDiskSpace.h"
#include "storage/FixedSizeFileStorage.h"

#include <fcntl.h>
#include <sys/file.h>

using namespace ostrel;
using namespace ostrel::testing;
using json = nlohmann::json;

namespace {
UniqueID repositoryOf(const std::string& path) {
    FixedSizeFileStorage storage(FixedSizeFileStorage::Access::ReadOnly);
    UniqueID id = UniqueID::nil();
    if (storage.open(path, false, Storage::CheckOnly)) {
        id = storage.repositoryID();
    }
    storage.close(false);
    return id;
}
} // namespace

TEST_F(ScheduleWizardTest, ProposesTheGroupFileInTheStoragesFolderUnderTheSiteName) {
    openWizard();
    goToStoragePage("Lobby");
    EXPECT_EQ(state()["title"], "Schedule Wizard : 4. Storage Group");
    EXPECT_EQ(state()["storage"]["path"], (storages / "Lobby" / "Lobby.strgx").string());
    EXPECT_TRUE(state()["finish"]);
    EXPECT_FALSE(state()["next"]);
    // A new name moves the proposal along.
    call("back");
    call("back");
    call("back");
    call("change", {{"name", "Gate"}});
    call("next");
    call("next");
    call("next");
    EXPECT_EQ(state()["storage"]["path"], (storages / "Gate" / "Gate.strgx").string());
}

TEST_F(ScheduleWizardTest, TotalsAndTheFinishButtonFollowSizeAndNumber) {
    openWizard();
    goToStoragePage();
    struct Case {
        std::string size, count, total;
        bool finish;
    };
    const std::vector<Case> cases{
        {"4", "12", "48.00", true},
        {"0.4", "1", "0.40", true}, // refused only by Finish
        {"1.25", "3", "3.75", true},
        {"999999999.99", "1", "999999999.99", true},
        {"1000000000", "1", "invalid", false},
        {"500000000", "2", "invalid", false},
        {"18446744073.709551616", "1", "invalid", false},
        {"4", "0", "0.00", false},
        {"", "3", "0.00", false},
        {"4", "", "0.00", false},
        {"4,5", "1", "invalid", false},
        {"1e3", "1", "invalid", false},
        {"-4", "1", "invalid", false},
        {"4", "1x", "invalid", false},
    };
    for (const Case& c : cases) {
        call("change", {{"size", c.size}, {"count", c.count}});
        const json s = state();
        EXPECT_EQ(s["storage"]["total"], c.total) << c.size << " x " << c.count;
        EXPECT_EQ(s["finish"], c.finish) << c.size << " x " << c.count;
    }
    // Automatic creation off: Finish whatever the fields say.
    call("change", {{"auto", false}});
    EXPECT_TRUE(state()["finish"]);
    EXPECT_FALSE(state()["storage"]["fieldsEnabled"]);

    // A Finish the page should not have sent while it was disabled does nothing.
    call("change", {{"auto", true}, {"size", "1000000000"}});
    call("finish");
    EXPECT_EQ(message(), "");
    EXPECT_FALSE(onController([&] { return wizard->isBusy(); }));
}

TEST_F(ScheduleWizardTest, FinishRefusesSmallSizesAndTooManyStorages) {
    openWizard();
    goToStoragePage();
    call("change", {{"size", "0.4"}});
    call("finish");
    EXPECT_EQ(message(), "Storage Size must be larger than 0.5 GB.");
    EXPECT_TRUE(answer(Answer::OK));
    EXPECT_EQ(state()["focus"]["field"], "size");
    EXPECT_EQ(state()["focus"]["select"], true);
    EXPECT_TRUE(wizardOpen());

    call("change", {{"size", "4"}, {"count", "100"}});
    call("finish");
    EXPECT_EQ(message(), "The number of Storages must be less than 100.");
    EXPECT_TRUE(answer(Answer::OK));
    EXPECT_FALSE(onController([&] { return wizard->isBusy(); }));
    EXPECT_FALSE(std::filesystem::exists(storages / "Lobby"));
}

TEST_F(ScheduleWizardTest, FinishRefusesMoreThanTheFreeSpaceNamingTheMountPoint) {
    openWizard();
    goToStoragePage();
    // 99 storages of 10,000,000 GB are far beyond any disk, and no overflow either.
    call("change", {{"size", "10000000"}, {"count", "99"}});
    EXPECT_EQ(state()["storage"]["total"], "990000000.00");
    call("finish");
    const auto space = FreeDiskSpace::of((storages / "Lobby" / "Lobby.strgx").string());
    ASSERT_TRUE(space);
    EXPECT_EQ(message(), "There is not enough space on " + space->mountPoint + ". Please check the disk.");
    EXPECT_EQ(message(), space->notEnoughText());
    EXPECT_TRUE(answer(Answer::OK));
    EXPECT_FALSE(std::filesystem::exists(storages / "Lobby"));
}

TEST_F(ScheduleWizardTest, TwelveStoragesAreNumberedAfterTheSiteNameAndAnOldGroupFileIsKeptOnNo) {
    openWizard();
    goToStoragePage("Lobby");
    call("change", {{"size", "4"}, {"count", "12"}});
    EXPECT_EQ(state()["storage"]["total"], "48.00");
    const uint64_t fourGigabytes = CFloatEdit::parse("4").bytes;
    EXPECT_EQ(fourGigabytes % 524288, 0u);
    EXPECT_GT(fourGigabytes, 4000000000u);

    // Finish goes as far as the names only within the free space of the
    // disk running this, so the storages are the smallest there are.
    const auto space = FreeDiskSpace::of((storages / "Lobby" / "Lobby.strgx").string());
    ASSERT_TRUE(space);
    const uint64_t half = CFloatEdit::parse("0.5").bytes;
    if (space->bytes < 12 * half) {
        GTEST_SKIP() << "less than 6 GB free on " << space->mountPoint;
    }
    // An old group file makes Finish ask before anything is made; No keeps the page.
    std::filesystem::create_directories(storages / "Lobby");
    { std::ofstream(storages / "Lobby" / "Lobby.strgx") << "old"; }
    call("change", {{"size", "0.5"}, {"count", "12"}});
    call("finish");
    EXPECT_EQ(message(), "The storage group file already exists. Overwrite the file?");
    EXPECT_TRUE(answer(Answer::No));
    EXPECT_EQ(message(), "");
    EXPECT_FALSE(onController([&] { return wizard->isBusy(); }));
    EXPECT_EQ(slurp(storages / "Lobby" / "Lobby.strgx"), "old");
    const NewScheduleRequest r = onController([&] { return wizard->request(); });
    ASSERT_EQ(r.storagePaths.size(), 12u);
    for (int n = 1; n <= 12; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "Lobby %02d.strg", n);
        EXPECT_EQ(r.storagePaths[static_cast<std::size_t>(n - 1)], (storages / "Lobby" / name).string());
        EXPECT_FALSE(std::filesystem::exists(storages / "Lobby" / name));
    }
    EXPECT_EQ(r.storageSize, half);
}

TEST_F(ScheduleWizardTest, FinishCreatesTheSiteAndItsStoragesAndArchivesIt) {
    openWizard();
    call("change", {{"name", "Lobby"}, {"address", "127.0.0.1"}, {"port", std::to_string(port)}, {"user", "admin"},
                    {"password", "admin"}});
    call("next");
    call("change", {{"choice", 2}});
    call("next");
    call("change", {{"overwrite", false}});
    call("next");
    call("change", {{"size", "0.5"}, {"count", "2"}});
    EXPECT_EQ(state()["storage"]["total"], "1.00");
    call("finish");
    // Page 4 shows the progress while the files are made on the wizard's thread.
    const json busy = state();
    if (busy["busy"].get<bool>()) {
        EXPECT_FALSE(busy["cancel"]);
        EXPECT_FALSE(busy["back"]);
        EXPECT_TRUE(busy.contains("progress"));
        controller.send([&] { wizard->cancel(); }); // not while the storages are made
        EXPECT_TRUE(wizardOpen());
    }
    ASSERT_TRUE(eventually([&] { return !wizardOpen(); }));
    EXPECT_EQ(message(), "");
    const int handle = onController([&] { return wizard->createdHandle(); });
    ASSERT_GE(handle, 0);

    const auto group = storages / "Lobby" / "Lobby.strgx";
    StorageGroupFile file;
    ASSERT_TRUE(file.load(group.string()));
    EXPECT_EQ(file.repositoryID(), wizard->siteId());
    EXPECT_EQ(file.storageFiles(), (std::vector<std::string>{(storages / "Lobby" / "Lobby 1.strg").string(),
                                                             (storages / "Lobby" / "Lobby 2.strg").string()}));
    file.close();
    EXPECT_EQ(std::filesystem::file_size(storages / "Lobby" / "Lobby 2.strg"), 500170752u);
    EXPECT_EQ(repositoryOf((storages / "Lobby" / "Lobby 1.strg").string()), wizard->siteId());

    controller.send([&] {
        RecordSite* s = sites.findByHandle(handle);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->id(), wizard->siteId());
        EXPECT_EQ(s->name(), "Lobby");
        EXPECT_EQ(s->address(), "127.0.0.1");
        EXPECT_EQ(s->port(), port);
        EXPECT_EQ(s->username(), "admin");
        EXPECT_EQ(s->password(), "admin");
        EXPECT_EQ(s->storageGroupFile(), group.string());
        EXPECT_FALSE(s->overwrite());
        EXPECT_TRUE(s->alwaysArchive());
        EXPECT_TRUE(s->isArchivable());
        EXPECT_EQ(s->storageCapacity(), 2u * 500170752u);
    });
    // Always archiving: it starts from the site's last data.
    ASSERT_TRUE(eventually([&] {
        return onController([&] { return sites.findByHandle(handle)->status() == RecordSite::StatusArchiving; });
    }));
    controller.send([&] { document.stop(handle); });
    ASSERT_TRUE(eventually([&] {
        return onController([&] { return sites.findByHandle(handle)->status() == RecordSite::StatusStopped; });
    }));
}

TEST_F(ScheduleWizardTest, WithoutAutomaticCreationTheGroupHasNoStoragesAndTheSiteWaits) {
    openWizard();
    goToStoragePage("Annex");
    call("change", {{"auto", false}, {"size", "garbage"}});
    call("finish");
    ASSERT_TRUE(eventually([&] { return !wizardOpen(); }));
    StorageGroupFile file;
    ASSERT_TRUE(file.load((storages / "Annex" / "Annex.strgx").string()));
    EXPECT_EQ(file.count(), 0);
    file.close();
    controller.send([&] {
        RecordSite* s = sites.findByHandle(wizard->createdHandle());
        ASSERT_NE(s, nullptr);
        EXPECT_FALSE(s->isArchivable());
        EXPECT_FALSE(s->archiving());
    });
}

TEST_F(ScheduleWizardTest, OverwritingNeverTakesTheGroupFileOfAnotherSiteOfTheSameName) {
    // A site named Lobby keeps its group where the wizard proposes one for a new Lobby.
    const auto group = storages / "Lobby" / "Lobby.strgx";
    const auto storage = storages / "Lobby" / "Lobby 1.strg";
    const UniqueID other = addSite("Lobby", group, {storage.string()});
    const std::string before = slurp(group);
    openWizard();
    call("change", {{"name", "Lobby"}, {"address", "127.0.0.1"}, {"port", std::to_string(port)}, {"user", "admin"}});
    call("next");
    EXPECT_TRUE(answer(Answer::Yes)); // there is a site with the same name
    call("next");
    call("next");
    call("change", {{"size", "0.5"}, {"count", "1"}});
    call("finish");
    EXPECT_EQ(message(), "The storage group file already exists. Overwrite the file?");
    EXPECT_TRUE(answer(Answer::Yes));
    EXPECT_EQ(message(), "Cannot overwrite : Storage group file is being used by another site or application.");
    EXPECT_TRUE(answer(Answer::OK));
    EXPECT_TRUE(wizardOpen());
    EXPECT_FALSE(onController([&] { return wizard->isBusy(); }));
    EXPECT_EQ(slurp(group), before);
    EXPECT_EQ(repositoryOf(storage.string()), other);

    // The same file under another name (a link) is refused too.
    std::filesystem::create_directories(storages / "Elsewhere");
    std::filesystem::create_symlink(group, storages / "Elsewhere" / "link.strgx");
    EXPECT_FALSE(onController([&] {
        return document.mayReplaceGroupFile((storages / "Elsewhere" / "link.strgx").string(), UniqueID());
    }));
    // A group file whose site is gone may be replaced.
    controller.send([&] { sites.remove(*sites.findById(other)); });
    EXPECT_TRUE(onController([&] { return document.mayReplaceGroupFile(group.string(), UniqueID()); }));
}

TEST_F(ScheduleWizardTest, TheDocumentRefusesAnotherSitesGroupFileWhoeverAsks) {
    const auto group = dir / "shared" / "Gate.strgx";
    const UniqueID other = addSite("Gate", group);
    const std::string before = slurp(group);
    NewScheduleRequest r;
    r.name = "Gate";
    r.address = "127.0.0.1";
    r.port = port;
    r.user = "admin";
    r.groupFilePath = group.string();
    EXPECT_EQ(onController([&] { return document.newSchedule(r); }), -1);
    EXPECT_EQ(message(), "Cannot create storage group");
    EXPECT_EQ(slurp(group), before);
    // createStorageGroup is guarded the same way.
    EXPECT_FALSE(onController([&] { return document.createStorageGroup(0, r.siteId, r.groupFilePath, {}, 0); }));
    EXPECT_EQ(slurp(group), before);
    EXPECT_TRUE(onController([&] { return sites.findById(other) != nullptr; }));
}

TEST_F(ScheduleWizardTest, AGroupFileLockedByAnotherApplicationIsNotOverwritten) {
    std::filesystem::create_directories(storages / "Lobby");
    const auto group = storages / "Lobby" / "Lobby.strgx";
    { std::ofstream(group) << "someone else's"; }
    const int fd = ::open(group.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_SH | LOCK_NB), 0);
    EXPECT_TRUE(CQuickStoragePage::isInUse(group.string()));
    openWizard();
    goToStoragePage("Lobby");
    call("change", {{"size", "0.5"}});
    call("finish");
    EXPECT_TRUE(answer(Answer::Yes));
    EXPECT_EQ(message(), CQuickStoragePage::InUseText);
    EXPECT_TRUE(answer(Answer::OK));
    EXPECT_EQ(slurp(group), "someone else's");
    ::close(fd);
    EXPECT_FALSE(CQuickStoragePage::isInUse(group.string()));
    EXPECT_FALSE(CQuickStoragePage::isInUse((storages / "none.strgx").string()));
    EXPECT_TRUE(CQuickStoragePage::isInUse(storages.string())) << "a folder is no group file to overwrite";

    // Released: Yes replaces it with the new site's group.
    call("finish");
    EXPECT_TRUE(answer(Answer::Yes));
    ASSERT_TRUE(eventually([&] { return !wizardOpen(); }));
    StorageGroupFile file;
    ASSERT_TRUE(file.load(group.string()));
    EXPECT_EQ(file.repositoryID(), wizard->siteId());
    file.close();
}

TEST_F(ScheduleWizardTest, StorageFilesThatExistAlreadyAreNeitherOverwrittenNorListed) {
    // Storage files of a site that was deleted with its files kept, at the
    // names the wizard proposes for a new site of that name.
    const auto folder = storages / "Lobby";
    const auto oldFile = folder / "Lobby 1.strg";
    std::filesystem::create_directories(folder);
    const UniqueID previous;
    ASSERT_TRUE(SiteStorage::createStorageFile(oldFile.string(), SiteStorage::storageBytes(0.064), previous));
    openWizard();
    goToStoragePage("Lobby");
    call("change", {{"size", "0.5"}, {"count", "2"}});
    call("finish");
    ASSERT_TRUE(eventually([&] { return !wizardOpen() || !onController([&] { return wizard->isBusy(); }); }));
    ASSERT_TRUE(eventually([&] { return !message().empty(); }));
    EXPECT_EQ(dismissAll(), std::vector<std::string>{"Some storage files cannot be created properly. Please check "
                                                     "the storages created on Storage Manager."});
    EXPECT_FALSE(wizardOpen());
    EXPECT_EQ(repositoryOf(oldFile.string()), previous);
    EXPECT_EQ(std::filesystem::file_size(oldFile), SiteStorage::storageBytes(0.064));
    StorageGroupFile file;
    ASSERT_TRUE(file.load((folder / "Lobby.strgx").string()));
    EXPECT_EQ(file.storageFiles(), std::vector<std::string>{(folder / "Lobby 2.strg").string()});
    file.close();
}
