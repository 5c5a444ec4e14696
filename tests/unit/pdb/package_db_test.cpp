#include "pdb/package_db.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "planning/catalogue.h"
#include "scratch_root.h"

using namespace velmora;
using db_test::summary;
using Files = std::vector<std::pair<std::string, std::string>>;  // database file ("schedule": in /ram), content

class PackageDbTest : public db_test::ScratchRoot {
protected:
    void putFiles(const std::string& name, const Files& files) const {
        for (const auto& [file, text] : files) {
            put(file == "schedule" ? root_ + "/ram/pdb/" + name + "/schedule" : db(name, file), text);
        }
    }
    static std::string load(PackageRecord&& record) { return loadRecordState(record), summary(record); }
    static std::unique_ptr<PackageRecord> full() {
        auto r = std::make_unique<PackageRecord>("stavel");
        r->version = 100754944, r->buildTime = 1300000000, r->deps = {{"system", 100689408, 0, 0}};
        r->provides = {{"dhcpd", 1, 2, -7}, {"ntpd", 0, 0, 5}}, r->conflicts = {{"oldstavel", 0, 100689408, 0}};
        r->bundleRef = {"velmora", 1, 1, 0}, r->files = {"/bin/foo", "/lib/libstavel.so"};
        r->disabled = r->userForced = true;
        return r;
    }
};

TEST_F(PackageDbTest, StoredRecordWritesEveryFileAndLoadsBack) {
    ASSERT_TRUE(storeRecord(*full(), changes_));
    commitChanges();
    for (const auto& [file, text] : Files{{"version", "100754944 1300000000\n"}, {"deps", "system 100689408 0\n"},
             {"provides", "dhcpd 1 2 -7\nntpd 0 0 5\n"}, {"conflicts", "oldstavel 0 100689408\n"},
             {"bundle", "velmora\n"},
             {"files", "bin/foo\nlib/libstavel.so\n"}, {"disabled", "user\n"}}) {
        EXPECT_EQ(read(db("stavel", file)), text) << file;
    }
    EXPECT_FALSE(exists(db("stavel", "enabled")));
    // Only the bundle's name is kept; a member found on its own in the database is left over from its bundle.
    PackageRecord back("stavel");
    EXPECT_EQ(load(std::move(back)),
              "uninstall off user deps=system 100689408 0 0; in=velmora 0 0 0; /bin/foo /lib/libstavel.so");
}

// Without metadata only the state is stored; with an image kept, the state and the file list; a bundle writes
// no "files", an empty list leaves what is there, "deps" is always written.
TEST_F(PackageDbTest, OptionalFilesFollowTheRecord) {
    putFiles("stavel", {{"bundle", "velmora\n"}, {"provides", "old 1 2 3\n"}, {"files", "bin/old\n"}});
    PackageRecord bundle("stavel"), nometa("nometa"), imaged("imaged");
    bundle.isBundle = true, nometa.flags = FlagNoMetadata, imaged.keepsImage = true;
    nometa.disabled = imaged.disabled = true;
    ASSERT_TRUE(storeRecord(bundle, changes_) && storeRecord(nometa, changes_) && storeRecord(imaged, changes_));
    commitChanges();
    EXPECT_EQ(read(db("stavel", "deps")), "");
    EXPECT_EQ(read(db("stavel", "provides")), "old 1 2 3\n");
    EXPECT_EQ(read(db("stavel", "files")), "bin/old\n");
    EXPECT_FALSE(exists(db("stavel", "bundle")) || exists(db("stavel", "conflicts")) || exists(db("nometa", "files")));
    EXPECT_FALSE(exists(db("nometa", "version")) || exists(db("imaged", "version")));
    EXPECT_EQ(read(db("imaged", "files")), "");
    EXPECT_EQ(read(db("nometa", "disabled")), "auto\n");
    EXPECT_EQ(read(db("imaged", "disabled")), "auto\n");
}

// Saving, disabling or enabling writes one state file (or none) over stale ones; the state loads back.
TEST_F(PackageDbTest, StateIsStoredInOneStateFile) {
    for (int row = 0; row < 8; ++row) {
        const bool disabled = row & 1, user = row & 2, save = row & 4;
        SCOPED_TRACE(row);
        putFiles("stavel", {{"disabled", "stale\n"}, {"enabled", "stale\n"}, {"version", "1 1\n"}, {"files", ""}});
        PackageRecord record("stavel");
        record.userForced = user, record.disabled = save == disabled;
        record.action = save ? None : disabled ? Disable : Enable;
        EXPECT_TRUE(!save || saveRecord(record, changes_));
        if (!save) disabled ? disableRecord(record, changes_) : enableRecord(record, changes_);
        EXPECT_EQ(record.disabled, disabled);
        EXPECT_EQ(record.action, None);
        commitChanges();
        EXPECT_EQ(read(db("stavel", "disabled")), disabled ? std::optional(user ? "user\n" : "auto\n") : std::nullopt);
        EXPECT_EQ(read(db("stavel", "enabled")), !disabled && user ? std::optional("user\n") : std::nullopt);
        EXPECT_EQ(load(PackageRecord("stavel")), std::string("none") + (disabled ? " off" : "") + (user ? " user" : ""))
            << row;
    }
}

// Loading never fails: damage shows as a pending uninstall, a missing "files" as a bundle, a missing "deps" as
// no requirements, and nothing outside /flash is kept.
TEST_F(PackageDbTest, LoadsStateAndDamage) {
    std::string garbage, million;
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    for (int i = 0; i < 1000000; ++i) million += "bin/f" + std::to_string(i % 3) + "\n";
    const std::pair<Files, std::string> rows[] = {
        {{}, "none /bin/foo"}, {{{"disabled", "auto\n"}}, "none off /bin/foo"},
        {{{"disabled", "user\n"}}, "none off user /bin/foo"},
        {{{"disabled", ""}}, "none off user /bin/foo"}, {{{"enabled", "user\n"}}, "none user /bin/foo"},
        {{{"disabled", "auto\n"}, {"enabled", "user\n"}}, "none off /bin/foo"},
        {{{"schedule", "enable\n"}}, "enable user /bin/foo"}, {{{"schedule", "disable"}}, "disable user /bin/foo"},
        {{{"disabled", "auto\n"}, {"schedule", "uninstall\n"}}, "uninstall off /bin/foo"},
        {{{"disabled", "auto\n"}, {"schedule", "purge\n"}}, "none off /bin/foo"}, {{{"schedule", ""}}, "none /bin/foo"},
        {{{"version", "4294967295 4294967295\n"}, {"files", ""}, {"schedule", "enable\n"}}, "none"},
        {{{"version", "-"}, {"files", "-"}}, "uninstall bundle"},
        {{{"deps", "system 100689408 0\nstavel 6.1 0\nntp 1 2\n"}}, "uninstall deps=system 100689408 0 0; /bin/foo"},
        {{{"bundle", std::string(1 << 20, 'b')}}, "uninstall /bin/foo"},
        {{{"deps", "-"}, {"files", million}}, "none /bin/f0 /bin/f1 /bin/f2"},
        {{{"version", "99999999999999999999999 1\n"}, {"provides", garbage},
          {"files", "bin/ok\n../../etc/passwd\nbin/../../../x\n" + std::string(8 << 20, 'z')}}, "uninstall /bin/ok"},
    };
    for (const auto& [files, expected] : rows) {
        SCOPED_TRACE(expected);
        std::filesystem::remove_all(db("stavel")), std::filesystem::remove_all(root_ + "/ram/pdb/stavel");
        putFiles("stavel", {{"version", "100754944 1300000000\n"}, {"deps", ""}, {"files", "bin/foo\n"}});
        putFiles("stavel", files);
        for (const auto& [file, text] : files) if (text == "-") std::filesystem::remove(db("stavel", file));
        EXPECT_EQ(load(PackageRecord("stavel")), expected);
    }
    // A pipe in place of a list is passed over, not opened (the alarm ends the test process rather than hang
    // it). A record read from an image keeps its metadata: "version", "deps" and "files" are not read.
    std::filesystem::remove_all(db("stavel"));
    putFiles("stavel", {{"version", "100754944 1300000000\n"}, {"files", "bin/foo\n"}});
    ASSERT_EQ(::mkfifo(db("stavel", "deps").c_str(), 0644), 0);
    ::alarm(20);
    EXPECT_EQ(load(PackageRecord("stavel")), "none /bin/foo");
    ::alarm(0);
    putFiles("stavel", {{"version", "garbage\n"}, {"deps", "x 1\n"}});
    PackageRecord record("stavel");
    record.version = 1, record.deps = {{"system", 1, 2, 0}};
    EXPECT_EQ(load(std::move(record)), "none deps=system 1 2 0;");
}

TEST_F(PackageDbTest, UnwritableMetadataIsReportedAndStopsTheStore) {
    auto record = full();
    record->bundleRef = {};
    // A file in place of the record's directory; then a file in place of the database root.
    put(root_ + "/flash/var/pdb/stavel", "not a directory");
    for (int i = 0; i < 2; ++i) {
        if (i) put(root_ + "/notadir", "");
        if (i) setDbPaths({root_ + "/notadir/pdb/", root_ + "/ram/pdb/", root_ + "/flash", ""});
        resetInstaller(), testing::internal::CaptureStdout();
        EXPECT_FALSE(storeRecord(*record, changes_));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Installer::instance().messages,
                  std::vector<std::string>{"ERROR: installation of stavel-6.1 failed: could not create meta/version: "
                                           "Not a directory"});
    }
    EXPECT_EQ(ops(), "");
}

// Removal schedules the files that exist below /flash, the directory and the image; the boot image goes only
// with its last link; a reinstall in the same run keeps the directory.
TEST_F(PackageDbTest, RemovalSchedulesFilesDirectoryAndImage) {
    for (const char* file : {"/flash/bin/foo", "/flash/lib/libstavel.so", "/outside", "/flash/bootimage"}) {
        put(root_ + file, "x");
    }
    putFiles("stavel", {{"version", "1 1\n"}, {"image", "package"}});
    auto record = full();
    record->files.insert({"/bin/gone", "/../outside"});
    record->action = Uninstall, record->flags = FlagBootImage;
    ::link((root_ + "/flash/bootimage").c_str(), (root_ + "/flash/bootimage.second").c_str());
    removeRecord(*record, changes_);
    EXPECT_EQ(ops(),
              "U /flash//bin/foo, U /flash//lib/libstavel.so, U /flash/var/pdb/stavel/, U /flash/var/pdb/stavel/image");
    EXPECT_TRUE(record->files.empty() && record->action == None);
    ::unlink((root_ + "/flash/bootimage.second").c_str());
    removeRecord(*record, changes_);
    EXPECT_TRUE(changes_.ops.count(root_ + "/flash/bootimage"));
    ASSERT_TRUE(storeRecord(*full(), changes_));
    EXPECT_FALSE(changes_.ops.count(db("stavel")));
    commitChanges();
    EXPECT_EQ(read(db("stavel", "files")), "bin/foo\nlib/libstavel.so\n");
    EXPECT_FALSE(exists(root_ + "/flash/bin/foo") || !exists(root_ + "/outside"));
}

// A dot name would never load, and the run's own records use them; nor can a directory with another pending
// operation be used.
TEST_F(PackageDbTest, OnlyAPlainUnusedNameGetsADirectory) {
    for (const char* name : {"", ".", "..", "a/b", "../..", ".journal", "..x"}) {
        PackageRecord record(name);
        EXPECT_FALSE(isStorableName(name) || prepareRecordDir(record, changes_)) << name;
        removeRecord(record, changes_), disableRecord(record, changes_);
        EXPECT_EQ(ops(), "") << name;
    }
    EXPECT_TRUE(isStorableName("x.."));
    scheduleLink(changes_, "/elsewhere", db("stavel"));
    EXPECT_FALSE(prepareRecordDir(PackageRecord("stavel"), changes_));
    EXPECT_TRUE(prepareRecordDir(PackageRecord("fresh"), changes_));
}

TEST_F(PackageDbTest, UninstallNamedRemovesTheFirstRecordOfThatName) {
    Installer& installer = Installer::instance();
    for (const char* name : {"system", "stavel", "stavel"}) {
        installer.packages.push_back(std::make_unique<PackageRecord>(name));
    }
    PackageRecord* second = installer.packages[2].get();
    put(db("stavel", "version"), "1 1\n");
    EXPECT_FALSE(uninstallNamed(installer, changes_, "nosuch"));
    EXPECT_EQ(ops(), "");
    EXPECT_TRUE(uninstallNamed(installer, changes_, "stavel"));
    EXPECT_EQ(installer.packages.size(), 2u);
    EXPECT_EQ(installer.packages[1].get(), second);
    EXPECT_EQ(ops(), "U /flash/var/pdb/stavel/");
}
