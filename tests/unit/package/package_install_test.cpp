// Installing one package file: where entries go, which install on which
// processor, what is staged, and where and why a broken package fails.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>

#include "package/install_messages.h"
#include "package/package_install.h"
#include "package/package_reader.h"
#include "package/signature_check.h"
#include "package_builder.h"
#include "pdb/package_db.h"
#include "run/installer.h"
#include "storage/change_set.h"
#include "storage/flash_device.h"
#include "support/dev_key.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

PackageRecipe stavel(std::vector<FileEntry> files) {
    PackageRecipe recipe;
    recipe.name = "stavel", recipe.version = 100754944, recipe.buildTime = 1300000000;  // 6.1
    recipe.files = std::move(files);
    return recipe;
}
std::string signedPackage(const PackageRecipe& recipe) { return buildPackage(recipe, &developmentKey()); }

// The metadata read as the stream installer reads it; the body is left.
struct Opened {
    explicit Opened(const std::string& image) : in(image), file(in, true) {
        for (std::uint16_t type : {1, 18, 20, 16, 3, 19, 17, 21, 4, 9}) file.want(type);
        file.nextPart();
        EXPECT_TRUE(readPackageHeader(record, file));
    }
    std::istringstream in;
    PackageFile file;
    PackageRecord record;
};

TEST(PackageInstallRules, PathsAndProcessorGroups) {
    PackageRecord record("stavel");
    EXPECT_EQ(pathBelowFlash(record, "/bin/tool"), "/bin/tool");
    EXPECT_EQ(pathBelowFlash(record, "etc/conf"), "/etc/conf");
    EXPECT_EQ(pathBelowFlash(record, ""), "/");
    record.disabled = true;
    EXPECT_EQ(pathBelowFlash(record, "/lib/a.so"), "/x/stavel/lib/a.so");
    EXPECT_EQ(pathBelowFlash(record, "etc/conf"), "/x/stavel/etc/conf");
    for (const char* path : {"..", "/bin/../../x", "/bin/..", "/a//../b", "", "/.", "//", ".", "/bin/", "/bin/a\nb"})
        EXPECT_FALSE(namesFileBelowFlash(path)) << path;
    EXPECT_FALSE(namesFileBelowFlash(std::string_view("/bin/\0b", 7)));
    for (const char* path : {"/bin/..tool", "/bin/tool..", "/...", "/./bin", "bin//tool", "x"})
        EXPECT_TRUE(namesFileBelowFlash(path)) << path;
    static int asked = 0;
    const struct {
        std::uint32_t pvr;
        unsigned withBit16, withoutBit16;
    } rows[] = {{0x802110FF, 2, 4}, {0x80212100, 2, 4}, {0x80200000, 2, 2}, {0x80213000, 2, 2}, {0x00830010, 1, 1},
                {0x80850000, 1, 1}, {0x00860000, 0, 0}, {0x13020200, 3, 3}, {0x13030000, 0, 0}, {0, 0, 0}};
    for (const auto& row : rows) {
        asked = 0;
        EXPECT_EQ(processorGroupFor(row.pvr, [] { return ++asked, 16u; }), row.withBit16) << std::hex << row.pvr;
        EXPECT_EQ(processorGroupFor(row.pvr, [] { return ++asked, 0u; }), row.withoutBit16) << std::hex << row.pvr;
        // The flash device is asked only where it decides the group.
        EXPECT_EQ(asked, row.withBit16 != row.withoutBit16 ? 2 : 0) << std::hex << row.pvr;
    }
}

// An archive part made by hand from the inflated bytes given.
std::string withRawArchive(const std::string& inflated) {
    PackageRecipe recipe = stavel({});
    recipe.withArchive = false;
    recipe.extraParts.push_back({PartFileArchive, *zlibCompress(inflated), PartSignature});
    return signedPackage(recipe);
}

// Files go to /dev/null, and "/fail" fails with ENOSPC.
struct Sink : EntrySink {
    int create(const std::string& below, std::uint32_t, std::uint16_t) override {
        created += below + " ";
        if (below == "/fail") return errno = ENOSPC, -1;
        fds.push_back(::open("/dev/null", O_WRONLY));
        return fds.back();
    }
    ~Sink() override { for (int fd : fds) ::close(fd); }
    std::string created;
    std::vector<int> fds;
};

TEST(PackageBody, FaultsAndWhereTheyAre) {
    const std::string two = encodeArchiveEntries({regularFile("/a", "aaa"), regularFile("/b", "bbb")});
    PackageRecipe noSignature = stavel({regularFile("/a", "a")}), keep = noSignature;
    noSignature.withSignature = false;
    keep.keepImage = true, keep.keepImageData = std::string(10000, 'k');  // several 4096-byte steps
    std::string flipped = signedPackage(stavel({regularFile("/a", std::string(5000, 'a'))}));
    std::string keepFlipped = signedPackage(keep);
    flipByte(flipped, findPart(flipped, PartFileArchive)->dataOffset() + 20, 0x01);
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
        {"good", signedPackage(stavel({regularFile("/a", "1"), directoryEntry("/d"), regularFile("b", "2")})), F::None,
         ":/a /b ", -1, S::Good, false},
        {"keepImage", signedPackage(keep), F::None, ":/a ", -1, S::Good, false},
        {"endsAtEntryHeader", withRawArchive(two.substr(0, 35)), F::None, ":/a ", -1, S::Good, false},
        {"endsInEntryHeader", withRawArchive(two.substr(0, 45)), F::None, ":/a ", -1, S::Good, false},
        {"cutInPath", withRawArchive(two.substr(0, 66)), F::CutPath, ":/a ", 4, S::Good, false},
        {"cutInContent", withRawArchive(two.substr(0, 68)), F::CutContent, "/b:/a /b ", 4, S::Good, false},
        {"outsideFlash", signedPackage(stavel({regularFile("/g", "g"), directoryEntry("/../x")})), F::EntryPath,
         "/../x:/g ", 4, S::Good, false},
        {"createFails", signedPackage(stavel({regularFile("/fail", "x"), regularFile("/b", "b")})), F::CreateFailed,
         "/fail:/fail ", 4, S::Good, false},
        {"noSignature", signedPackage(noSignature), F::NoSignature, ":/a ", -1, S::Good, false},
        {"flippedArchive", flipped, F::Signature, ":", 9, S::DigestMismatch, false},
        {"flippedKeepImage", keepFlipped, F::Signature, ":/a ", 9, S::DigestMismatch, false},
        {"strangerKey", buildPackage(stavel({}), &strangerKey()), F::Signature, ":", 9, S::CommitmentMismatch, false},
        {"digestOnly", buildPackage(stavel({})), F::Signature, ":", 9, S::CommitmentMismatch, true},
    };
    for (const auto& row : rows) {
        Opened o(row.image);
        Sink sink;
        const TrustedKey key = builtInKey();
        const F fault = readPackageBody(o.record, o.file, sink, &key);
        EXPECT_EQ(fault.kind, row.kind) << row.name;
        EXPECT_EQ(fault.path + ":" + sink.created, row.path) << row.name;
        EXPECT_EQ(fault.partType, row.type) << row.name;
        const auto at = row.type < 0 ? std::nullopt : findPart(row.image, std::uint16_t(row.type));
        EXPECT_EQ(fault.offset, at ? at->offset : fault.offset) << row.name;
        EXPECT_EQ(fault.signature, row.check) << row.name;
        EXPECT_EQ(fault.unsignedFields, row.unsignedFields) << row.name;
        EXPECT_EQ(fault.error, row.kind == F::CreateFailed ? ENOSPC : 0) << row.name;
    }
}

// A router tree in a scratch directory, with the database pointed at it.
class PackageInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/install-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directories(root_ + "/flash/var/pdb");
        setDbPaths({root_ + "/flash/var/pdb/", root_ + "/ram/pdb/", root_ + "/flash", root_ + "/flash/bootimage"});
    }
    void TearDown() override {
        cancel(changes_), clearProcessorVersionSubstitute(), setFlashDeviceSubstitute(nullptr);
        Installer& installer = Installer::instance();
        installer.packages.clear(), installer.messages.clear(), installer.status.clear(), installer.quiet = false;
        setDbPaths({}), fs::remove_all(root_);
    }
    // installPackageFile after the header, with adjust standing for what the stream installer decides.
    bool install(const std::string& image, const std::function<void(PackageRecord&, PackageFile&)>& adjust = {}) {
        cancel(changes_);
        Installer::instance().messages.clear();
        opened_.emplace(image);
        if (adjust) adjust(opened_->record, opened_->file);
        return installPackageFile(opened_->record, changes_, opened_->file);
    }
    std::string staged(const std::string& below) const {  // "<not staged>", or the content staged for root + below
        auto it = changes_.ops.find(root_ + below);
        if (it == changes_.ops.end()) return "<not staged>";
        std::ifstream in(it->second.source, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string targets() const {
        std::string targets;
        for (const auto& [target, op] : changes_.ops) targets += target.substr(root_.size()) + " ";
        return targets;
    }
    const std::vector<std::string>& messages() const { return Installer::instance().messages; }

    std::string root_;
    ChangeSet changes_;
    std::optional<Opened> opened_;
};

// Entries for a processor group install only on a router of that group; the
// board-dependent models ask the flash device.
TEST_F(PackageInstallTest, InstallsOnlyEntriesOfThisRoutersGroup) {
    std::vector<FileEntry> entries;
    for (std::uint8_t group = 0; group <= 4; ++group)
        entries.push_back(regularFile("/f" + std::to_string(group), "variant " + std::to_string(group), 0644, group));
    const std::string image = signedPackage(stavel(entries));
    FlashDeviceSubstitute devices;
    devices.flashPresent = true;
    setFlashDeviceSubstitute(&devices);
    const struct {
        std::optional<std::uint32_t> pvr;
        int flashControl;
        std::set<std::string> installed;
    } rows[] = {{std::nullopt, 16, {"/f0"}}, {0x00840000, 16, {"/f0", "/f1"}}, {0x13020000, 16, {"/f0", "/f3"}},
                {0x80211000, 16, {"/f0", "/f2"}}, {0x80211000, 0, {"/f0", "/f4"}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pvr.value_or(1) + row.flashControl);
        setProcessorVersionSubstitute(row.pvr);
        devices.controlAnswer = row.flashControl;
        ASSERT_TRUE(install(image));
        EXPECT_EQ(opened_->record.files, row.installed);
        for (const std::string& path : row.installed) EXPECT_EQ(staged("/flash" + path), "variant " + path.substr(2));
    }
}

TEST_F(PackageInstallTest, StagesFilesModesAndTheDatabaseEntry) {
    std::string big(100000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 251);
    const std::string image = signedPackage(stavel({directoryEntry("/opt"), regularFile("/bin/tool", "#!tool\n", 0750),
                                                    symlinkEntry("/bin/link", "/bin/tool"),
                                                    regularFile("etc/big", big)}));
    ASSERT_TRUE(install(image));
    EXPECT_EQ(staged("/flash/bin/tool"), "#!tool\n");
    EXPECT_EQ(staged("/flash/etc/big"), big);
    struct stat st {};
    ASSERT_EQ(::stat(changes_.ops.at(root_ + "/flash/bin/tool").source.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    const std::string db = "/flash/var/pdb/stavel/";
    EXPECT_EQ(targets(), "/flash/bin/tool /flash/etc/big " + db + "deps " + db + "files " + db + "version ");
    EXPECT_EQ(staged(db + "files") + staged(db + "version"), "bin/tool\netc/big\n100754944 1300000000\n");
    EXPECT_EQ(messages(), (std::vector<std::string>{"installed stavel-6.1"}));

    ASSERT_TRUE(install(image, [](PackageRecord& r, PackageFile&) { r.disabled = true; }));
    EXPECT_EQ(opened_->record.files, (std::set<std::string>{"/x/stavel/bin/tool", "/x/stavel/etc/big"}));
    EXPECT_EQ(staged(db + "disabled"), "auto\n");
    EXPECT_EQ(messages(), (std::vector<std::string>{"installed (disabled) stavel-6.1"}));

    // A bundle member is reported with its bundle; the progress line is 77 columns.
    ASSERT_TRUE(install(image, [](PackageRecord& r, PackageFile& file) {
        r.bundleRef = Dependency{"suite", 0x02006600, 0x02006600, 0}, r.disabled = true;
        showInstallProgress(r, file);
        EXPECT_EQ(Installer::instance().status.rfind("installing suite-2.0 [", 0), 0u) << Installer::instance().status;
        r.bundleRef = {};
        showInstallProgress(r, file);
        EXPECT_EQ(Installer::instance().status.rfind("installing  (disabled) stavel-6.1 [", 0), 0u);
        EXPECT_EQ(Installer::instance().status.size(), 77u);
        r.bundleRef = Dependency{"suite", 0x02006600, 0x02006600, 0};
    }));
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(staged(db + "bundle"), "suite\n");

    PackageRecipe overlay = stavel({regularFile("/bin/extra", "extra")});
    overlay.overlay = true;
    ASSERT_TRUE(install(signedPackage(overlay)));
    EXPECT_EQ(targets(), "/flash/bin/extra ") << "an overlay has no database entry";
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
