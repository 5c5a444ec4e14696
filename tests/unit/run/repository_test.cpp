#include "run/repository.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "package_builder.h"
#include "unit/pdb/scratch_root.h"
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

class RepositoryTest : public db_test::ScratchRoot {
protected:
    // A database entry with its own metadata, as a package without an image
    // (or a bundle member) has it.
    void putMetadata(const std::string& entry, const char* version, std::uint32_t built = 5) const {
        put(db(entry, "version"), std::to_string(ver(version)) + " " + std::to_string(built) + "\n");
        put(db(entry, "deps"), "");
        put(db(entry, "files"), "/bin/" + entry + "\n");
    }
    void installImage(const std::string& entry, const std::string& image) const { put(db(entry, "image"), image); }
    void storeImage(const std::string& entry, const std::string& image) const {
        put(root_ + "/rw/pckg/.images/" + entry, image);
    }
    // The catalogue as name-version, "@bundle" for a bundle member, "+" for
    // a bundle's own record.
    static std::vector<std::string> load(bool quiet = true) {
        resetInstaller();
        loadRepository(Installer::instance(), quiet, "e500");
        std::vector<std::string> labels;
        for (const auto& record : Installer::instance().packages) {
            labels.push_back(record->name + "-" + versionText(record->version) +
                             (record->bundleRef.name.empty() ? "" : "@" + record->bundleRef.name) +
                             (record->isBundle ? "+" : ""));
        }
        return labels;
    }
    static const PackageRecord& at(std::size_t index) { return *Installer::instance().packages.at(index); }
};

using db_test::summary;
using Labels = std::vector<std::string>;

TEST_F(RepositoryTest, InstalledImagesThenStoredImagesThenBareRecords) {
    installImage("stavel", packageImage("stavel", "6.1", "installed"));
    storeImage("stavel", packageImage("stavel", "6.2", "stored"));
    putMetadata("lost", "6.0", 1234);                     // its image is gone
    storeImage("orphan", packageImage("orphan", "1.0"));  // no database entry: never read

    ASSERT_EQ(load(), (Labels{"stavel-6.1", "stavel-6.2", "lost-6.0"}));
    EXPECT_EQ(Installer::instance().arch, "e500");
    EXPECT_TRUE(Installer::instance().quiet);
    EXPECT_EQ(at(0).note, "installed");
    EXPECT_EQ(at(0).buildTime, kBuilt);
    ASSERT_EQ(at(0).deps.size(), 1u);
    EXPECT_EQ(at(0).deps[0].name, "stavel");
    EXPECT_EQ(at(1).note, "stored");
    // The lost package is known from its directory alone.
    EXPECT_EQ(at(2).buildTime, 1234u);
    EXPECT_EQ(summary(at(2)), "none /bin/lost");
}

TEST_F(RepositoryTest, BundleMembersPrecedeTheBundle) {
    installImage("suite", bundleImage("suite", "2.0", {"alpha", "beta"}));
    putMetadata("alpha", "1.0");
    putMetadata("beta", "1.0");
    put(db("beta", "disabled"), "auto\n");
    put(db("suite", "enabled"), "user\n");

    ASSERT_EQ(load(), (Labels{"alpha-1.0@suite", "beta-1.0@suite", "suite-2.0+"}));
    // Members are read from the image, their "bundle" stays unread; the
    // files they own come from their entries.
    const std::string in = " deps=stavel 100689408 0 0; in=suite 33580544 33580544 0;";  // 2.0 as both bounds
    EXPECT_EQ(summary(at(0)) + ", " + summary(at(1)) + ", " + summary(at(2)),
              "none" + in + " /bin/alpha, none off" + in + " /bin/beta, none bundle user");
}

// The record's metadata comes from its image (but never its architecture);
// only a record without a version reads the directory's. State and schedule
// apply to every record of the name, the stored image's included.
TEST_F(RepositoryTest, StateIsLoadedForEveryRecord) {
    installImage("stavel", packageImage("stavel", "6.1"));
    storeImage("stavel", packageImage("stavel", "6.2"));
    putMetadata("stavel", "5.0");
    put(db("stavel", "disabled"), "user\n");
    put(root_ + "/ram/pdb/stavel/schedule", "uninstall\n");

    ASSERT_EQ(load(), (Labels{"stavel-6.1", "stavel-6.2"}));
    // Only the installed image's record owns the entry's files.
    for (std::size_t i : {0u, 1u}) {
        EXPECT_EQ(summary(at(i)) + " " + at(i).arch,
                  std::string("uninstall off user deps=stavel 100689408 0 0;") + (i == 0 ? " /bin/stavel" : "") +
                      " i386");
    }
}

// The header names the record; the directory that led to it still gets its
// own bare record when nothing else carries its name. A run killed before
// its commit can leave a file it staged for a new package's entry in the
// database directory itself: that names no package, but a directory of such
// a name is still a package's.
TEST_F(RepositoryTest, EntriesThatNameNoOtherRecord) {
    installImage("old", packageImage("renamed", "6.1"));
    putMetadata("old", "1.0");
    put(root_ + "/flash/var/pdb/tmpAbC123", "1 2\n");
    put(db("tmpXyZ789", "version"), "100754944 1300000000\n");
    put(db("tmpXyZ789", "files"), "bin/x\n");
    put(db("notatmp1", "version"), "garbage");
    // The stream mode's copy of a package that did not keep it.
    put(root_ + "/flash/var/pdb/image", packageImage("copy", "1.0"));
    storeImage("image", packageImage("stored", "1.0"));
    Labels labels = load();
    ASSERT_FALSE(labels.empty());
    std::sort(labels.begin() + 1, labels.end());
    EXPECT_EQ(labels, (Labels{"renamed-6.1", "notatmp1-0.0+", "old-1.0", "tmpXyZ789-6.1"}));
}

TEST_F(RepositoryTest, MissingOrHiddenDirectories) {
    EXPECT_TRUE(load(false).empty());  // an empty database
    installImage(".hidden", packageImage("hidden", "1.0"));
    putMetadata(".hidden", "1.0");
    storeImage(".hidden", packageImage("hidden", "1.0"));
    EXPECT_TRUE(load(false).empty());
    EXPECT_TRUE(Installer::instance().messages.empty());

    std::filesystem::remove_all(root_ + "/rw");
    installImage("stavel", packageImage("stavel", "6.1"));
    EXPECT_EQ(load(false), Labels{"stavel-6.1"});
    EXPECT_TRUE(Installer::instance().messages.empty());

    std::filesystem::remove_all(root_ + "/flash/var/pdb");
    storeImage("stavel", packageImage("stavel", "6.1"));
    EXPECT_TRUE(load(false).empty());
    EXPECT_EQ(Installer::instance().messages, Labels{"WARNING: could not open repo"});
    EXPECT_TRUE(load(true).empty());
    EXPECT_TRUE(Installer::instance().messages.empty());
}

// Damaged or odd images under the entry "pkg", whose directory says 6.0 and
// whose stored image (6.2) is sound. An image that opens keeps its place in
// the installed pass, with whatever its header gave; one that does not open
// is dropped, and the stored image's record then carries the name.
TEST_F(RepositoryTest, DamagedImagesNeverStopTheLoad) {
    using Make = std::function<void(const std::string& path)>;
    auto write = [](const std::string& image) {
        return Make([image](const std::string& path) { std::ofstream(path, std::ios::binary) << image; });
    };
    auto damaged = [&](const std::function<void(std::string&)>& damage) {
        PackageRecipe recipe = packageRecipe("pkg", "6.1", "a note");
        recipe.provides = {Dependency{"service", ver("1.0"), 0, 5}};
        std::string image = buildPackage(recipe);
        damage(image);
        return write(image);
    };
    const Labels kept{"pkg-6.0", "pkg-6.2"}, headerRead{"pkg-6.1", "pkg-6.2"}, dropped{"pkg-6.2"};
    const struct {
        const char* name;
        Make make;
        Labels expected;
    } rows[] = {
        {"WrongMagicKeepsOnlyTheEntryName", damaged([](std::string& i) { setMagic(i, 0x1EF1D0BA); }), kept},
        {"EmptyFile", write(""), kept},
        {"FileHeaderCutShort", damaged([](std::string& i) { cutImage(i, 5); }), kept},
        {"CutInsidePackageHeader",
         damaged([](std::string& i) { cutImage(i, findPart(i, PartHeader)->dataOffset() + 10); }), kept},
        {"CutRightAfterPackageHeader", damaged([](std::string& i) {
             cutImage(i, findPart(i, PartHeader)->dataOffset() + findPart(i, PartHeader)->size);
         }),
         headerRead},
        {"HeaderClaimsGiantSize", damaged([](std::string& i) { setPartSize(i, PartHeader, 0xFFFFFFF0); }), headerRead},
        {"NoteClaimsGiantSize", damaged([](std::string& i) { setPartSize(i, PartNote, 0xFFFFFFFF); }), headerRead},
        {"DependencyCountPastThePart",
         damaged([](std::string& i) { setDependencyCount(i, PartDependencies, 65535); }), headerRead},
        {"FileLengthClaimsGiantSize", damaged([](std::string& i) { setFileLength(i, 0xFFFFFFFF); }), headerRead},
        {"ImageIsADirectory", [](const std::string& p) { std::filesystem::create_directory(p); }, kept},
        {"ImageIsAPipe", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }, kept},
        // Reading this file fails with EIO, which the file buffer throws.
        {"ImageFailsToRead", [](const std::string& p) { std::filesystem::create_symlink("/proc/self/mem", p); }, kept},
        {"DanglingLink", [](const std::string& p) { std::filesystem::create_symlink("nowhere", p); }, dropped},
        {"HeaderNameIsNoEntryName", write(buildPackage(packageRecipe("..", "6.1"))), dropped},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(db("pkg"));
        putMetadata("pkg", "6.0");
        storeImage("pkg", packageImage("pkg", "6.2"));
        row.make(db("pkg", "image"));
        EXPECT_EQ(load(), row.expected);
    }
}

// Members are read until one is damaged: a member cut short or without a
// usable name is not added and ends the members, but not the bundle.
TEST_F(RepositoryTest, DamagedMemberEndsTheMembers) {
    const std::string image = bundleImage("suite", "2.0", {"alpha", "beta", "gamma"});
    const std::size_t betaName = findPart(image, PartHeader, 1)->dataOffset();
    std::string cut = image, unnamed = image;
    cutImage(cut, betaName + 4);
    unnamed[betaName] = '\0';
    for (const std::string& damaged : {cut, unnamed}) {
        installImage("suite", damaged);
        EXPECT_EQ(load(), (Labels{"alpha-1.0@suite", "suite-2.0+"}));
    }
}

// Whatever the bytes, the catalogue ends up with records that can name a
// database directory, the bundle's members before it, and at least one
// record for the entry.
TEST_F(RepositoryTest, EveryCutAndFlippedByteOfABundleLoads) {
    const std::string image = bundleImage("suite", "2.0", {"alpha", "beta"});
    putMetadata("suite", "2.0");
    for (std::size_t i = 0; i < 2 * image.size(); ++i) {
        SCOPED_TRACE(i);
        std::string damaged = image;
        if (i < image.size()) {
            cutImage(damaged, i);
        } else {
            flipByte(damaged, i - image.size(), 0xFF);
        }
        installImage("suite", damaged);
        load();
        ASSERT_FALSE(Installer::instance().packages.empty());
        bool bundleSeen = false;
        for (const auto& record : Installer::instance().packages) {
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
// allocate what the files hold.
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
