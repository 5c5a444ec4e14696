#include "run/repository.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "package_builder.h"
#include "unit/pdb/scratch_root.h"
#include "version_text.h"

using namespace velmora;
using Labels = std::vector<std::string>;

// A package image with one file and one requirement, or a bundle of such packages at 1.0.
std::string image(const std::string& name, const char* version, std::string note = "") {
    PackageRecipe r; r.name = name, r.version = *parseVersionText(version), r.buildTime = 1300000000, r.note = note;
    r.deps = {Dependency{"stavel", 100689408, 0, 0}}, r.files = {regularFile("/bin/" + name, "of " + name)};
    return buildPackage(r);
}
std::string bundle(const char* name, const std::vector<std::string>& members) {
    BundleRecipe r; r.bundle.name = name, r.bundle.version = 0x02006600, r.bundle.buildTime = 1300000000;
    for (const std::string& member : members) r.members.push_back(image(member, "1.0"));
    return buildBundle(r);
}

class RepositoryTest : public db_test::ScratchRoot {
protected:
    // A database entry with its own metadata, as a package without an image (or a bundle member) has it.
    void entry(const std::string& name, const char* version, const std::string& image = "") const {
        put(db(name, "version"), std::to_string(*parseVersionText(version)) + " 5\n");
        put(db(name, "deps"), ""), put(db(name, "files"), "/bin/" + name + "\n");
        if (!image.empty()) put(db(name, "image"), image);
    }
    void store(const std::string& name, const std::string& i) const { put(root_ + "/rw/pckg/.images/" + name, i); }
    // The catalogue as name-version, "@bundle" for a member, "+" for a bundle's own record.
    static Labels load(bool quiet = true) {
        resetInstaller(), loadRepository(Installer::instance(), quiet, "e500"); Labels labels;
        for (const auto& r : Installer::instance().packages)
            labels.push_back(r->name + "-" + versionText(r->version) + (r->isBundle ? "+" : "") +
                             (r->bundleRef.name.empty() ? "" : "@" + r->bundleRef.name));
        return labels;
    }
    static std::string at(std::size_t i) { return db_test::summary(*Installer::instance().packages.at(i)); }
};

// Installed images, then stored images, then records known from their directory alone; an image in the store
// without a database entry is never read. The record's metadata comes from its image (never its architecture);
// state and schedule apply to every record of the name, but only the installed one owns the entry's files.
TEST_F(RepositoryTest, InstalledImagesThenStoredImagesThenBareRecords) {
    entry("stavel", "5.0", image("stavel", "6.1", "installed")), put(db("stavel", "disabled"), "user\n");
    put(root_ + "/ram/pdb/stavel/schedule", "uninstall\n"), store("stavel", image("stavel", "6.2", "stored"));
    entry("lost", "6.0"), store("orphan", image("orphan", "1.0"));
    ASSERT_EQ(load(), (Labels{"stavel-6.1", "stavel-6.2", "lost-6.0"}));
    EXPECT_TRUE(Installer::instance().arch == "e500" && Installer::instance().quiet);
    const auto& all = Installer::instance().packages;
    const std::string state = "uninstall off user deps=stavel 100689408 0 0;";
    EXPECT_EQ(at(0) + " " + all[0]->arch + all[0]->note + "|" + at(1) + " " + all[1]->arch + all[1]->note + "|" + at(2),
              state + " /bin/stavel i386installed|" + state + " i386stored|none /bin/lost");
}

// Members, read from the image, come before the bundle; their "bundle" stays unread, their files and state
// come from their entries. Hidden entries are passed over; no image store is no error.
TEST_F(RepositoryTest, BundleMembersPrecedeTheBundle) {
    std::filesystem::remove_all(root_ + "/rw"), entry(".hidden", "1.0", image("hidden", "1.0"));
    put(db("suite", "image"), bundle("suite", {"alpha", "beta"})), entry("alpha", "1.0"), entry("beta", "1.0");
    put(db("beta", "disabled"), "auto\n"), put(db("suite", "enabled"), "user\n");
    ASSERT_EQ(load(false), (Labels{"alpha-1.0@suite", "beta-1.0@suite", "suite-2.0+"}));
    EXPECT_TRUE(Installer::instance().messages.empty());
    const std::string in = " deps=stavel 100689408 0 0; in=suite 33580544 33580544 0;";
    EXPECT_EQ(at(0) + ", " + at(1) + ", " + at(2),
              "none" + in + " /bin/alpha, none off" + in + " /bin/beta, none bundle user");
}

// A run killed before its commit can leave a file it staged for a new entry in the database directory itself:
// that names no package, but a directory of such a name is a package's. The header names the record; the
// directory still gets a bare record when nothing else carries its name.
TEST_F(RepositoryTest, StagedFileInTheDatabaseIsNoPackage) {
    entry("old", "1.0", image("renamed", "6.1")), put(root_ + "/flash/var/pdb/tmpAbC123", "1 2\n");
    entry("tmpXyZ789", "6.1"), put(db("notatmp1", "version"), "garbage");
    put(root_ + "/flash/var/pdb/image", image("copy", "1.0"));  // the stream mode's copy of a package
    store("image", image("stored", "1.0")); Labels labels = load(); ASSERT_FALSE(labels.empty());
    std::sort(labels.begin() + 1, labels.end());
    EXPECT_EQ(labels, (Labels{"renamed-6.1", "notatmp1-0.0+", "old-1.0", "tmpXyZ789-6.1"}));
}

// Damaged images under "pkg" (its directory says 6.0, its stored image 6.2 is sound): one that opens keeps its
// place with what its header gave, one that does not open is dropped. Bundle members are read until one is
// damaged, and whatever the bytes, every record names a database directory and members precede their bundle.
TEST_F(RepositoryTest, DamagedImagesNeverStopTheLoad) {
    std::string sound = image("pkg", "6.1");
    const std::size_t headerEnd = findPart(sound, PartHeader)->dataOffset() + findPart(sound, PartHeader)->size;
    const Labels kept{"pkg-6.0", "pkg-6.2"}, headerRead{"pkg-6.1", "pkg-6.2"}, dropped{"pkg-6.2"};
    const std::tuple<const char*, std::function<void(std::string&)>, Labels> rows[] = {
        {"cut after header", [&](std::string& i) { cutImage(i, headerEnd); }, headerRead}, {"dangling", {}, dropped},
        {"dot dot", [](std::string& i) { i = image("..", "6.1"); }, dropped}, {"pipe", {}, kept}, {"EIO", {}, kept}};
    for (const auto& [name, damage, expected] : rows) {
        SCOPED_TRACE(name); std::filesystem::remove_all(db("pkg"));
        entry("pkg", "6.0"), store("pkg", image("pkg", "6.2"));
        std::string damaged = sound, path = db("pkg", "image"), kind = name;
        if (damage) damage(damaged), put(path, damaged);
        ASSERT_TRUE(kind != "pipe" || ::mkfifo(path.c_str(), 0644) == 0);
        if (kind == "EIO") std::filesystem::create_symlink("/proc/self/mem", path);
        if (kind == "dangling") std::filesystem::create_symlink("nowhere", path);
        EXPECT_EQ(load(), expected);
    }
    std::filesystem::remove_all(db("pkg")); const std::string suite = bundle("suite", {"alpha", "beta"});
    std::string unnamed = suite; unnamed[findPart(suite, PartHeader, 1)->dataOffset()] = '\0';
    put(db("suite", "image"), unnamed); EXPECT_EQ(load(), (Labels{"alpha-1.0@suite", "suite-2.0+"}));
    entry("suite", "2.0");
    for (std::size_t i = 0; i < 2 * suite.size(); ++i) {
        std::string damaged = suite;
        i < suite.size() ? cutImage(damaged, i) : flipByte(damaged, i - suite.size(), 0xFF);
        put(db("suite", "image"), damaged), load(); ASSERT_FALSE(Installer::instance().packages.empty()) << i;
        bool bundleSeen = false;
        for (const auto& r : Installer::instance().packages) {
            EXPECT_TRUE(isStorableName(r->name) && !(bundleSeen && r->bundleRef.name == "suite")) << i;
            bundleSeen = bundleSeen || (r->isBundle && r->name == "suite");
        }
    }
}
