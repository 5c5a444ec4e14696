#include "run/repository.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "package_builder.h"
#include "pdb/package_db.h"
#include "run/installer.h"
#include "version_text.h"

namespace velmora {
namespace {

constexpr std::uint32_t kBuilt = 1300000000;

Version ver(const char* text) { return parseVersionText(text).value_or(0); }

PackageRecipe packageRecipe(const std::string& name, const char* version, std::string note = "") {
    PackageRecipe recipe;
    recipe.name = name;
    recipe.version = ver(version);
    recipe.buildTime = kBuilt;
    if (!note.empty()) recipe.note = std::move(note);
    recipe.deps = {Dependency{"stavel", ver("6.0"), 0, 0}};
    recipe.files = {regularFile("/bin/" + name, "contents of " + name)};
    return recipe;
}

std::string packageImage(const std::string& name, const char* version, std::string note = "") {
    return buildPackage(packageRecipe(name, version, std::move(note)));
}

std::string bundleImage(const std::string& name, const char* version, const std::vector<std::string>& members) {
    BundleRecipe recipe;
    recipe.bundle.name = name;
    recipe.bundle.version = ver(version);
    recipe.bundle.buildTime = kBuilt;
    for (const std::string& member : members) recipe.members.push_back(packageImage(member, "1.0"));
    return buildBundle(recipe);
}

// How a record reads in the expectations: name-version, "@bundle" for a
// bundle member, "+" for a bundle's own record.
std::string label(const PackageRecord& record) {
    std::string text = record.name + "-" + versionText(record.version);
    if (!record.bundleRef.name.empty()) text += "@" + record.bundleRef.name;
    if (record.isBundle) text += "+";
    return text;
}

// A scratch router tree with the database, the schedule and the image
// store pointed at it.
class RepositoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/repository-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ + "/flash/var/pdb");
        std::filesystem::create_directories(root_ + "/ram/pdb");
        std::filesystem::create_directories(root_ + "/rw/pckg/.images");
        DbPaths paths;
        paths.dbRoot = root_ + "/flash/var/pdb/";
        paths.scheduleRoot = root_ + "/ram/pdb/";
        paths.flashRoot = root_ + "/flash";
        paths.bootImage = root_ + "/flash/bootimage";
        paths.imageStore = root_ + "/rw/pckg/.images/";
        setDbPaths(paths);
        resetInstaller();
    }
    void TearDown() override {
        setDbPaths({});
        resetInstaller();
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

    std::string db(const std::string& entry, const std::string& file = "") const {
        return root_ + "/flash/var/pdb/" + entry + "/" + file;
    }
    std::string stored(const std::string& entry) const { return root_ + "/rw/pckg/.images/" + entry; }
    static void put(const std::string& path, const std::string& content) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        // A fresh file: ext4 flushes a file truncated and rewritten in place
        // on close, which would make the many rewrites here wait on the disk.
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        std::ofstream(path, std::ios::binary) << content;
    }
    // A database entry with its own metadata, as a package without an image
    // (or a bundle member) has it.
    void putMetadata(const std::string& entry, const char* version, std::uint32_t built = 5) const {
        put(db(entry, "version"), std::to_string(ver(version)) + " " + std::to_string(built) + "\n");
        put(db(entry, "deps"), "");
        put(db(entry, "files"), "/bin/" + entry + "\n");
    }
    void installImage(const std::string& entry, const std::string& image) const { put(db(entry, "image"), image); }
    void storeImage(const std::string& entry, const std::string& image) const { put(stored(entry), image); }

    Installer& load(bool quiet = true) {
        Installer& installer = Installer::instance();
        loadRepository(installer, quiet, "powerpc");
        return installer;
    }
    static std::vector<std::string> labels() {
        std::vector<std::string> out;
        for (const auto& record : Installer::instance().packages) out.push_back(label(*record));
        return out;
    }
    static const PackageRecord& at(std::size_t index) { return *Installer::instance().packages.at(index); }

    std::string root_;
};

TEST_F(RepositoryTest, InstalledImagesThenStoredImagesThenBareRecords) {
    installImage("stavel", packageImage("stavel", "6.1", "installed"));
    storeImage("stavel", packageImage("stavel", "6.2", "stored"));
    putMetadata("lost", "6.0", 1234);  // its image is gone
    storeImage("orphan", packageImage("orphan", "1.0"));  // no database entry: never read

    Installer& installer = load();

    EXPECT_EQ(installer.arch, "powerpc");
    EXPECT_TRUE(installer.quiet);
    ASSERT_EQ(labels(), (std::vector<std::string>{"stavel-6.1", "stavel-6.2", "lost-6.0"}));
    EXPECT_EQ(at(0).note, "installed");
    EXPECT_EQ(at(0).buildTime, kBuilt);
    ASSERT_EQ(at(0).deps.size(), 1u);
    EXPECT_EQ(at(0).deps[0].name, "stavel");
    EXPECT_EQ(at(1).note, "stored");
    // The lost package is known from its directory alone.
    EXPECT_EQ(at(2).buildTime, 1234u);
    EXPECT_EQ(at(2).files, (std::set<std::string>{"/bin/lost"}));
    EXPECT_EQ(at(2).action, None);
}

TEST_F(RepositoryTest, BundleMembersPrecedeTheBundle) {
    installImage("suite", bundleImage("suite", "2.0", {"alpha", "beta"}));
    putMetadata("alpha", "1.0");
    putMetadata("beta", "1.0");
    put(db("beta", "disabled"), "auto\n");
    put(db("suite", "enabled"), "user\n");

    load();

    ASSERT_EQ(labels(), (std::vector<std::string>{"alpha-1.0@suite", "beta-1.0@suite", "suite-2.0+"}));
    for (std::size_t i : {0u, 1u}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(at(i).bundleRef.min, ver("2.0"));
        EXPECT_EQ(at(i).bundleRef.max, ver("2.0"));
        EXPECT_EQ(at(i).bundleRef.priority, 0);
        // Read from the image: the member's "files" and "bundle" stay unread.
        EXPECT_TRUE(at(i).files.empty());
        EXPECT_EQ(at(i).action, None);
    }
    EXPECT_FALSE(at(0).disabled);
    EXPECT_TRUE(at(1).disabled);
    EXPECT_FALSE(at(1).userForced);
    EXPECT_TRUE(at(2).bundleRef.name.empty());
    EXPECT_TRUE(at(2).userForced);
}

// The record's metadata comes from its image; only a record without a
// version reads the directory's. State and schedule apply to every record
// of the name, the stored image's included.
TEST_F(RepositoryTest, StateIsLoadedForEveryRecord) {
    installImage("stavel", packageImage("stavel", "6.1"));
    storeImage("stavel", packageImage("stavel", "6.2"));
    putMetadata("stavel", "5.0");
    put(db("stavel", "disabled"), "user\n");
    put(root_ + "/ram/pdb/stavel/schedule", "uninstall\n");

    load();

    ASSERT_EQ(labels(), (std::vector<std::string>{"stavel-6.1", "stavel-6.2"}));
    for (std::size_t i : {0u, 1u}) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(at(i).disabled);
        EXPECT_TRUE(at(i).userForced);
        EXPECT_EQ(at(i).action, Uninstall);
        EXPECT_EQ(at(i).arch, "i386");  // the architecture part is never read here
    }
}

// The header names the record; the directory that led to it still gets its
// own bare record when nothing else carries its name.
// A run killed before its commit can leave a file it staged for a new
// package's entry in the database directory itself: that names no package.
// A directory of such a name is still a package's.
TEST_F(RepositoryTest, StagedFileInTheDatabaseIsNoPackage) {
    put(root_ + "/flash/var/pdb/tmpAbC123", "1 2\n");
    put(root_ + "/flash/var/pdb/tmpXyZ789/version", "100754944 1300000000\n");
    put(root_ + "/flash/var/pdb/tmpXyZ789/files", "bin/x\n");
    put(root_ + "/flash/var/pdb/notatmp1/version", "garbage");
    load();
    std::vector<std::string> names;
    for (const auto& record : Installer::instance().packages) names.push_back(record->name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"notatmp1", "tmpXyZ789"}));
}

TEST_F(RepositoryTest, HeaderNameWinsOverEntryName) {
    installImage("old", packageImage("renamed", "6.1"));
    putMetadata("old", "1.0");

    load();

    EXPECT_EQ(labels(), (std::vector<std::string>{"renamed-6.1", "old-1.0"}));
}

TEST_F(RepositoryTest, DotEntriesAndEmptyDatabaseGiveNothing) {
    load(false);
    EXPECT_TRUE(labels().empty());
    EXPECT_TRUE(Installer::instance().messages.empty());

    installImage(".hidden", packageImage("hidden", "1.0"));
    putMetadata(".hidden", "1.0");
    storeImage(".hidden", packageImage("hidden", "1.0"));
    load(false);
    EXPECT_TRUE(labels().empty());
    EXPECT_TRUE(Installer::instance().messages.empty());
}

TEST_F(RepositoryTest, MissingDatabaseWarnsUnlessQuiet) {
    std::filesystem::remove_all(root_ + "/flash/var/pdb");
    storeImage("stavel", packageImage("stavel", "6.1"));

    load(false);
    EXPECT_TRUE(labels().empty());
    EXPECT_EQ(Installer::instance().messages, (std::vector<std::string>{"WARNING: could not open repo"}));

    resetInstaller();
    load(true);
    EXPECT_TRUE(labels().empty());
    EXPECT_TRUE(Installer::instance().messages.empty());
}

TEST_F(RepositoryTest, MissingImageStoreLeavesInstalledImages) {
    std::filesystem::remove_all(root_ + "/rw");
    installImage("stavel", packageImage("stavel", "6.1"));
    load(false);
    EXPECT_EQ(labels(), (std::vector<std::string>{"stavel-6.1"}));
    EXPECT_TRUE(Installer::instance().messages.empty());
}

// Damaged or odd images under the entry "pkg", whose directory says 6.0 and
// whose stored image (6.2) is sound. An image that opens keeps its place
// in the installed pass, with whatever its header gave; one that does not
// open is dropped, and the stored image's record then carries the name.
struct DamageRow {
    const char* name;
    std::function<void(const std::string& imagePath)> make;
    std::vector<std::string> expected;
};

std::string soundImage() {
    PackageRecipe recipe = packageRecipe("pkg", "6.1", "a note");
    recipe.provides = {Dependency{"service", ver("1.0"), 0, 5}};
    return buildPackage(recipe);
}

void writeImage(const std::string& path, const std::string& image) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << image;
}

void writeDamaged(const std::string& path, const std::function<void(std::string&)>& damage) {
    std::string image = soundImage();
    damage(image);
    writeImage(path, image);
}

const std::vector<std::string> kKept{"pkg-6.0", "pkg-6.2"};
const std::vector<std::string> kHeaderRead{"pkg-6.1", "pkg-6.2"};
const std::vector<std::string> kDropped{"pkg-6.2"};

const DamageRow kDamageRows[] = {
    {"WrongMagicKeepsOnlyTheEntryName", [](const std::string& p) { writeDamaged(p, [](std::string& i) { setMagic(i, 0x1EF1D0BA); }); },
     kKept},
    {"EmptyFile", [](const std::string& p) { writeImage(p, ""); }, kKept},
    {"FileHeaderCutShort", [](const std::string& p) { writeDamaged(p, [](std::string& i) { cutImage(i, 5); }); }, kKept},
    {"CutInsidePackageHeader",
     [](const std::string& p) {
         writeDamaged(p, [](std::string& i) { cutImage(i, findPart(i, PartHeader)->dataOffset() + 10); });
     },
     kKept},
    {"CutRightAfterPackageHeader",
     [](const std::string& p) {
         writeDamaged(p, [](std::string& i) {
             const PartLocation header = *findPart(i, PartHeader);
             cutImage(i, header.dataOffset() + header.size);
         });
     },
     kHeaderRead},
    {"HeaderClaimsGiantSize",
     [](const std::string& p) { writeDamaged(p, [](std::string& i) { setPartSize(i, PartHeader, 0xFFFFFFF0); }); },
     kHeaderRead},
    {"NoteClaimsGiantSize",
     [](const std::string& p) { writeDamaged(p, [](std::string& i) { setPartSize(i, PartNote, 0xFFFFFFFF); }); },
     kHeaderRead},
    {"DependencyCountPastThePart",
     [](const std::string& p) { writeDamaged(p, [](std::string& i) { setDependencyCount(i, PartDependencies, 65535); }); },
     kHeaderRead},
    {"FileLengthClaimsGiantSize",
     [](const std::string& p) { writeDamaged(p, [](std::string& i) { setFileLength(i, 0xFFFFFFFF); }); },
     kHeaderRead},
    {"ImageIsADirectory", [](const std::string& p) { std::filesystem::create_directory(p); }, kKept},
    {"ImageIsAPipe", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }, kKept},
    // Reading this file fails with EIO, which the file buffer throws.
    {"ImageFailsToRead", [](const std::string& p) { std::filesystem::create_symlink("/proc/self/mem", p); }, kKept},
    {"DanglingLink", [](const std::string& p) { std::filesystem::create_symlink("nowhere", p); }, kDropped},
    {"HeaderNameIsNoEntryName",
     [](const std::string& p) { writeImage(p, buildPackage(packageRecipe("..", "6.1"))); },
     kDropped},
};

TEST_F(RepositoryTest, DamagedImagesNeverStopTheLoad) {
    for (const DamageRow& row : kDamageRows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(db("pkg"));
        resetInstaller();
        putMetadata("pkg", "6.0");
        storeImage("pkg", packageImage("pkg", "6.2"));
        row.make(db("pkg", "image"));

        load();

        EXPECT_EQ(labels(), row.expected);
    }
}

// Members are read until one is damaged: a member cut short or without a
// usable name is not added and ends the members, but not the bundle.
TEST_F(RepositoryTest, DamagedMemberEndsTheMembers) {
    const std::string image = bundleImage("suite", "2.0", {"alpha", "beta", "gamma"});
    const std::size_t betaName = findPart(image, PartHeader, 1)->dataOffset();
    std::string cut = image;
    cutImage(cut, betaName + 4);
    std::string unnamed = image;
    unnamed[betaName] = '\0';

    for (const std::string& damaged : {cut, unnamed}) {
        resetInstaller();
        installImage("suite", damaged);
        load();
        EXPECT_EQ(labels(), (std::vector<std::string>{"alpha-1.0@suite", "suite-2.0+"}));
    }
}

// Whatever the bytes, the catalogue ends up with records that can name a
// database directory, the bundle's members before it, and at least one
// record for the entry.
TEST_F(RepositoryTest, EveryCutAndFlippedByteOfABundleLoads) {
    const std::string image = bundleImage("suite", "2.0", {"alpha", "beta"});
    putMetadata("suite", "2.0");
    std::vector<std::string> damaged;
    for (std::size_t length = 0; length < image.size(); ++length) {
        std::string cut = image;
        cutImage(cut, length);
        damaged.push_back(std::move(cut));
    }
    for (std::size_t offset = 0; offset < image.size(); ++offset) {
        std::string flipped = image;
        flipByte(flipped, offset, 0xFF);
        damaged.push_back(std::move(flipped));
    }
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(i);
        resetInstaller();
        installImage("suite", damaged[i]);
        load();
        const auto& packages = Installer::instance().packages;
        ASSERT_FALSE(packages.empty());
        bool bundleSeen = false;
        for (const auto& record : packages) {
            EXPECT_TRUE(isStorableName(record->name)) << record->name;
            if (record->isBundle && record->name == "suite") bundleSeen = true;
            if (record->bundleRef.name == "suite") {
                EXPECT_FALSE(bundleSeen) << "member after its bundle";
            }
        }
    }
}

#if !defined(__SANITIZE_ADDRESS__)
// For a death-test child: caps the address space a little above what the
// process already uses, loads, and exits 0 when count records came out.
[[noreturn]] void loadWithCappedMemory(std::size_t count) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (64u << 20);
    const rlimit limit{cap, cap};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
    Installer& installer = Installer::instance();
    loadRepository(installer, true, "i386");
    std::_Exit(installer.packages.size() == count ? 0 : 3);
}
#endif

// A size field is a claim: loading images that claim gigabytes may only
// allocate what the files hold. Run in a child with its address space
// capped a little above what it already uses.
TEST_F(RepositoryTest, GiantClaimsAllocateOnlyWhatIsThere) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory needs an uncapped address space";
#else
    const std::pair<std::uint16_t, const char*> claims[] = {
        {PartHeader, "a"}, {PartNote, "b"}, {PartText24, "c"}, {PartDependencies, "d"}, {PartProvides, "e"}};
    for (const auto& [type, entry] : claims) {
        PackageRecipe recipe = packageRecipe(entry, "1.0", "note");
        recipe.text24 = "text";
        recipe.provides = {Dependency{"service", 0, 0, 0}};
        std::string image = buildPackage(recipe);
        ASSERT_TRUE(setPartSize(image, type, 0xFFFFFFFF));
        installImage(entry, image);
    }
    EXPECT_EXIT(loadWithCappedMemory(5), ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace velmora
