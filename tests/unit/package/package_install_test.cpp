// Installing one package file: where entries go, which install on which
// processor, and where and why a broken package fails. What is staged is
// checked end to end (scenarios/stream_install.txt).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>
#include <tuple>

#include "package/install_messages.h"
#include "package/package_install.h"
#include "package/package_reader.h"
#include "package/signature_check.h"
#include "package_builder.h"
#include "run/installer.h"
#include "storage/flash_device.h"
#include "support/dev_key.h"

namespace velmora {
namespace {

PackageRecipe stavel(std::vector<FileEntry> files) {
    PackageRecipe recipe;
    recipe.name = "stavel", recipe.version = 100754944, recipe.buildTime = 1300000000;  // 6.1
    recipe.files = std::move(files);
    return recipe;
}
std::string signedPackage(const PackageRecipe& recipe) { return buildPackage(recipe, &developmentKey()); }

TEST(PackageInstallRules, PathsAndProcessorGroups) {
    PackageRecord record("stavel");
    auto below = [&](const char* path) { return pathBelowFlash(record, path) + "|"; };
    EXPECT_EQ(below("/bin/tool") + below("etc/conf") + below(""), "/bin/tool|/etc/conf|/|");
    record.disabled = true;
    EXPECT_EQ(below("/lib/a.so") + below("etc/conf"), "/x/stavel/lib/a.so|/x/stavel/etc/conf|");
    for (const char* path : {"..", "/bin/../../x", "/bin/..", "/a//../b", "", "/.", "//", ".", "/bin/", "/bin/a\nb"})
        EXPECT_FALSE(namesFileBelowFlash(path)) << path;
    EXPECT_FALSE(namesFileBelowFlash(std::string_view("/bin/\0b", 7)));
    for (const char* path : {"/bin/..tool", "/bin/tool..", "/...", "/./bin", "bin//tool", "x"})
        EXPECT_TRUE(namesFileBelowFlash(path)) << path;
    static int asked = 0;
    const std::tuple<std::uint32_t, unsigned, unsigned> rows[] = {  // pvr, group with flash bit 16 set, clear
        {0x802110FF, 2, 4}, {0x80212100, 2, 4}, {0x80200000, 2, 2}, {0x80213000, 2, 2}, {0x00830010, 1, 1},
        {0x00840000, 1, 1}, {0x80850000, 1, 1}, {0x00860000, 0, 0}, {0x13020200, 3, 3}, {0x13030000, 0, 0}};
    for (const auto& [pvr, withBit16, withoutBit16] : rows) {
        SCOPED_TRACE(pvr);
        asked = 0;
        EXPECT_EQ(processorGroupFor(pvr, [] { return ++asked, 16u; }), withBit16);
        EXPECT_EQ(processorGroupFor(pvr, [] { return ++asked, 0u; }), withoutBit16);
        EXPECT_EQ(asked, withBit16 != withoutBit16 ? 2 : 0) << "the flash device is asked only where it decides";
    }
}

// An archive part made by hand from the inflated bytes given.
std::string withRawArchive(const std::string& inflated) {
    PackageRecipe recipe = stavel({});
    recipe.withArchive = false;
    recipe.extraParts.push_back({PartFileArchive, *zlibCompress(inflated), PartSignature});
    return signedPackage(recipe);
}

// Files go to /dev/null (the installer closes them), and "/fail" fails with ENOSPC.
struct Sink : EntrySink {
    int create(const std::string& below, std::uint32_t, std::uint16_t) override {
        created += below + " ";
        return below == "/fail" ? (errno = ENOSPC, -1) : ::open("/dev/null", O_WRONLY);
    }
    std::string created;
};

TEST(PackageBody, FaultsAndWhereTheyAre) {
    const std::string two = encodeArchiveEntries({regularFile("/a", "aaa"), regularFile("/b", "bbb")});
    PackageRecipe noSignature = stavel({regularFile("/a", "a")}), keep = noSignature;
    noSignature.withSignature = false;
    keep.keepImage = true, keep.keepImageData = std::string(10000, 'k');  // several 4096-byte steps
    std::string keepFlipped = signedPackage(keep);
    flipByte(keepFlipped, findPart(keepFlipped, PartKeepImage)->dataOffset() + 5000);
    using F = PackageFault;
    using S = SignatureCheck;
    const struct {
        const char* name;
        std::string image;
        F::Kind kind;
        std::string path;  // of the fault, then ":" and the files created
        std::int32_t type;
        S check;
        bool unsignedFields;
    } rows[] = {
        {"good", signedPackage(stavel({regularFile("/a", "1"), directoryEntry("/d"), regularFile("/g2", "", 0644, 2),
                                       regularFile("/g4", "", 0644, 4), regularFile("b", "2")})),
         F::None, ":/a /g4 /b ", -1, S::Good, false},
        {"cutInPath", withRawArchive(two.substr(0, 66)), F::CutPath, ":/a ", 4, S::Good, false},
        {"cutInContent", withRawArchive(two.substr(0, 68)), F::CutContent, "/b:/a /b ", 4, S::Good, false},
        {"outsideFlash", signedPackage(stavel({regularFile("/g", "g"), directoryEntry("/../x")})), F::EntryPath,
         "/../x:/g ", 4, S::Good, false},
        {"createFails", signedPackage(stavel({regularFile("/fail", "x"), regularFile("/b", "b")})), F::CreateFailed,
         "/fail:/fail ", 4, S::Good, false},
        {"noSignature", signedPackage(noSignature), F::NoSignature, ":/a ", -1, S::Good, false},
        {"flippedKeepImage", keepFlipped, F::Signature, ":/a ", 9, S::DigestMismatch, false},
        {"strangerKey", buildPackage(stavel({}), &strangerKey()), F::Signature, ":", 9, S::CommitmentMismatch, false},
        {"digestOnly", buildPackage(stavel({})), F::Signature, ":", 9, S::CommitmentMismatch, true},
    };
    FlashDeviceSubstitute devices;  // a router of group 4
    devices.flashPresent = true, setFlashDeviceSubstitute(&devices), setProcessorVersionSubstitute(0x80211000);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::istringstream in(row.image);  // read as the stream installer reads it
        PackageFile file(in, true);
        for (std::uint16_t type : {1, 18, 20, 16, 3, 19, 17, 21, 4, 9}) file.want(type);
        PackageRecord record;
        ASSERT_TRUE(file.nextPart() == PartHeader && readPackageHeader(record, file));
        Sink sink;
        const TrustedKey key = builtInKey();
        const F fault = readPackageBody(record, file, sink, &key);
        EXPECT_EQ(fault.path + ":" + sink.created, row.path);
        EXPECT_EQ(std::tuple(fault.kind, fault.partType, fault.signature, fault.unsignedFields),
                  std::tuple(row.kind, row.type, row.check, row.unsignedFields));
        EXPECT_EQ(fault.error, row.kind == F::CreateFailed ? ENOSPC : 0);
        const auto at = row.type < 0 ? std::nullopt : findPart(row.image, std::uint16_t(row.type));
        EXPECT_EQ(fault.offset, at ? at->offset : fault.offset);
    }
    clearProcessorVersionSubstitute(), setFlashDeviceSubstitute(nullptr);
}

// Real packages: only the development key's signatures hold, each bundle
// member on its own; the file length is the one header field not signed.
TEST(PackageFile, InstallerSignature) {
    PackageRecipe recipe = stavel({regularFile("/bin/tool", std::string(3000, 't'))});
    const std::string good = signedPackage(recipe);
    BundleRecipe b;
    b.bundle.name = "suite", b.members = {buildPackage(recipe, &strangerKey()), good};
    auto flipped = [&](std::uint16_t type, int offset) {
        std::string image = good; flipByte(image, findPart(image, type)->dataOffset() + offset, 0x01); return image;
    };
    const std::pair<std::string, std::vector<bool>> rows[] = {
        {good, {true}}, {buildBundle(b), {false, true}},
        {flipped(PartSignature, -4), {false}}, {flipped(PartHeader, -8), {true}},  // signature part header, length
    };
    int row = 0;
    for (const auto& [image, verifies] : rows) {
        std::istringstream in(image);
        PackageFile file(in, true);
        file.want(PartSignature);
        std::vector<bool> results;
        while (file.nextPart() == PartSignature) results.push_back(file.verifySignature());
        EXPECT_EQ(results, verifies) << row++;
    }
}

TEST(InstallMessages, CreateFailureByErrnoAndBundleMembersByTheirBundle) {
    PackageRecord member("stavel");
    member.bundleRef = {"velmora", 100689408, 100689408, 0};  // 6.0
    std::vector<std::string>& messages = Installer::instance().messages;
    for (int error : {ENOSPC, EIO, EPERM}) errno = error, reportCreateFailure(member, "bin/x");
    reportBrokenPackage(member);
    const std::string failed = "ERROR: installation of velmora-6.0 failed: ";
    EXPECT_EQ(messages, (std::vector<std::string>{failed + "disk is too small", failed + "disk error",
                                                  failed + "could not create bin/x: " + strerror(EPERM),
                                                  failed + "broken package"}));
    messages.clear();
}

}  // namespace
}  // namespace velmora
