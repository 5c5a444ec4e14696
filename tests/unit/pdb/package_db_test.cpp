#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pdb/package_db.h"
#include "planning/catalogue.h"
#include "run/installer.h"

namespace velmora {
namespace {

constexpr Version kV60 = 100689408;  // 6.0
constexpr Version kV61 = 100754944;  // 6.1

// A router tree in a scratch directory, with the database pointed at it.
class PackageDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pdb-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ + "/flash/var/pdb");
        std::filesystem::create_directories(root_ + "/ram/pdb");
        setDbPaths({root_ + "/flash/var/pdb/", root_ + "/ram/pdb/", root_ + "/flash", root_ + "/flash/bootimage"});
        resetInstaller();
    }
    void TearDown() override {
        cancel(changes_);
        setDbPaths({});
        resetInstaller();
        if (mounted_) ::umount2(mountPoint_.c_str(), MNT_DETACH);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    static void resetInstaller() {
        Installer& installer = Installer::instance();
        installer.packages.clear();
        installer.messages.clear();
        installer.status.clear();
        installer.quiet = false;
    }

    std::string db(const std::string& name, const std::string& file = "") const {
        return root_ + "/flash/var/pdb/" + name + "/" + file;
    }
    void put(const std::string& path, const std::string& content) const {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }
    void putDb(const std::string& name, const std::string& file, const std::string& content) const {
        put(db(name, file), content);
    }
    void putSchedule(const std::string& name, const std::string& word) const {
        put(root_ + "/ram/pdb/" + name + "/schedule", word);
    }
    static std::optional<std::string> read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in.is_open()) return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static bool exists(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0;
    }
    static std::unique_ptr<PackageRecord> load(const std::string& name) {
        auto record = std::make_unique<PackageRecord>(name);
        loadRecordState(*record);
        return record;
    }
    bool hasOp(const std::string& target, FileOpKind kind) const {
        auto it = changes_.ops.find(target);
        return it != changes_.ops.end() && it->second.kind == kind;
    }
    void commitChanges() {
        commit(changes_, "", false);
        changes_.ops.clear();
    }
    // Mounts a small tmpfs over the database; the reason when impossible.
    std::string mountSmallDatabase(unsigned long bytes) {
        if (::geteuid() != 0) return "tmpfs needs root";
        mountPoint_ = root_ + "/flash/var/pdb";
        std::string options = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", mountPoint_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            return std::string("cannot mount tmpfs: ") + std::strerror(errno);
        }
        mounted_ = true;
        return {};
    }

    static std::unique_ptr<PackageRecord> fullRecord() {
        auto record = std::make_unique<PackageRecord>("stavel");
        record->version = kV61;
        record->buildTime = 1300000000;
        record->deps = {{"system", kV60, 0, 0}};
        record->provides = {{"dhcpd", 1, 2, -7}, {"ntpd", 0, 0, 5}};
        record->conflicts = {{"oldstavel", 0, kV60, 0}};
        record->bundleRef = {"velmora", kV61, kV61, 0};
        record->files = {"/bin/foo", "/lib/libstavel.so"};
        record->disabled = true;
        record->userForced = true;
        return record;
    }

    std::string root_;
    ChangeSet changes_;
    std::string mountPoint_;
    bool mounted_ = false;
};

TEST_F(PackageDbTest, DirectoryOfARecordEndsWithASlash) {
    setDbPaths({});
    EXPECT_EQ(dbDirOf(PackageRecord("stavel")), "/flash/var/pdb/stavel/");
}

TEST_F(PackageDbTest, StoredRecordWritesEveryFileAndLoadsBack) {
    auto record = fullRecord();
    ASSERT_TRUE(storeRecord(*record, changes_));
    commitChanges();

    EXPECT_EQ(read(db("stavel", "version")), "100754944 1300000000\n");
    EXPECT_EQ(read(db("stavel", "deps")), "system 100689408 0\n");
    EXPECT_EQ(read(db("stavel", "provides")), "dhcpd 1 2 -7\nntpd 0 0 5\n");
    EXPECT_EQ(read(db("stavel", "conflicts")), "oldstavel 0 100689408\n");
    EXPECT_EQ(read(db("stavel", "bundle")), "velmora\n");
    EXPECT_EQ(read(db("stavel", "files")), "bin/foo\nlib/libstavel.so\n");
    EXPECT_EQ(read(db("stavel", "disabled")), "user\n");
    EXPECT_FALSE(exists(db("stavel", "enabled")));

    auto back = load("stavel");
    EXPECT_EQ(back->version, kV61);
    EXPECT_EQ(back->buildTime, 1300000000u);
    ASSERT_EQ(back->deps.size(), 1u);
    EXPECT_EQ(back->deps[0].name, "system");
    EXPECT_EQ(back->deps[0].min, kV60);
    ASSERT_EQ(back->provides.size(), 2u);
    EXPECT_EQ(back->provides[0].priority, -7);
    EXPECT_EQ(back->provides[1].name, "ntpd");
    EXPECT_EQ(back->provides[1].priority, 5);
    ASSERT_EQ(back->conflicts.size(), 1u);
    EXPECT_EQ(back->conflicts[0].max, kV60);
    EXPECT_EQ(back->conflicts[0].priority, 0);
    // Only the bundle's name is stored, and a member found on its own in the
    // database is left over from its bundle.
    EXPECT_EQ(back->bundleRef.name, "velmora");
    EXPECT_EQ(back->bundleRef.min, 0u);
    EXPECT_EQ(back->action, Uninstall);
    EXPECT_FALSE(back->isBundle);
    EXPECT_EQ(back->files, record->files);
    EXPECT_TRUE(back->disabled);
    EXPECT_TRUE(back->userForced);
}

TEST_F(PackageDbTest, OptionalFilesFollowTheRecord) {
    putDb("stavel", "bundle", "velmora\n");
    putDb("stavel", "provides", "old 1 2 3\n");
    putDb("stavel", "files", "bin/old\n");
    PackageRecord record("stavel");
    record.version = kV61;
    record.isBundle = true;
    ASSERT_TRUE(storeRecord(record, changes_));
    commitChanges();

    EXPECT_EQ(read(db("stavel", "deps")), "");  // always written, empty for no dependencies
    EXPECT_FALSE(exists(db("stavel", "bundle")));
    // An empty list does not touch what is there; a bundle writes no "files".
    EXPECT_EQ(read(db("stavel", "provides")), "old 1 2 3\n");
    EXPECT_FALSE(exists(db("stavel", "conflicts")));
    EXPECT_EQ(read(db("stavel", "files")), "bin/old\n");
}

TEST_F(PackageDbTest, RecordsWithoutMetadataStoreOnlyTheirState) {
    for (int keeps = 0; keeps < 2; ++keeps) {
        SCOPED_TRACE(keeps ? "keeps its image" : "flag bit 1");
        PackageRecord record(keeps ? "imaged" : "nometa");
        record.version = kV61;
        record.keepsImage = keeps == 1;
        record.flags = keeps ? 0 : FlagNoMetadata;
        record.disabled = true;
        ASSERT_TRUE(storeRecord(record, changes_));
        commitChanges();
        EXPECT_FALSE(exists(db(record.name, "version")));
        EXPECT_FALSE(exists(db(record.name, "files")));
        EXPECT_EQ(read(db(record.name, "disabled")), "auto\n");
    }
}

struct SavedState {
    const char* name;
    bool disabled;
    bool userForced;
    std::optional<std::string> disabledFile;
    std::optional<std::string> enabledFile;
};

TEST_F(PackageDbTest, SavedStateWritesOneStateFileAndLoadsBack) {
    const SavedState rows[] = {
        {"DisabledByUser", true, true, "user\n", std::nullopt},
        {"DisabledAutomatically", true, false, "auto\n", std::nullopt},
        {"EnabledByUser", false, true, std::nullopt, "user\n"},
        {"EnabledAutomatically", false, false, std::nullopt, std::nullopt},
    };
    for (const SavedState& row : rows) {
        SCOPED_TRACE(row.name);
        putDb("stavel", "disabled", "stale\n");
        putDb("stavel", "enabled", "stale\n");
        PackageRecord record("stavel");
        record.version = kV61;
        record.disabled = row.disabled;
        record.userForced = row.userForced;
        ASSERT_TRUE(saveRecord(record, changes_));
        commitChanges();
        EXPECT_EQ(read(db("stavel", "disabled")), row.disabledFile);
        EXPECT_EQ(read(db("stavel", "enabled")), row.enabledFile);
        auto back = load("stavel");
        EXPECT_EQ(back->disabled, row.disabled);
        EXPECT_EQ(back->userForced, row.userForced);
    }
}

struct LoadedState {
    const char* name;
    std::optional<std::string> disabledFile;
    bool enabledFile;
    std::optional<std::string> schedule;
    bool disabled;
    bool userForced;
    PendingAction action;
};

TEST_F(PackageDbTest, StateComesFromStateFilesAndTheSchedule) {
    const LoadedState rows[] = {
        {"NoStateFiles", std::nullopt, false, std::nullopt, false, false, None},
        {"DisabledAuto", "auto\n", false, std::nullopt, true, false, None},
        {"DisabledUser", "user\n", false, std::nullopt, true, true, None},
        {"DisabledEmptyCountsAsUser", "", false, std::nullopt, true, true, None},
        {"EnabledWithoutDisabled", std::nullopt, true, std::nullopt, false, true, None},
        {"BothPresentIsDisabled", "auto\n", true, std::nullopt, true, false, None},
        {"EnableScheduledWhileEnabled", std::nullopt, false, "enable\n", false, true, Enable},
        {"DisableScheduled", std::nullopt, false, "disable", false, true, Disable},
        {"UninstallKeepsAutoState", "auto\n", false, "uninstall\n", true, false, Uninstall},
        {"UnknownWordIgnored", "auto\n", false, "purge\n", true, false, None},
        {"EmptyScheduleIgnored", std::nullopt, false, "", false, false, None},
    };
    for (const LoadedState& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(db("stavel"));
        std::filesystem::remove_all(root_ + "/ram/pdb/stavel");
        putDb("stavel", "version", "100754944 1300000000\n");
        putDb("stavel", "deps", "");
        putDb("stavel", "files", "bin/foo\n");
        if (row.disabledFile) putDb("stavel", "disabled", *row.disabledFile);
        if (row.enabledFile) putDb("stavel", "enabled", "user\n");
        if (row.schedule) putSchedule("stavel", *row.schedule);
        auto record = load("stavel");
        EXPECT_EQ(record->disabled, row.disabled);
        EXPECT_EQ(record->userForced, row.userForced);
        EXPECT_EQ(record->action, row.action);
    }
}

TEST_F(PackageDbTest, PlaceholderTakesNoSchedule) {
    putDb("ghost", "version", "4294967295 4294967295\n");
    putDb("ghost", "files", "");
    putSchedule("ghost", "enable\n");
    auto record = load("ghost");
    EXPECT_EQ(record->action, None);
    EXPECT_FALSE(record->userForced);
}

TEST_F(PackageDbTest, EmptyDirectoryLoadsAsADamagedBundle) {
    std::filesystem::create_directories(db("stavel"));
    auto record = load("stavel");
    EXPECT_TRUE(record->isBundle);
    EXPECT_FALSE(record->disabled);
    EXPECT_FALSE(record->userForced);
    EXPECT_EQ(record->action, Uninstall);
    EXPECT_TRUE(record->deps.empty());
}

TEST_F(PackageDbTest, DamagedListKeepsEntriesBeforeTheDamage) {
    putDb("stavel", "version", "100754944 1300000000\n");
    putDb("stavel", "deps", "system 100689408 0\nstavel 6.1 0\nntp 1 2\n");
    putDb("stavel", "files", "bin/foo\n");
    auto record = load("stavel");
    ASSERT_EQ(record->deps.size(), 1u);
    EXPECT_EQ(record->deps[0].name, "system");
    EXPECT_EQ(record->deps[0].min, kV60);
    EXPECT_EQ(record->deps[0].max, 0u);
    EXPECT_EQ(record->action, Uninstall);
    EXPECT_EQ(record->files, (std::set<std::string>{"/bin/foo"}));
}

TEST_F(PackageDbTest, RecordFromAnImageKeepsItsMetadata) {
    putDb("stavel", "version", "garbage\n");
    putDb("stavel", "deps", "x 1\n");
    PackageRecord record("stavel");
    record.version = kV61;
    record.deps = {{"system", 1, 2, 0}};
    loadRecordState(record);
    EXPECT_EQ(record.action, None);
    ASSERT_EQ(record.deps.size(), 1u);
    EXPECT_EQ(record.deps[0].name, "system");
    EXPECT_FALSE(record.isBundle);  // untouched: "files" is not looked at either
}

TEST_F(PackageDbTest, DamagedFilesNeitherCrashNorEscape) {
    putDb("stavel", "version", "99999999999999999999999 1\n");
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    putDb("stavel", "provides", garbage);
    putDb("stavel", "bundle", std::string(1 << 20, 'b'));
    putDb("stavel", "files", "bin/ok\n../../etc/passwd\nbin/../../../x\n" + std::string(8 << 20, 'z'));
    auto record = load("stavel");
    EXPECT_EQ(record->action, Uninstall);
    EXPECT_TRUE(record->bundleRef.name.empty());
    EXPECT_EQ(record->files, (std::set<std::string>{"/bin/ok"}));
}

TEST_F(PackageDbTest, MillionLineFilesFileLoads) {
    std::string content;
    for (int i = 0; i < 1000000; ++i) content += "bin/f" + std::to_string(i % 1000) + "\n";
    putDb("stavel", "version", "1 1\n");
    putDb("stavel", "files", content);
    auto record = load("stavel");
    EXPECT_EQ(record->files.size(), 1000u);
    EXPECT_EQ(record->action, None);  // a missing "deps" is an empty list, not damage
}

TEST_F(PackageDbTest, UnwritableMetadataIsReportedAndStopsTheSave) {
    // The database root is a plain file, so no temporary file can be made.
    put(root_ + "/notadir", "");
    setDbPaths({root_ + "/notadir/pdb/", root_ + "/ram/pdb/", root_ + "/flash", root_ + "/flash/bootimage"});
    auto record = fullRecord();
    record->bundleRef = {};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(saveRecord(*record, changes_));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(Installer::instance().messages.size(), 1u);
    EXPECT_EQ(Installer::instance().messages[0],
              "ERROR: installation of stavel-6.1 failed: could not create meta/version: Not a directory");
    EXPECT_FALSE(changes_.ops.count(root_ + "/notadir/pdb/stavel/deps"));
    EXPECT_FALSE(changes_.ops.count(root_ + "/notadir/pdb/stavel/disabled"));
}

TEST_F(PackageDbTest, FullDiskIsReportedAsTooSmall) {
    if (std::string why = mountSmallDatabase(8 * 4096); !why.empty()) GTEST_SKIP() << why;
    auto record = fullRecord();
    record->bundleRef = {};
    for (int i = 0; i < 4000; ++i) record->files.insert("/lib/modules/a-rather-long-module-name-" + std::to_string(i));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(storeRecord(*record, changes_));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(Installer::instance().messages.size(), 1u);
    EXPECT_EQ(Installer::instance().messages[0], "ERROR: installation of stavel-6.1 failed: disk is too small");
    // What was queued before the failure stays for the caller to cancel.
    EXPECT_TRUE(hasOp(db("stavel", "version"), FileOpKind::MoveTemp));
    EXPECT_FALSE(changes_.ops.count(db("stavel", "disabled")));
}

TEST_F(PackageDbTest, DisableAndEnableStoreTheNewState) {
    struct Row {
        const char* name;
        bool disable;
        bool userForced;
        std::optional<std::string> disabledFile;
        std::optional<std::string> enabledFile;
    };
    const Row rows[] = {
        {"DisableAutomatically", true, false, "auto\n", std::nullopt},
        {"DisableByUser", true, true, "user\n", std::nullopt},
        {"EnableByUser", false, true, std::nullopt, "user\n"},
        {"EnableAutomatically", false, false, std::nullopt, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        putDb("stavel", "disabled", "user\n");
        putDb("stavel", "enabled", "user\n");
        PackageRecord record("stavel");
        record.disabled = !row.disable;
        record.userForced = row.userForced;
        record.action = row.disable ? Disable : Enable;
        if (row.disable) {
            disableRecord(record, changes_);
        } else {
            enableRecord(record, changes_);
        }
        EXPECT_EQ(record.disabled, row.disable);
        EXPECT_EQ(record.action, None);
        commitChanges();
        EXPECT_EQ(read(db("stavel", "disabled")), row.disabledFile);
        EXPECT_EQ(read(db("stavel", "enabled")), row.enabledFile);
    }
}

TEST_F(PackageDbTest, RemovalSchedulesFilesDirectoryAndImage) {
    put(root_ + "/flash/bin/foo", "x");
    put(root_ + "/flash/lib/libstavel.so", "x");
    putDb("stavel", "version", "1 1\n");
    putDb("stavel", "image", "package");
    auto record = fullRecord();
    record->files.insert("/bin/gone");  // already missing: nothing to schedule
    record->action = Uninstall;
    removeRecord(*record, changes_);

    EXPECT_TRUE(hasOp(root_ + "/flash//bin/foo", FileOpKind::Unlink));
    EXPECT_TRUE(hasOp(root_ + "/flash//lib/libstavel.so", FileOpKind::Unlink));
    EXPECT_TRUE(hasOp(db("stavel"), FileOpKind::Unlink));
    EXPECT_TRUE(hasOp(db("stavel", "image"), FileOpKind::Unlink));
    EXPECT_EQ(changes_.ops.size(), 4u);
    EXPECT_TRUE(record->files.empty());
    EXPECT_EQ(record->action, None);

    commitChanges();
    EXPECT_FALSE(exists(root_ + "/flash/bin/foo"));
    EXPECT_FALSE(exists(db("stavel")));
}

TEST_F(PackageDbTest, BootImageGoesOnlyWithItsLastLink) {
    for (int links = 1; links <= 2; ++links) {
        SCOPED_TRACE(links);
        std::filesystem::remove(root_ + "/flash/bootimage.second");
        put(root_ + "/flash/bootimage", "kernel");
        if (links == 2) ::link((root_ + "/flash/bootimage").c_str(), (root_ + "/flash/bootimage.second").c_str());
        ChangeSet changes;
        PackageRecord record("kernel");
        record.flags = FlagBootImage;
        removeRecord(record, changes);
        EXPECT_EQ(changes.ops.count(root_ + "/flash/bootimage"), links == 1 ? 1u : 0u);
    }
}

TEST_F(PackageDbTest, ReinstallInTheSameRunKeepsTheDirectory) {
    putDb("stavel", "version", "1 1\n");
    putDb("stavel", "files", "bin/old\n");
    auto record = load("stavel");
    removeRecord(*record, changes_);
    ASSERT_TRUE(hasOp(db("stavel"), FileOpKind::Unlink));

    auto again = fullRecord();
    ASSERT_TRUE(storeRecord(*again, changes_));
    EXPECT_FALSE(changes_.ops.count(db("stavel")));
    commitChanges();
    EXPECT_EQ(read(db("stavel", "files")), "bin/foo\nlib/libstavel.so\n");
}

TEST_F(PackageDbTest, NamesThatAreNotOneDirectoryEntryGetNoDirectory) {
    put(root_ + "/flash/var/keep", "x");
    for (const char* name : {"", ".", "..", "a/b", "../.."}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(isStorableName(name));
        PackageRecord record(name);
        EXPECT_FALSE(prepareRecordDir(record, changes_));
        removeRecord(record, changes_);
        disableRecord(record, changes_);
        EXPECT_TRUE(changes_.ops.empty());
    }
    EXPECT_TRUE(isStorableName("stavel"));
    EXPECT_TRUE(isStorableName("..x"));
}

TEST_F(PackageDbTest, DirectoryWithAnotherPendingOperationCannotBeUsed) {
    scheduleLink(changes_, "/elsewhere", db("stavel"));
    EXPECT_FALSE(prepareRecordDir(PackageRecord("stavel"), changes_));
    EXPECT_TRUE(hasOp(db("stavel"), FileOpKind::Link));
    EXPECT_TRUE(prepareRecordDir(PackageRecord("fresh"), changes_));
}

TEST_F(PackageDbTest, FileInPlaceOfTheDirectoryFailsTheStore) {
    // stat of "stavel/" fails, so the directory counts as absent; writing
    // into it is what fails.
    put(db("stavel").substr(0, db("stavel").size() - 1), "not a directory");
    auto record = fullRecord();
    record->bundleRef = {};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(storeRecord(*record, changes_));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(Installer::instance().messages.size(), 1u);
    EXPECT_EQ(Installer::instance().messages[0],
              "ERROR: installation of stavel-6.1 failed: could not create meta/version: Not a directory");
}

TEST_F(PackageDbTest, UninstallNamedRemovesTheFirstRecordOfThatName) {
    Installer& installer = Installer::instance();
    appendRecord(installer, std::make_unique<PackageRecord>("system"));
    appendRecord(installer, std::make_unique<PackageRecord>("stavel"));
    appendRecord(installer, std::make_unique<PackageRecord>("stavel"));
    putDb("stavel", "version", "1 1\n");

    EXPECT_FALSE(uninstallNamed(installer, changes_, "nosuch"));
    EXPECT_EQ(installer.packages.size(), 3u);
    EXPECT_TRUE(changes_.ops.empty());

    PackageRecord* second = installer.packages[2].get();
    EXPECT_TRUE(uninstallNamed(installer, changes_, "stavel"));
    ASSERT_EQ(installer.packages.size(), 2u);
    EXPECT_EQ(installer.packages[0]->name, "system");
    EXPECT_EQ(installer.packages[1].get(), second);
    EXPECT_TRUE(hasOp(db("stavel"), FileOpKind::Unlink));
}

}  // namespace
}  // namespace velmora
