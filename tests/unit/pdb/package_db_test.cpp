#include "pdb/package_db.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "planning/catalogue.h"
#include "scratch_root.h"

namespace velmora {
namespace {

using db_test::render;
using db_test::summary;
using Files = std::vector<std::pair<std::string, std::string>>;  // database file, content

constexpr Version kV60 = 100689408;  // 6.0
constexpr Version kV61 = 100754944;  // 6.1

class PackageDbTest : public db_test::ScratchRoot {
protected:
    void TearDown() override {
        if (!mountPoint_.empty()) ::umount2(mountPoint_.c_str(), MNT_DETACH);
        ScratchRoot::TearDown();
    }
    // "schedule" goes to the schedule tree, every other file to the database.
    void putFiles(const std::string& name, const Files& files) const {
        for (const auto& [file, content] : files) {
            put(file == "schedule" ? root_ + "/ram/pdb/" + name + "/schedule" : db(name, file), content);
        }
    }
    static std::unique_ptr<PackageRecord> load(const std::string& name) {
        auto record = std::make_unique<PackageRecord>(name);
        loadRecordState(*record);
        return record;
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
        record->disabled = record->userForced = true;
        return record;
    }
    // The store fails with exactly this one message.
    void expectStoreFailure(const PackageRecord& record, const std::string& message) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(storeRecord(record, changes_));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Installer::instance().messages, std::vector<std::string>{message});
    }

    std::string mountPoint_;
};

TEST_F(PackageDbTest, StoredRecordWritesEveryFileAndLoadsBack) {
    auto record = fullRecord();
    ASSERT_TRUE(storeRecord(*record, changes_));
    commitChanges();
    const Files expected = {{"version", "100754944 1300000000\n"}, {"deps", "system 100689408 0\n"},
                            {"provides", "dhcpd 1 2 -7\nntpd 0 0 5\n"}, {"conflicts", "oldstavel 0 100689408\n"},
                            {"bundle", "velmora\n"}, {"files", "bin/foo\nlib/libstavel.so\n"}, {"disabled", "user\n"}};
    for (const auto& [file, content] : expected) EXPECT_EQ(read(db("stavel", file)), content) << file;
    EXPECT_FALSE(exists(db("stavel", "enabled")));

    auto back = load("stavel");
    EXPECT_EQ(back->version, kV61);
    EXPECT_EQ(back->buildTime, 1300000000u);
    EXPECT_EQ(render(back->provides), render(record->provides));
    EXPECT_EQ(render(back->conflicts), render(record->conflicts));
    // Only the bundle's name is stored, and a member found on its own in the
    // database is left over from its bundle.
    EXPECT_EQ(summary(*back),
              "uninstall off user deps=system 100689408 0 0; in=velmora 0 0 0; /bin/foo /lib/libstavel.so");
}

TEST_F(PackageDbTest, OptionalFilesFollowTheRecord) {
    putFiles("stavel", {{"bundle", "velmora\n"}, {"provides", "old 1 2 3\n"}, {"files", "bin/old\n"}});
    PackageRecord bundle("stavel");
    bundle.version = kV61;
    bundle.isBundle = true;
    ASSERT_TRUE(storeRecord(bundle, changes_));
    // Without metadata (flag bit 1) only the state is stored; with an image
    // kept, the state and the file list.
    for (bool keepsImage : {false, true}) {
        PackageRecord record(keepsImage ? "imaged" : "nometa");
        record.version = kV61;
        record.keepsImage = keepsImage;
        record.flags = keepsImage ? 0 : FlagNoMetadata;
        record.disabled = true;
        ASSERT_TRUE(storeRecord(record, changes_));
    }
    commitChanges();
    EXPECT_EQ(read(db("stavel", "deps")), "");  // always written, empty for no dependencies
    EXPECT_FALSE(exists(db("stavel", "bundle")));
    // An empty list does not touch what is there; a bundle writes no "files".
    EXPECT_EQ(read(db("stavel", "provides")), "old 1 2 3\n");
    EXPECT_FALSE(exists(db("stavel", "conflicts")));
    EXPECT_EQ(read(db("stavel", "files")), "bin/old\n");
    // A package that keeps its image still lists the files it owns.
    EXPECT_FALSE(exists(db("nometa", "version")) || exists(db("nometa", "files")));
    EXPECT_FALSE(exists(db("imaged", "version")));
    EXPECT_EQ(read(db("imaged", "files")), "");
    for (const char* name : {"nometa", "imaged"}) EXPECT_EQ(read(db(name, "disabled")), "auto\n") << name;
}

// Saving a record, and disabling or enabling it, write one state file (or
// none) over stale ones; the state loads back as it was stored.
TEST_F(PackageDbTest, StateIsStoredInOneStateFile) {
    const struct {
        bool disabled, userForced;
        std::optional<std::string> disabledFile, enabledFile;
    } rows[] = {{true, true, "user\n", std::nullopt},
                {true, false, "auto\n", std::nullopt},
                {false, true, std::nullopt, "user\n"},
                {false, false, std::nullopt, std::nullopt}};
    for (const auto& row : rows) {
        for (bool save : {true, false}) {
            SCOPED_TRACE(std::to_string(row.disabled) + std::to_string(row.userForced) + std::to_string(save));
            putFiles("stavel", {{"disabled", "stale\n"}, {"enabled", "stale\n"}});
            PackageRecord record("stavel");
            record.version = kV61;
            record.userForced = row.userForced;
            record.disabled = save == row.disabled;  // the opposite state before a disable or enable
            record.action = save ? None : row.disabled ? Disable : Enable;
            if (save) {
                ASSERT_TRUE(saveRecord(record, changes_));
            } else if (row.disabled) {
                disableRecord(record, changes_);
            } else {
                enableRecord(record, changes_);
            }
            EXPECT_EQ(record.disabled, row.disabled);
            EXPECT_EQ(record.action, None);
            commitChanges();
            EXPECT_EQ(read(db("stavel", "disabled")), row.disabledFile);
            EXPECT_EQ(read(db("stavel", "enabled")), row.enabledFile);
            auto back = load("stavel");
            EXPECT_EQ(back->disabled, row.disabled);
            EXPECT_EQ(back->userForced, row.userForced);
        }
    }
}

// Loading never fails: damage shows as a pending Uninstall, a missing
// "files" as a bundle, and nothing outside /flash is ever kept.
TEST_F(PackageDbTest, LoadsStateAndDamage) {
    const Files sound = {{"version", "100754944 1300000000\n"}, {"deps", ""}, {"files", "bin/foo\n"}};
    auto with = [&](Files extra) {
        extra.insert(extra.begin(), sound.begin(), sound.end());
        return extra;
    };
    std::string garbage, million;
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    for (int i = 0; i < 1000000; ++i) million += "bin/f" + std::to_string(i % 3) + "\n";
    const struct {
        const char* name;
        Files files;
        std::string expected;
    } rows[] = {
        {"NoStateFiles", sound, "none /bin/foo"},
        {"DisabledAuto", with({{"disabled", "auto\n"}}), "none off /bin/foo"},
        {"DisabledUser", with({{"disabled", "user\n"}}), "none off user /bin/foo"},
        {"DisabledEmptyCountsAsUser", with({{"disabled", ""}}), "none off user /bin/foo"},
        {"EnabledWithoutDisabled", with({{"enabled", "user\n"}}), "none user /bin/foo"},
        {"BothPresentIsDisabled", with({{"disabled", "auto\n"}, {"enabled", "user\n"}}), "none off /bin/foo"},
        {"EnableScheduledWhileEnabled", with({{"schedule", "enable\n"}}), "enable user /bin/foo"},
        {"DisableScheduled", with({{"schedule", "disable"}}), "disable user /bin/foo"},
        {"UninstallKeepsAutoState", with({{"disabled", "auto\n"}, {"schedule", "uninstall\n"}}),
         "uninstall off /bin/foo"},
        {"UnknownScheduleWordIgnored", with({{"disabled", "auto\n"}, {"schedule", "purge\n"}}), "none off /bin/foo"},
        {"EmptyScheduleIgnored", with({{"schedule", ""}}), "none /bin/foo"},
        {"PlaceholderTakesNoSchedule",
         {{"version", "4294967295 4294967295\n"}, {"files", ""}, {"schedule", "enable\n"}}, "none"},
        {"EmptyDirectoryIsADamagedBundle", {}, "uninstall bundle"},
        {"DamagedListKeepsEntriesBeforeTheDamage", with({{"deps", "system 100689408 0\nstavel 6.1 0\nntp 1 2\n"}}),
         "uninstall deps=system 100689408 0 0; /bin/foo"},
        {"OverLongBundleNameIsDamage", with({{"bundle", std::string(1 << 20, 'b')}}), "uninstall /bin/foo"},
        {"DamagedFilesNeitherCrashNorEscape",
         {{"version", "99999999999999999999999 1\n"}, {"provides", garbage}, {"bundle", std::string(1 << 20, 'b')},
          {"files", "bin/ok\n../../etc/passwd\nbin/../../../x\n" + std::string(8 << 20, 'z')}},
         "uninstall /bin/ok"},
        // A missing "deps" is an empty list, not damage.
        {"MillionLineFilesFile", {{"version", "1 1\n"}, {"files", million}}, "none /bin/f0 /bin/f1 /bin/f2"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(db("stavel"));
        std::filesystem::remove_all(root_ + "/ram/pdb/stavel");
        std::filesystem::create_directories(db("stavel"));
        putFiles("stavel", row.files);
        EXPECT_EQ(summary(*load("stavel")), row.expected);
    }
    // A record read from an image keeps its metadata: neither "version" nor
    // "deps" nor "files" is looked at.
    putFiles("stavel", {{"version", "garbage\n"}, {"deps", "x 1\n"}});
    PackageRecord record("stavel");
    record.version = kV61;
    record.deps = {{"system", 1, 2, 0}};
    loadRecordState(record);
    EXPECT_EQ(summary(record), "none deps=system 1 2 0;");
}

// A pipe in place of a list is no file: opening it would wait for a writer
// for ever. The alarm ends the test process instead of hanging it.
TEST_F(PackageDbTest, PipeInTheDirectoryIsPassedOver) {
    std::filesystem::create_directories(db("stavel"));
    putFiles("stavel", {{"version", "100754944 1300000000\n"}, {"files", "bin/foo\n"}});
    ASSERT_EQ(::mkfifo(db("stavel", "deps").c_str(), 0644), 0);
    ::alarm(20);
    const std::string loaded = summary(*load("stavel"));
    ::alarm(0);
    EXPECT_EQ(loaded, "none /bin/foo");
}

TEST_F(PackageDbTest, UnwritableMetadataIsReportedAndStopsTheStore) {
    auto record = fullRecord();
    record->bundleRef = {};
    const std::string error =
        "ERROR: installation of stavel-6.1 failed: could not create meta/version: Not a directory";
    // A file in place of the record's directory: stat of "stavel/" fails, so
    // the directory counts as absent; writing into it is what fails.
    put(db("stavel").substr(0, db("stavel").size() - 1), "not a directory");
    expectStoreFailure(*record, error);
    // The database root is a plain file, so no temporary file can be made.
    resetInstaller();
    put(root_ + "/notadir", "");
    setDbPaths({root_ + "/notadir/pdb/", root_ + "/ram/pdb/", root_ + "/flash", root_ + "/flash/bootimage"});
    expectStoreFailure(*record, error);
    EXPECT_EQ(ops(), "");
}

TEST_F(PackageDbTest, FullDiskIsReportedAsTooSmall) {
    if (::geteuid() != 0) GTEST_SKIP() << "tmpfs needs root";
    if (::mount("tmpfs", (root_ + "/flash/var/pdb").c_str(), "tmpfs", 0, "size=32768") != 0) {
        GTEST_SKIP() << "cannot mount tmpfs: " << std::strerror(errno);
    }
    mountPoint_ = root_ + "/flash/var/pdb";
    auto record = fullRecord();
    record->bundleRef = {};
    for (int i = 0; i < 4000; ++i) record->files.insert("/lib/modules/a-rather-long-module-name-" + std::to_string(i));
    expectStoreFailure(*record, "ERROR: installation of stavel-6.1 failed: disk is too small");
    // What was queued before the failure stays for the caller to cancel.
    EXPECT_TRUE(hasOp(db("stavel", "version"), FileOpKind::MoveTemp));
    EXPECT_FALSE(changes_.ops.count(db("stavel", "disabled")));
}

TEST_F(PackageDbTest, RemovalSchedulesFilesDirectoryAndImage) {
    put(root_ + "/flash/bin/foo", "x");
    put(root_ + "/flash/lib/libstavel.so", "x");
    putFiles("stavel", {{"version", "1 1\n"}, {"image", "package"}});
    auto record = fullRecord();
    record->files.insert("/bin/gone");     // already missing: nothing to schedule
    record->files.insert("/../outside");  // would leave /flash: never touched
    put(root_ + "/outside", "x");
    record->action = Uninstall;
    removeRecord(*record, changes_);
    EXPECT_EQ(ops(), "U /flash//bin/foo, U /flash//lib/libstavel.so, U /flash/var/pdb/stavel/, "
                     "U /flash/var/pdb/stavel/image");
    EXPECT_TRUE(record->files.empty());
    EXPECT_EQ(record->action, None);
    commitChanges();
    EXPECT_FALSE(exists(root_ + "/flash/bin/foo") || exists(db("stavel")));

    // A reinstall in the same run keeps the directory.
    putFiles("stavel", {{"version", "1 1\n"}, {"files", "bin/old\n"}});
    removeRecord(*load("stavel"), changes_);
    ASSERT_TRUE(hasOp(db("stavel"), FileOpKind::Unlink));
    ASSERT_TRUE(storeRecord(*fullRecord(), changes_));
    EXPECT_FALSE(changes_.ops.count(db("stavel")));
    commitChanges();
    EXPECT_EQ(read(db("stavel", "files")), "bin/foo\nlib/libstavel.so\n");
}

TEST_F(PackageDbTest, BootImageGoesOnlyWithItsLastLink) {
    for (int links = 1; links <= 2; ++links) {
        SCOPED_TRACE(links);
        put(root_ + "/flash/bootimage", "kernel");
        if (links == 2) ::link((root_ + "/flash/bootimage").c_str(), (root_ + "/flash/bootimage.second").c_str());
        ChangeSet changes;
        PackageRecord record("kernel");
        record.flags = FlagBootImage;
        removeRecord(record, changes);
        EXPECT_EQ(changes.ops.count(root_ + "/flash/bootimage"), links == 1 ? 1u : 0u);
    }
}

TEST_F(PackageDbTest, OnlyAPlainUnusedNameGetsADirectory) {
    put(root_ + "/flash/var/keep", "x");
    // A dot name would never load, and the run's own records use them.
    for (const char* name : {"", ".", "..", "a/b", "../..", ".journal", "..x"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(isStorableName(name));
        PackageRecord record(name);
        EXPECT_FALSE(prepareRecordDir(record, changes_));
        removeRecord(record, changes_);
        disableRecord(record, changes_);
        EXPECT_TRUE(changes_.ops.empty());
    }
    EXPECT_TRUE(isStorableName("x.."));
    // A directory with another pending operation cannot be used either.
    scheduleLink(changes_, "/elsewhere", db("stavel"));
    EXPECT_FALSE(prepareRecordDir(PackageRecord("stavel"), changes_));
    EXPECT_TRUE(hasOp(db("stavel"), FileOpKind::Link));
    EXPECT_TRUE(prepareRecordDir(PackageRecord("fresh"), changes_));
}

TEST_F(PackageDbTest, UninstallNamedRemovesTheFirstRecordOfThatName) {
    Installer& installer = Installer::instance();
    for (const char* name : {"system", "stavel", "stavel"}) {
        appendRecord(installer, std::make_unique<PackageRecord>(name));
    }
    putFiles("stavel", {{"version", "1 1\n"}});
    PackageRecord* second = installer.packages[2].get();
    EXPECT_FALSE(uninstallNamed(installer, changes_, "nosuch"));
    EXPECT_EQ(ops(), "");
    EXPECT_TRUE(uninstallNamed(installer, changes_, "stavel"));
    ASSERT_EQ(installer.packages.size(), 2u);
    EXPECT_EQ(installer.packages[0]->name, "system");
    EXPECT_EQ(installer.packages[1].get(), second);
    EXPECT_EQ(ops(), "U /flash/var/pdb/stavel/");
}

}  // namespace
}  // namespace velmora
