// Installing package images from standard input with the built installer:
// what lands on the flash, in the database and in the postlog, and that a
// refused or broken package leaves the flash exactly as it was.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "e2e/install_support.h"
#include "support/process_run.h"

namespace velmora {
namespace {

const std::vector<std::string> kImageAndPostlog{"flash/var/pdb/image", "flash/postlog"};

using StreamInstall = InstallTest;

TEST_F(StreamInstall, SinglePackageInstallsRegularFilesAndItsDatabaseEntry) {
    const std::string image = makePackage(packageRecipe(
        "stavel", "6.1",
        {directoryEntry("/opt"), regularFile("/bin/tool", "tool\n", 0755), symlinkEntry("/bin/link", "/bin/tool"),
         regularFile("etc/conf", "conf\n", 0600), regularFile("/etc/empty", "")}));

    RunResult run = streamInstall(image);

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/bin/tool"), "tool\n");
    EXPECT_EQ(modeOf("flash/bin/tool"), 0755u);
    EXPECT_EQ(read("flash/etc/conf"), "conf\n");
    EXPECT_EQ(modeOf("flash/etc/conf"), 0600u);
    EXPECT_EQ(read("flash/etc/empty"), "");
    EXPECT_FALSE(box.exists("flash/opt"));
    EXPECT_FALSE(box.exists("flash/bin/link"));

    EXPECT_EQ(db("stavel", "version"), "100754944 1300000000\n");
    EXPECT_EQ(db("stavel", "deps"), "");
    EXPECT_EQ(db("stavel", "files"), "bin/tool\netc/conf\netc/empty\n");
    for (const char* absent : {"disabled", "enabled", "bundle", "image"}) {
        EXPECT_FALSE(box.exists(std::string("flash/var/pdb/stavel/") + absent)) << absent;
    }
    // A package that does not keep its image leaves the copy where it was made.
    EXPECT_EQ(read("flash/var/pdb/image"), image);
    EXPECT_EQ(postlog(), "installed stavel-6.1\n");
    EXPECT_NE(run.out.find("installing stavel-6.1 ["), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("installed stavel-6.1\n"), std::string::npos) << run.out;
    EXPECT_FALSE(box.exists("flash/PCKGS_CHANGED"));
    EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
}

TEST_F(StreamInstall, KeptImageMovesIntoTheDatabase) {
    PackageRecipe recipe = packageRecipe("kernel-mods", "2.0", {regularFile("/lib/mod.ko", "ko")});
    recipe.keepImage = true;
    recipe.keepImageData = std::string(9000, 'k');
    const std::string image = makePackage(recipe);

    RunResult run = streamInstall(image);

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/lib/mod.ko"), "ko");
    EXPECT_EQ(read("flash/var/pdb/kernel-mods/image"), image);
    EXPECT_FALSE(box.exists("flash/var/pdb/image"));
    // The image carries the metadata, so only the file list is stored beside it.
    EXPECT_FALSE(box.exists("flash/var/pdb/kernel-mods/version"));
    EXPECT_EQ(db("kernel-mods", "files"), "lib/mod.ko\n");
    EXPECT_EQ(postlog(), "installed kernel-mods-2.0\n");

    // The same stream again is passed over after its header; the rest of
    // the stream still reaches the image it keeps, which stays whole.
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--reinstall"}}) {
        RunResult again = streamInstall(image, args);
        EXPECT_EQ(again.exitStatus, 0) << again.out << again.err;
        EXPECT_EQ(read("flash/var/pdb/kernel-mods/image"), image);
        EXPECT_FALSE(box.exists("flash/var/pdb/image"));
    }
}

struct BootImageRow {
    const char* name;
    bool bootimageSet;
};

void PrintTo(const BootImageRow& row, std::ostream* out) { *out << row.name; }

class StreamBootImage : public InstallTest, public ::testing::WithParamInterface<BootImageRow> {};

TEST_P(StreamBootImage, PackageCarryingTheBootImage) {
    PackageRecipe recipe = packageRecipe("velmora-boot", "6.1", {regularFile("/boot/kernel", "kernel")});
    recipe.flags = FlagBootImage;
    recipe.keepImage = true;
    const std::string image = makePackage(recipe);
    EnvOverrides env;
    if (GetParam().bootimageSet) env["bootimage"] = "1";

    RunResult run = streamInstall(image, {}, env);

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/UPGRADED"), "");
    EXPECT_EQ(postlog(), "installed velmora-boot-6.1\n");
    if (GetParam().bootimageSet) {
        // Written whole as the boot image; the archive is not unpacked.
        EXPECT_EQ(read("flash/bootimage"), image);
        EXPECT_EQ(box.readLink("flash/var/pdb/velmora-boot/image"), "/flash/bootimage");
        EXPECT_FALSE(box.exists("flash/boot/kernel"));
    } else {
        EXPECT_EQ(read("flash/boot/kernel"), "kernel");
        EXPECT_EQ(read("flash/var/pdb/velmora-boot/image"), image);
        EXPECT_FALSE(box.exists("flash/bootimage"));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, StreamBootImage,
                         ::testing::Values(BootImageRow{"BootimageSet", true}, BootImageRow{"BootimageUnset", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamInstall, OverlayPackageGetsNoDatabaseEntry) {
    PackageRecipe recipe = packageRecipe("stavel", "6.1", {regularFile("/etc/overlay", "o")});
    recipe.overlay = true;

    RunResult run = streamInstall(makePackage(recipe));

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/etc/overlay"), "o");
    EXPECT_FALSE(box.exists("flash/var/pdb/stavel"));
    EXPECT_EQ(postlog(), "installed stavel-6.1\n");
}

TEST_F(StreamInstall, BundleInstallsMembersWithDisabledOnesKeptApart) {
    // Members named in the bundle's disabled list start disabled, with their
    // files kept apart under /flash/x/.
    BundleRecipe bundle;
    bundle.bundle = packageRecipe("suite", "2.0");
    bundle.disabledMembers = {"extra"};
    bundle.members = {makePackage(packageRecipe("core", "1.0", {regularFile("/bin/core", "core")})),
                      makePackage(packageRecipe("extra", "1.1", {regularFile("/bin/extra", "extra")}))};
    const std::string image = buildBundle(bundle);

    RunResult run = streamInstall(image);

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/bin/core"), "core");
    EXPECT_EQ(read("flash/x/extra/bin/extra"), "extra");
    EXPECT_FALSE(box.exists("flash/bin/extra"));
    EXPECT_EQ(db("core", "bundle"), "suite\n");
    EXPECT_EQ(db("extra", "bundle"), "suite\n");
    EXPECT_FALSE(box.exists("flash/var/pdb/core/disabled"));
    EXPECT_EQ(db("extra", "disabled"), "auto\n");
    EXPECT_EQ(db("extra", "files"), "x/extra/bin/extra\n");
    // The bundle's own entry has metadata but no file list.
    EXPECT_EQ(db("suite", "version"), std::to_string(ver("2.0")) + " 1300000000\n");
    EXPECT_FALSE(box.exists("flash/var/pdb/suite/files"));
    // One line for the whole bundle.
    EXPECT_EQ(postlog(), "installed suite-2.0\n");
}

TEST_F(StreamInstall, BundleKeepingItsImage) {
    BundleRecipe bundle;
    bundle.bundle = packageRecipe("suite", "2.0");
    bundle.bundle.keepImage = true;
    bundle.members = {makePackage(packageRecipe("core", "1.0", {regularFile("/bin/core", "core")}))};
    const std::string image = buildBundle(bundle);

    RunResult run = streamInstall(image);

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/var/pdb/suite/image"), image);
    EXPECT_FALSE(box.exists("flash/var/pdb/image"));
    EXPECT_EQ(read("flash/bin/core"), "core");
}

// --- runs that must change nothing ------------------------------------------

// Each row is also given to `vpa verify`, which must object exactly when
// the installer finds the package broken (admission is not its business).
struct RefusedRow {
    const char* name;
    std::function<std::string()> image;
    int exitStatus;
    std::string postlog;
    std::string vpa;      // what vpa objects to; empty: it finds the file good
    bool upload = false;  // offered in the upload directory instead of on standard input
};

void PrintTo(const RefusedRow& row, std::ostream* out) { *out << row.name; }

std::string tampered(std::function<void(std::string&)> damage) {
    std::string image = makePackage(packageRecipe(
        "stavel", "6.1", {regularFile("/bin/tool", std::string(20000, 't')), regularFile("/etc/conf", "conf")}));
    damage(image);
    return image;
}

const std::string kBroken = "ERROR: installation of stavel-6.1 failed: broken package\n";
const std::string kUnreadable = "the header part at offset 8 ";

// A signed package with a part put in before its signature.
std::string withPartBeforeSignature(std::uint16_t type) {
    PackageRecipe recipe = packageRecipe("stavel", "6.1", {regularFile("/bin/tool", "t")});
    recipe.extraParts = {ExtraPart{type, std::string(8, 'k'), PartSignature}};
    return makePackage(recipe);
}

std::vector<RefusedRow> refusedRows() {
    return {
        {"FlippedArchiveByte",
         [] { return tampered([](std::string& i) { flipByte(i, findPart(i, PartFileArchive)->dataOffset() + 40); }); },
         1, kBroken, "stavel-6.1: part 9 (signature) at offset 146: its digest does not match"},
        {"FlippedLastArchiveByte",
         [] {
             return tampered([](std::string& i) {
                 auto archive = findPart(i, PartFileArchive);
                 flipByte(i, archive->dataOffset() + archive->size - 1, 0x01);
             });
         },
         1, kBroken, "stavel-6.1: part 4 (file archive) at offset 50: the content of /bin/tool is cut short"},
        {"WrongSignatureDigest",
         [] { return tampered([](std::string& i) { flipByte(i, findPart(i, PartSignature)->dataOffset() + 3); }); },
         1, kBroken, "its digest does not match the signed range"},
        {"SignedByAnotherKey",
         [] { return buildPackage(packageRecipe("stavel", "6.1", {regularFile("/bin/tool", "t")}), &strangerKey()); },
         1, kBroken, "r and v do not hold under the key"},
        {"Unsigned",
         [] { return buildPackage(packageRecipe("stavel", "6.1", {regularFile("/bin/tool", "t")}), nullptr); }, 1,
         kBroken, "not signed (r and v are zero); sign it with 'vpa sign'"},
        {"MissingSignature", [] { return tampered([](std::string& i) { removePart(i, PartSignature); }); }, 1,
         kBroken, "stavel-6.1: no signature part: the file ends where it is due"},
        {"ShortSignature",
         [] {
             PackageRecipe recipe = packageRecipe("stavel", "6.1", {regularFile("/bin/tool", "t")});
             recipe.signatureSize = 67;
             return makePackage(recipe);
         },
         1, kBroken, "(signature) at offset 83: holds fewer than 68 bytes"},
        {"KeepImagePartBeforeSignature", [] { return withPartBeforeSignature(PartKeepImage); }, 1, kBroken,
         "part 21 (keep image) at offset 83 stands where the signature part is due"},
        {"SecondArchiveBeforeSignature", [] { return withPartBeforeSignature(PartFileArchive); }, 1, kBroken,
         "part 4 (file archive) at offset 83 stands where the signature part is due"},
        {"UnknownPartBeforeSignatureIsPassedOver", [] { return withPartBeforeSignature(77); }, 0,
         "installed stavel-6.1\n", ""},
        {"AppendedBytes",
         [] { return makePackage(packageRecipe("stavel", "6.1", {regularFile("/bin/tool", "t")})) + "x"; }, 0, "ERROR: broken package p.vpa\nERROR: router installation failed!!!\n", "bytes appended or cut off", true},
        {"CutInsideTheArchive",
         [] {
             return tampered([](std::string& i) { cutImage(i, findPart(i, PartFileArchive)->dataOffset() + 30); });
         },
         1, kBroken, "bytes appended or cut off"},
        {"EntryReachingOutsideFlash",
         [] {
             return makePackage(packageRecipe(
                 "stavel", "6.1", {regularFile("/bin/tool", "tool"), regularFile("../../x", "escaped", 0755)}));
         },
         1, kBroken, "the entry \"../../x\" names no file below /flash"},
        {"EntryClimbingBackUp",
         [] { return makePackage(packageRecipe("stavel", "6.1", {regularFile("/bin/../../../x", "escaped")})); }, 1,
         kBroken, "names no file below /flash"},
        // Paths that name no file below /flash: "" and "/" used to stage a
        // file outside /flash and record the package though the rename failed.
        {"EntryNamingFlashItself", [] { return makePackage(packageRecipe("stavel", "6.1", {regularFile("/", "x")})); },
         1, kBroken, "the entry \"/\" names no file"},
        {"EntryNamingADirectory",
         [] { return makePackage(packageRecipe("stavel", "6.1", {regularFile("/bin/.", "x")})); }, 1, kBroken,
         "the entry \"/bin/.\" names no file"},
        // The path rules hold for every entry, whatever its type.
        {"LinkEntryClimbingOut",
         [] { return makePackage(packageRecipe("stavel", "6.1", {symlinkEntry("/../x", "/bin/sh")})); }, 1, kBroken,
         "the entry \"/../x\" names no file"},
        {"DotNamedPackage",
         [] { return makePackage(packageRecipe(".journal", "6.1", {regularFile("/bin/tool", "t")})); }, 1,
         "ERROR: installation of .journal-6.1 failed: broken package\n",
         kUnreadable + "names the package \".journal\""},
        {"NotAPackage", [] { return std::string("this is not a package at all"); }, 1, "",
         "not a package file (no package magic)"},
        {"EmptyName", [] { return makePackage(packageRecipe("", "6.1", {regularFile("/bin/tool", "t")})); }, 1, "",
         "the metadata cannot be read: part 1 (header) at offset 8"},
        {"NameDot", [] { return makePackage(packageRecipe(".", "6.1", {regularFile("/bin/tool", "t")})); }, 1,
         "ERROR: installation of .-6.1 failed: broken package\n",
         "the metadata cannot be read"},
        {"NameDotDot", [] { return makePackage(packageRecipe("..", "6.1", {regularFile("/bin/tool", "t")})); }, 1,
         "ERROR: installation of ..-6.1 failed: broken package\n",
         "the metadata cannot be read"},
        {"NameWithSlash", [] { return makePackage(packageRecipe("a/b", "6.1", {regularFile("/bin/tool", "t")})); }, 1,
         "ERROR: installation of a/b-6.1 failed: broken package\n", "the metadata cannot be read"},
        {"BundleNamedDotDot",
         [] {
             BundleRecipe bundle;
             bundle.bundle = packageRecipe("..", "2.0");
             bundle.members = {makePackage(packageRecipe("core", "1.0", {regularFile("/bin/core", "core")}))};
             return buildBundle(bundle);
         },
         1, "ERROR: installation of ..-2.0 failed: broken package\n", "the metadata cannot be read"},
        // A member no database directory can hold is reported, not passed over in silence.
        {"BundleWithADotNamedMember",
         [] {
             BundleRecipe bundle;
             bundle.bundle = packageRecipe("suite", "2.0");
             bundle.members = {makePackage(packageRecipe("core", "1.0", {regularFile("/bin/core", "core")})),
                               makePackage(packageRecipe(".x", "1.0", {regularFile("/bin/x", "x")}))};
             return buildBundle(bundle);
         },
         0, "ERROR: installation of .x-1.0 failed: broken package\ninstalled suite-2.0\n",
         "names the package \".x\", which no database directory can hold"},
        {"MissingRequirement",
         [] {
             PackageRecipe recipe = packageRecipe("app", "1.0", {regularFile("/bin/app", "app")});
             recipe.deps = {needs("libx", "2.0")};
             return makePackage(recipe);
         },
         1, "ERROR: can not install app-1.0: libx-2.0 is not installed, but is required\n", ""},
        {"ForeignArchitecture",
         [] {
             PackageRecipe recipe = packageRecipe("app", "1.0", {regularFile("/bin/app", "app")});
             recipe.arch = "mipsbe";
             return makePackage(recipe);
         },
         1, "ERROR: can not install app-1.0: it is not made for i386, but for mipsbe\n", ""},
        {"BundleWithoutInstallableMember",
         [] {
             PackageRecipe member = packageRecipe("app", "1.0", {regularFile("/bin/app", "app")});
             member.arch = "mipsbe";
             BundleRecipe bundle;
             bundle.bundle = packageRecipe("suite", "2.0");
             bundle.members = {makePackage(member)};
             return buildBundle(bundle);
         },
         3, "", ""},
    };
}

class StreamRefused : public InstallTest, public ::testing::WithParamInterface<RefusedRow> {};

TEST_P(StreamRefused, LeavesTheFlashAsItWas) {
    // Something installed already, which must survive untouched.
    box.writeFile("flash/bin/tool", "the old tool\n", 0755);
    box.writeFile("flash/etc/conf", "old conf\n");
    TreeSnapshot before = box.snapshot();

    const RefusedRow& row = GetParam();
    const std::string image = row.image();
    if (row.upload) upload("p.vpa", image);
    RunResult run = row.upload ? upgradeRun() : streamInstall(image);

    EXPECT_EQ(run.exitStatus, row.exitStatus) << run.out << run.err;
    EXPECT_EQ(postlog(), row.postlog);
    if (row.exitStatus != 0 || row.upload) {
        expectUnchanged(before, {"flash/postlog", "flash/var/pdb/image", "flash/rw/pckg/p.vpa"});
    }
    EXPECT_FALSE(box.exists("x"));
    EXPECT_FALSE(box.exists("flash/x"));

    const std::string file = box.hostPath("p.vpa");
    ASSERT_TRUE(box.writeFile("p.vpa", image));
    ProcessRun verify = runProcess({VPA_BINARY, "verify", "--key", DEV_PUB_FILE, file}, box.hostPath(""));
    EXPECT_EQ(verify.exitStatus, row.vpa.empty() ? 0 : 1) << verify.err;
    EXPECT_NE(verify.err.find(row.vpa.empty() ? "" : "vpa verify: " + file + ": "), std::string::npos) << verify.err;
    EXPECT_NE(verify.err.find(row.vpa), std::string::npos) << verify.err;
}

INSTANTIATE_TEST_SUITE_P(Rows, StreamRefused, ::testing::ValuesIn(refusedRows()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
