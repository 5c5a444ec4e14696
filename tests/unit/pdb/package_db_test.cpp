#include "pdb/package_db.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "planning/catalogue.h"
#include "scratch_root.h"

using namespace velmora;
using db_test::summary;
using namespace std::string_literals;
using Files = std::vector<std::pair<std::string, std::string>>;  // database file ("schedule": in /ram), content

class PackageDbTest : public db_test::ScratchRoot {
protected:
    void putFiles(const std::string& name, const Files& files) const { for (const auto& [file, text] : files)
            put(file == "schedule" ? root_ + "/ram/pdb/" + name + "/schedule" : db(name, file), text); }
    static std::string load(PackageRecord&& record) { return loadRecordState(record), summary(record); }
    std::string file(const std::string& name, const std::string& f) const { return read(db(name, f)).value_or("-"); }
    static std::unique_ptr<PackageRecord> full() {
        auto r = std::make_unique<PackageRecord>("stavel"); r->disabled = r->userForced = true;
        r->version = 100754944, r->buildTime = 1300000000, r->deps = {{"system", 100689408, 0, 0}};
        r->provides = {{"dhcpd", 1, 2, -7}, {"ntpd", 0, 0, 5}}, r->conflicts = {{"oldstavel", 0, 100689408, 0}};
        r->bundleRef = {"velmora", 1, 1, 0}, r->files = {"/bin/foo", "/lib/libstavel.so"}; return r;
    }
};

// Only the bundle's name is kept; a member found on its own in the database is left over from its bundle. A bundle
// writes no "files", an empty list leaves what is there; without metadata only the state is stored.
TEST_F(PackageDbTest, StoredRecordWritesEveryFileAndLoadsBack) {
    putFiles("suite", {{"bundle", "velmora\n"}, {"provides", "old 1 2 3\n"}, {"files", "bin/old\n"}});
    PackageRecord bundle("suite"), nometa("nometa"); bundle.isBundle = nometa.disabled = true;
    nometa.flags = FlagNoMetadata;
    ASSERT_TRUE(storeRecord(*full(), changes_) && storeRecord(bundle, changes_) && storeRecord(nometa, changes_));
    commitChanges();
    for (const auto& [file, text] : Files{{"version", "100754944 1300000000\n"}, {"deps", "system 100689408 0\n"},
             {"provides", "dhcpd 1 2 -7\nntpd 0 0 5\n"}, {"conflicts", "oldstavel 0 100689408\n"}, {"enabled", "-"},
             {"bundle", "velmora\n"}, {"files", "bin/foo\nlib/libstavel.so\n"}, {"disabled", "user\n"}})
        EXPECT_EQ(this->file("stavel", file), text) << file;
    EXPECT_EQ(load(PackageRecord("stavel")),
              "uninstall off user deps=system 100689408 0 0; in=velmora 0 0 0; /bin/foo /lib/libstavel.so");
    EXPECT_EQ(file("suite", "deps") + file("suite", "provides") + file("suite", "files") + file("suite", "bundle") +
                  file("nometa", "version") + file("nometa", "disabled"), "old 1 2 3\nbin/old\n--auto\n");
    // Metadata that cannot be written is reported and stops the store.
    std::filesystem::remove_all(db("stavel")), put(root_ + "/flash/var/pdb/stavel", "not a directory");
    auto record = full(); record->bundleRef = {}; testing::internal::CaptureStdout();
    EXPECT_FALSE(storeRecord(*record, changes_)); testing::internal::GetCapturedStdout(); EXPECT_EQ(ops(), "");
    EXPECT_EQ(Installer::instance().messages, std::vector<std::string>{
        "ERROR: installation of stavel-6.1 failed: could not create meta/version: Not a directory"});
}

// Saving, disabling or enabling writes one state file (or none) over stale ones; the state loads back, with the
// scheduled action from /ram. A record read from an image keeps its metadata.
TEST_F(PackageDbTest, StateIsStoredInOneStateFile) {
    for (int row = 0; row < 8; ++row) {
        const bool disabled = row & 1, user = row & 2, save = row & 4; SCOPED_TRACE(row);
        putFiles("stavel", {{"disabled", "stale\n"}, {"enabled", "stale\n"}, {"version", "1 1\n"}, {"files", ""}});
        PackageRecord record("stavel"); record.userForced = user, record.disabled = save == disabled;
        record.action = save ? None : disabled ? Disable : Enable;
        EXPECT_TRUE(!save || saveRecord(record, changes_));
        if (!save) disabled ? disableRecord(record, changes_) : enableRecord(record, changes_);
        EXPECT_TRUE(record.disabled == disabled && record.action == None); commitChanges();
        EXPECT_EQ(read(db("stavel", "disabled")), disabled ? std::optional(user ? "user\n" : "auto\n") : std::nullopt);
        EXPECT_EQ(read(db("stavel", "enabled")), !disabled && user ? std::optional("user\n") : std::nullopt);
        EXPECT_EQ(load(PackageRecord("stavel")), "none"s + (disabled ? " off" : "") + (user ? " user" : ""));
    }
    const std::pair<Files, std::string> rows[] = {
        {{{"version", "4294967295 4294967295\n"}, {"files", ""}, {"schedule", "enable\n"}}, "none"},
        {{{"schedule", "disable"}}, "disable user /bin/foo"},
        {{{"disabled", "auto\n"}, {"schedule", "uninstall\n"}}, "uninstall off /bin/foo"},
        {{{"disabled", "auto\n"}, {"enabled", "user\n"}}, "none off /bin/foo"}};
    for (const auto& [files, expected] : rows) {
        std::filesystem::remove_all(db("stavel")), std::filesystem::remove_all(root_ + "/ram/pdb/stavel");
        putFiles("stavel", {{"version", "100754944 1300000000\n"}, {"deps", ""}, {"files", "bin/foo\n"}});
        putFiles("stavel", files); EXPECT_EQ(load(PackageRecord("stavel")), expected);
    }
    std::filesystem::remove_all(db("stavel")), putFiles("stavel", {{"version", "garbage\n"}, {"deps", "x 1\n"}});
    PackageRecord record("stavel"); record.version = 1, record.deps = {{"system", 1, 2, 0}};
    EXPECT_EQ(load(std::move(record)), "none deps=system 1 2 0;");
}

// Removal schedules the files that exist below /flash, the directory and the image; the boot image goes only
// with its last link; a reinstall in the same run keeps the directory.
TEST_F(PackageDbTest, RemovalSchedulesFilesDirectoryAndImage) {
    for (const char* file : {"/flash/bin/foo", "/flash/lib/libstavel.so", "/outside", "/flash/bootimage"})
        put(root_ + file, "x"), putFiles("stavel", {{"version", "1 1\n"}, {"image", "package"}});
    auto record = full(); record->files.insert({"/bin/gone", "/../outside"});
    record->action = Uninstall, record->flags = FlagBootImage;
    ::link((root_ + "/flash/bootimage").c_str(), (root_ + "/flash/bootimage.second").c_str());
    removeRecord(*record, changes_);
    EXPECT_EQ(ops(),
              "U /flash//bin/foo, U /flash//lib/libstavel.so, U /flash/var/pdb/stavel/, U /flash/var/pdb/stavel/image");
    EXPECT_TRUE(record->files.empty() && record->action == None);
    ::unlink((root_ + "/flash/bootimage.second").c_str()), removeRecord(*record, changes_);
    EXPECT_TRUE(changes_.ops.count(root_ + "/flash/bootimage")); ASSERT_TRUE(storeRecord(*full(), changes_));
    EXPECT_FALSE(changes_.ops.count(db("stavel")));
}

// A dot name would never load, and the run's own records use them; nor can a directory with another pending
// operation be used.
TEST_F(PackageDbTest, OnlyAPlainUnusedNameGetsADirectory) {
    for (const char* name : {"", "..", "a/b", ".j"}) {
        PackageRecord record(name); EXPECT_FALSE(prepareRecordDir(record, changes_)) << name;
        removeRecord(record, changes_), disableRecord(record, changes_);
    }
    EXPECT_TRUE(isStorableName("x..") && ops().empty()); scheduleLink(changes_, "/elsewhere", db("stavel"));
    EXPECT_TRUE(!prepareRecordDir(PackageRecord("stavel"), changes_) && prepareRecordDir(PackageRecord("b"), changes_));
}
