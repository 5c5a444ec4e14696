// installer --show over router roots holding real package images: installed
// images, stored images, bundles, lost and damaged images. The whole output
// is compared byte for byte with text written out here.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "e2e/e2e_common.h"
#include "package_builder.h"
#include "support/sandbox.h"
#include "version_text.h"

namespace velmora {
namespace {

constexpr std::uint32_t kBuilt = 1300000000;
const std::string kBuiltText = "Mar/13/2011 07:06:40";
constexpr std::uint32_t kLaterBuilt = 1310000000;
const std::string kLaterBuiltText = "Jul/07/2011 00:53:20";
const std::string kEpochText = "Jan/01/1970 00:00:00";

Version ver(const char* text) { return parseVersionText(text).value_or(0); }

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

// One data line: marks are the disabled and bundle markers, three columns.
std::string row(const std::string& name, const std::string& marks, const std::string& version,
                const std::string& date, const std::string& note) {
    return padded(name, 16) + " " + marks + padded(version, 13) + " " + padded(date, 20) + " " + padded(note, 40) +
           "\n";
}

PackageRecipe recipe(const std::string& name, const char* version, std::uint32_t built, const char* note = nullptr) {
    PackageRecipe result;
    result.name = name;
    result.version = ver(version);
    result.buildTime = built;
    if (note) result.note = note;
    result.files = {regularFile("/bin/" + name, "#!/bin/sh\n")};
    return result;
}

std::string image(const std::string& name, const char* version, std::uint32_t built, const char* note = nullptr) {
    return buildPackage(recipe(name, version, built, note));
}

// The metadata a package without a kept image has in its directory.
void putMetadata(SandboxRoot& box, const std::string& name, const char* version, std::uint32_t built,
                 bool bundle = false) {
    const std::string dir = "flash/var/pdb/" + name + "/";
    ASSERT_TRUE(box.writeFile(dir + "version", std::to_string(ver(version)) + " " + std::to_string(built) + "\n"));
    ASSERT_TRUE(box.writeFile(dir + "deps", ""));
    if (!bundle) {
        ASSERT_TRUE(box.writeFile(dir + "files", "bin/" + name + "\n"));
    }
}

class Listing : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_FALSE(box.path().empty());
        ASSERT_TRUE(box.makeDirs("rw/pckg/.images"));
    }

    RunResult show(bool quiet = false) {
        std::vector<std::string> args;
        if (quiet) args.push_back("-q");
        args.insert(args.end(), {"-r", box.path(), "--show"});
        return box.runInstaller(args);
    }

    SandboxRoot box;
};

TEST_F(Listing, InstalledThenStoredThenLostPackages) {
    ASSERT_TRUE(box.writeFile("flash/var/pdb/stavel/image", image("stavel", "6.1", kBuilt, "Velmora base system")));
    ASSERT_TRUE(box.writeFile("rw/pckg/.images/stavel", image("stavel", "6.2", kLaterBuilt)));
    putMetadata(box, "lost", "6.0", 0);
    const TreeSnapshot before = box.snapshot();

    const RunResult run = show();

    // The first line is spelled out to pin the columns: 0, 17, 18, 20, 34, 55.
    const std::string installed =
        "stavel              6.1           Mar/13/2011 07:06:40 Velmora base system                     \n";
    ASSERT_EQ(installed.find("6.1"), 20u);
    ASSERT_EQ(installed.find("Mar/"), 34u);
    ASSERT_EQ(installed.find("Velmora"), 55u);
    EXPECT_EQ(run.out, emptyListing() + installed + row("stavel", "   ", "6.2", kLaterBuiltText, "") +
                           row("lost", "   ", "6.0", kEpochText, ""));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(describeChanges(before, box.snapshot()), "");
}

TEST_F(Listing, BundleMembersWithADisabledOne) {
    BundleRecipe bundle;
    bundle.bundle = recipe("suite", "3.0", kBuilt, "Routing suite");
    bundle.members = {image("routing", "3.0", kBuilt, "Dynamic routing"), image("hotspot", "3.0", kLaterBuilt)};
    ASSERT_TRUE(box.writeFile("flash/var/pdb/suite/image", buildBundle(bundle)));
    putMetadata(box, "suite", "3.0", kBuilt, true);
    putMetadata(box, "routing", "3.0", kBuilt);
    putMetadata(box, "hotspot", "3.0", kLaterBuilt);
    ASSERT_TRUE(box.writeFile("flash/var/pdb/hotspot/disabled", "user\n"));

    const RunResult run = show();

    EXPECT_EQ(run.out, emptyListing() + row("routing", " B ", "3.0", kBuiltText, "Dynamic routing") +
                           row("hotspot", "XB ", "3.0", kLaterBuiltText, "") +
                           row("suite", "   ", "3.0", kBuiltText, "Routing suite"));
    EXPECT_EQ(run.exitStatus, 0);
}

// Sixteen characters fill the name column; a longer name (only a database
// directory can have one) pushes the rest of its line along.
TEST_F(Listing, LongNameShiftsItsLine) {
    ASSERT_TRUE(box.writeFile("flash/var/pdb/sixteen-chars-ab/image", image("sixteen-chars-ab", "1.2", kBuilt)));
    putMetadata(box, "a-name-of-twenty-one1", "6.1", kBuilt);

    const RunResult run = show();

    const std::string longLine =
        "a-name-of-twenty-one1    6.1           Mar/13/2011 07:06:40                                         \n";
    ASSERT_EQ(longLine.find("6.1"), 25u);
    EXPECT_EQ(run.out, emptyListing() + row("sixteen-chars-ab", "   ", "1.2", kBuiltText, "") + longLine);
    EXPECT_EQ(run.exitStatus, 0);
}

// An image that is a symbolic link to the boot image is read through it,
// inside the root.
TEST_F(Listing, ImageLinkedToTheBootImage) {
    PackageRecipe kernel = recipe("kernel", "6.1", kBuilt, "boot");
    kernel.flags = 1;
    ASSERT_TRUE(box.writeFile("flash/bootimage", buildPackage(kernel)));
    ASSERT_TRUE(box.makeDirs("flash/var/pdb/kernel"));
    ASSERT_TRUE(box.makeSymlink("flash/var/pdb/kernel/image", "/flash/bootimage"));

    const RunResult run = show();

    EXPECT_EQ(run.out, emptyListing() + row("kernel", "   ", "6.1", kBuiltText, "boot"));
}

// A damaged or odd image never stops the listing: what opens but holds no
// package shows its directory's metadata under the entry's name.
struct DamageRow {
    const char* name;
    std::function<void(SandboxRoot&, const std::string& path)> make;
    std::string expected;  // after the header
};

void write(SandboxRoot& box, const std::string& path, std::string bytes) { ASSERT_TRUE(box.writeFile(path, bytes)); }

std::string damaged(const std::function<void(std::string&)>& damage) {
    std::string bytes = image("stavel", "6.2", kLaterBuilt, "stored");
    damage(bytes);
    return bytes;
}

const std::string kInstalledRow = row("stavel", "   ", "6.1", kBuiltText, "installed");
const std::string kFromDirectoryRow = row("stavel", "   ", "5.0", kEpochText, "");
const std::string kStoredHeaderRow = row("stavel", "   ", "6.2", kLaterBuiltText, "");

const DamageRow kDamageRows[] = {
    {"WrongMagic", [](SandboxRoot& b, const std::string& p) { write(b, p, damaged([](std::string& i) { setMagic(i, 0); })); },
     kInstalledRow + kFromDirectoryRow},
    {"NotAPackageAtAll", [](SandboxRoot& b, const std::string& p) { write(b, p, "#!/bin/sh\necho hello\n"); },
     kInstalledRow + kFromDirectoryRow},
    {"Directory", [](SandboxRoot& b, const std::string& p) { ASSERT_TRUE(b.makeDirs(p)); },
     kInstalledRow + kFromDirectoryRow},
    {"CutInsideTheHeader",
     [](SandboxRoot& b, const std::string& p) {
         write(b, p, damaged([](std::string& i) { cutImage(i, findPart(i, PartHeader)->dataOffset() + 20); }));
     },
     kInstalledRow + kFromDirectoryRow},
    {"NoteClaimsFourGigabytes",
     [](SandboxRoot& b, const std::string& p) {
         write(b, p, damaged([](std::string& i) { setPartSize(i, PartNote, 0xFFFFFFFF); }));
     },
     // The note holds whatever bytes followed it; only the start is checked.
     ""},
    {"HeaderClaimsFourGigabytes",
     [](SandboxRoot& b, const std::string& p) {
         write(b, p, damaged([](std::string& i) { setPartSize(i, PartHeader, 0xFFFFFFFF); }));
     },
     kInstalledRow + kStoredHeaderRow},
};

TEST_F(Listing, DamagedStoredImages) {
    for (const DamageRow& damage : kDamageRows) {
        SCOPED_TRACE(damage.name);
        SandboxRoot sandbox;
        ASSERT_TRUE(sandbox.writeFile("flash/var/pdb/stavel/image", image("stavel", "6.1", kBuilt, "installed")));
        putMetadata(sandbox, "stavel", "5.0", 0);
        ASSERT_TRUE(sandbox.makeDirs("rw/pckg/.images"));
        damage.make(sandbox, "rw/pckg/.images/stavel");

        const RunResult run = sandbox.runInstaller({"-r", sandbox.path(), "--show"});

        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.signal, 0);
        if (!damage.expected.empty()) {
            EXPECT_EQ(run.out, emptyListing() + damage.expected);
        } else {
            const std::string start = emptyListing() + kInstalledRow + padded("stavel", 16) + "    6.2";
            EXPECT_EQ(run.out.substr(0, start.size()), start);
        }
    }
}

TEST_F(Listing, MissingDatabaseWarnsUnlessQuiet) {
    ASSERT_TRUE(box.removeAll("flash/var/pdb"));
    ASSERT_TRUE(box.writeFile("rw/pckg/.images/stavel", image("stavel", "6.1", kBuilt)));

    const RunResult loud = show(false);
    EXPECT_EQ(loud.out, "WARNING: could not open repo\n" + emptyListing());
    EXPECT_EQ(loud.exitStatus, 0);

    const RunResult quiet = show(true);
    EXPECT_EQ(quiet.out, emptyListing());
    EXPECT_EQ(quiet.exitStatus, 0);
}

}  // namespace
}  // namespace velmora
