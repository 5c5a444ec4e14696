// Installing one package file into a change set: where entries go, which
// entries install on which processor, what is staged for the database and
// the markers, and how a broken package ends.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "package/install_messages.h"
#include "package/package_install.h"
#include "package/package_reader.h"
#include "package/package_stream.h"
#include "package_builder.h"
#include "pdb/package_db.h"
#include "run/installer.h"
#include "storage/change_set.h"
#include "storage/flash_device.h"
#include "support/dev_key.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

const std::string brokenStavel = "ERROR: installation of stavel-6.1 failed: broken package";

PackageRecipe stavel(std::vector<FileEntry> files) {
    PackageRecipe recipe;
    recipe.name = "stavel";
    recipe.version = 100754944;  // 6.1
    recipe.buildTime = 1300000000;
    recipe.files = std::move(files);
    return recipe;
}

std::string signedPackage(const PackageRecipe& recipe) { return buildPackage(recipe, &developmentKey()); }

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(PackageInstallRules, TargetPathIsBuiltFromRecordAndEntry) {
    const struct {
        bool disabled;
        const char* entryPath;
        const char* expected;
    } rows[] = {{false, "/bin/tool", "/bin/tool"},
                {false, "etc/conf", "/etc/conf"},  // a relative path gets its slash
                {true, "/lib/a.so", "/x/stavel/lib/a.so"},
                {true, "etc/conf", "/x/stavel/etc/conf"},
                {false, "", "/"}};
    for (const auto& row : rows) {
        PackageRecord record("stavel");
        record.disabled = row.disabled;
        EXPECT_EQ(pathBelowFlash(record, row.entryPath), row.expected) << row.entryPath;
    }
}

TEST(PackageInstallRules, EntryPathMustNameOneFileBelowFlash) {
    for (const char* path : {"../x", "..", "/bin/../../x", "/bin/..", "/a//../b", "", "/", "/.", "//", ".",
                             "/bin/", "/bin/.", "/bin/a\nb"}) {
        EXPECT_FALSE(namesFileBelowFlash(path)) << path;
    }
    for (const char* path : {"/bin/..tool", "/bin/tool..", "/...", "/./bin", "/bin/tool", "bin//tool", "x"}) {
        EXPECT_TRUE(namesFileBelowFlash(path)) << path;
    }
}

int gFlashAsked = 0;
unsigned flashBitSet() { ++gFlashAsked; return 16; }
unsigned flashBitClear() { ++gFlashAsked; return 0; }

TEST(PackageInstallRules, ProcessorGroupFollowsTheRegister) {
    const struct {
        const char* name;
        std::uint32_t pvr;
        unsigned withBitSet;    // group when the flash control bit is 16
        unsigned withBitClear;  // group when it is 0
    } rows[] = {
        {"BoardDependentModelA", 0x80211000, 2, 4}, {"BoardDependentModelALowBitsIgnored", 0x802110FF, 2, 4},
        {"BoardDependentModelB", 0x80212100, 2, 4}, {"Family20", 0x80200000, 2, 2},
        {"Family21OtherModel", 0x80213000, 2, 2},   {"Family83", 0x00830010, 1, 1},
        {"Family84", 0x00840000, 1, 1},             {"Family85", 0x80850000, 1, 1},
        {"Family86IsNone", 0x00860000, 0, 0},       {"Upper1302", 0x13020200, 3, 3},
        {"Upper1303IsNone", 0x13030000, 0, 0},      {"ZeroIsNone", 0, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        gFlashAsked = 0;
        EXPECT_EQ(processorGroupFor(row.pvr, flashBitSet), row.withBitSet);
        EXPECT_EQ(processorGroupFor(row.pvr, flashBitClear), row.withBitClear);
        // The flash device is asked only where it decides the group.
        EXPECT_EQ(gFlashAsked, row.withBitSet != row.withBitClear ? 2 : 0);
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
        reset();
        ::unsetenv("bootimage");
    }
    void TearDown() override {
        reset();
        clearProcessorVersionSubstitute();
        setFlashDeviceSubstitute(nullptr);
        ::unsetenv("bootimage");
        setDbPaths({});
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    // Drops what was staged and reported, for the next install.
    void reset() {
        cancel(changes_);
        Installer& installer = Installer::instance();
        installer.packages.clear();
        installer.messages.clear();
        installer.status.clear();
        installer.quiet = false;
    }

    // Reads the header as the stream installer does, lets adjust set what
    // the stream installer decides, and hands the rest to installPackageFile.
    bool install(const std::string& image, PackageRecord& record,
                 const std::function<void(PackageRecord&, PackageFile&)>& adjust = {}) {
        std::istringstream input(image);
        PackageFile file(input, true);
        for (std::uint16_t type : {PartHeader, PartBundleHeader, PartDisabledMembers, PartArchitecture,
                                   PartDependencies, PartProvides, PartConflicts, PartKeepImage, PartFileArchive,
                                   PartSignature}) {
            file.want(type);
        }
        file.nextPart();
        if (!readPackageHeader(record, file)) {
            ADD_FAILURE() << "header not readable";
            return false;
        }
        if (adjust) adjust(record, file);
        return installPackageFile(record, changes_, file);
    }

    std::string flash(const std::string& below) const { return root_ + "/flash" + below; }
    std::string db(const std::string& file) const { return root_ + "/flash/var/pdb/stavel/" + file; }
    bool staged(const std::string& target) const { return changes_.ops.count(target) != 0; }

    // The targets staged, relative to the scratch root.
    std::set<std::string> stagedTargets() const {
        std::set<std::string> targets;
        for (const auto& [target, op] : changes_.ops) targets.insert(target.substr(root_.size()));
        return targets;
    }
    // Contents of the temporary file staged for a target.
    std::string stagedContent(const std::string& target) const {
        auto it = changes_.ops.find(target);
        return it == changes_.ops.end() ? "<not staged>" : readAll(it->second.source);
    }
    std::vector<std::string> tempFilesLeft() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (entry.path().filename().string().rfind("tmp", 0) == 0) found.push_back(entry.path());
        }
        return found;
    }
    const std::vector<std::string>& messages() const { return Installer::instance().messages; }
    const std::string& status() const { return Installer::instance().status; }

    std::string root_;
    ChangeSet changes_;
};

// Entries marked for a processor group install only on a router of that
// group; the board-dependent models ask the flash device.
TEST_F(PackageInstallTest, InstallsOnlyEntriesOfThisRoutersGroup) {
    std::vector<FileEntry> files;
    for (std::uint8_t group = 0; group <= 4; ++group) {
        files.push_back(regularFile("/f" + std::to_string(group), "variant " + std::to_string(group), 0644, group));
    }
    const std::string image = signedPackage(stavel(files));
    FlashDeviceSubstitute devices;
    devices.flashPresent = true;
    setFlashDeviceSubstitute(&devices);
    const struct {
        const char* name;
        std::optional<std::uint32_t> pvr;
        int flashControl;
        std::set<std::string> installed;
    } rows[] = {
        {"NoRegister", std::nullopt, 16, {"/f0"}},  {"Group1", 0x00840000, 16, {"/f0", "/f1"}},
        {"Group2", 0x80200000, 0, {"/f0", "/f2"}},  {"Group3", 0x13020000, 16, {"/f0", "/f3"}},
        {"Unknown", 0x00990000, 16, {"/f0"}},       {"BoardWithBit16", 0x80211000, 16, {"/f0", "/f2"}},
        {"BoardWithoutBit16", 0x80211000, 0, {"/f0", "/f4"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        reset();
        setProcessorVersionSubstitute(row.pvr);
        devices.controlAnswer = row.flashControl;
        PackageRecord record;
        ASSERT_TRUE(install(image, record));
        EXPECT_EQ(record.files, row.installed);
        for (const std::string& path : row.installed) {
            EXPECT_EQ(stagedContent(flash(path)), "variant " + path.substr(2)) << path;
        }
    }
}

TEST_F(PackageInstallTest, StagesRegularFilesOnlyWithTheirModes) {
    std::string big(100000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
    PackageRecord record;
    ASSERT_TRUE(install(signedPackage(stavel({directoryEntry("/opt"), regularFile("/bin/tool", "#!tool\n", 0750),
                                             symlinkEntry("/bin/link", "/bin/tool"), regularFile("etc/big", big)})),
                        record));

    EXPECT_EQ(record.files, (std::set<std::string>{"/bin/tool", "/etc/big"}));
    EXPECT_EQ(stagedContent(flash("/bin/tool")), "#!tool\n");
    EXPECT_EQ(stagedContent(flash("/etc/big")), big);
    struct stat st {};
    ASSERT_EQ(::stat(changes_.ops.at(flash("/bin/tool")).source.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_FALSE(staged(flash("/opt")));
    EXPECT_FALSE(staged(flash("/bin/link")));

    // The database entry goes with the files, and the run is reported.
    EXPECT_EQ(stagedContent(db("files")), "bin/tool\netc/big\n");
    EXPECT_EQ(stagedContent(db("version")), "100754944 1300000000\n");
    EXPECT_FALSE(staged(flash("/UPGRADED")));
    EXPECT_EQ(messages(), (std::vector<std::string>{"installed stavel-6.1"}));
}

TEST_F(PackageInstallTest, DisabledPackageGoesUnderX) {
    PackageRecord record;
    ASSERT_TRUE(install(signedPackage(stavel({regularFile("/lib/a.so", "so")})), record,
                        [](PackageRecord& r, PackageFile&) { r.disabled = true; }));
    EXPECT_EQ(record.files, std::set<std::string>{"/x/stavel/lib/a.so"});
    EXPECT_EQ(stagedContent(flash("/x/stavel/lib/a.so")), "so");
    EXPECT_EQ(stagedContent(db("disabled")), "auto\n");
    EXPECT_EQ(messages(), (std::vector<std::string>{"installed (disabled) stavel-6.1"}));
}

TEST_F(PackageInstallTest, KeepImageBytesAreReadAndSigned) {
    PackageRecipe recipe = stavel({regularFile("/bin/tool", "x")});
    recipe.keepImage = true;
    recipe.keepImageData = std::string(10000, 'k');  // several 4096-byte steps
    std::string image = signedPackage(recipe);
    PackageRecord record;
    ASSERT_TRUE(install(image, record));
    EXPECT_TRUE(record.keepsImage);
    EXPECT_EQ(stagedContent(flash("/bin/tool")), "x");

    // The part's bytes are covered by the signature: damage there is found.
    flipByte(image, findPart(image, PartKeepImage)->dataOffset() + 5000);
    reset();
    PackageRecord again;
    EXPECT_FALSE(install(image, again));
    EXPECT_EQ(messages(), std::vector<std::string>{brokenStavel});
}

TEST_F(PackageInstallTest, OverlayStagesFilesButNoDatabaseEntry) {
    PackageRecipe recipe = stavel({regularFile("/bin/extra", "extra")});
    recipe.overlay = true;
    PackageRecord record;
    ASSERT_TRUE(install(signedPackage(recipe), record));
    EXPECT_EQ(stagedTargets(), std::set<std::string>{"/flash/bin/extra"});
}

TEST_F(PackageInstallTest, BootImagePackage) {
    PackageRecipe recipe = stavel({regularFile("/boot/kernel", "kernel")});
    recipe.flags = FlagBootImage;
    const std::string image = signedPackage(recipe);

    // Asked to write the boot image whole: the archive is passed over, the
    // package is still verified and recorded, and the marker is staged.
    ::setenv("bootimage", "", 1);
    PackageRecord whole;
    ASSERT_TRUE(install(image, whole));
    EXPECT_TRUE(whole.files.empty());
    EXPECT_FALSE(staged(flash("/boot/kernel")));
    EXPECT_EQ(stagedContent(flash("/UPGRADED")), "");
    EXPECT_TRUE(staged(db("version")));
    // A package without the flag is unpacked all the same.
    reset();
    PackageRecord plain;
    ASSERT_TRUE(install(signedPackage(stavel({regularFile("/bin/tool", "x")})), plain));
    EXPECT_EQ(stagedContent(flash("/bin/tool")), "x");

    reset();
    ::unsetenv("bootimage");
    PackageRecord unpacked;
    ASSERT_TRUE(install(image, unpacked));
    EXPECT_EQ(stagedContent(flash("/boot/kernel")), "kernel");
    EXPECT_EQ(stagedContent(flash("/UPGRADED")), "");
}

TEST_F(PackageInstallTest, BundleMemberIsNotReportedOnItsOwn) {
    PackageRecord record;
    ASSERT_TRUE(install(signedPackage(stavel({regularFile("/bin/tool", "x")})), record,
                        [](PackageRecord& r, PackageFile& file) {
                            r.bundleRef = Dependency{"suite", 0x02006600, 0x02006600, 0};
                            r.disabled = true;
                            showInstallProgress(r, file);
                            // A member's bar names its bundle, without the disabled marker.
                            const std::string& status = Installer::instance().status;
                            EXPECT_EQ(status.rfind("installing suite-2.0 [", 0), 0u) << status;
                        }));
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(stagedContent(db("bundle")), "suite\n");
}

TEST_F(PackageInstallTest, ProgressLabelOfDisabledPackageHasTwoBlanks) {
    PackageRecord record;
    ASSERT_TRUE(install(signedPackage(stavel({})), record, [](PackageRecord& r, PackageFile& file) {
        r.disabled = true;
        showInstallProgress(r, file);
        const std::string& status = Installer::instance().status;
        EXPECT_EQ(status.rfind("installing  (disabled) stavel-6.1 [", 0), 0u) << status;
        EXPECT_EQ(status.size(), 77u);
    }));
}

// --- broken packages --------------------------------------------------------

// An archive part written by hand from the inflated bytes given.
std::string withRawArchive(const std::string& inflated) {
    PackageRecipe recipe = stavel({});
    recipe.withArchive = false;
    recipe.extraParts.push_back({PartFileArchive, *zlibCompress(inflated), PartSignature});
    return signedPackage(recipe);
}

const std::string twoEntries = encodeArchiveEntries({regularFile("/a", "aaa"), regularFile("/b", "bbb")});
constexpr std::size_t secondEntry = 30 + 2 + 3;

TEST_F(PackageInstallTest, ArchiveEndingAtOrInsideAnEntryHeaderEndsQuietly) {
    for (std::size_t cut : {secondEntry, secondEntry + 10}) {
        SCOPED_TRACE(cut);
        reset();
        PackageRecord record;
        ASSERT_TRUE(install(withRawArchive(twoEntries.substr(0, cut)), record));
        EXPECT_EQ(record.files, std::set<std::string>{"/a"});
        EXPECT_EQ(messages(), (std::vector<std::string>{"installed stavel-6.1"}));
    }
}

TEST_F(PackageInstallTest, BrokenPackageIsReportedAndLeavesOnlyWhatCancelRemoves) {
    PackageRecipe unsignedRecipe = stavel({regularFile("/a", "aaa")});
    unsignedRecipe.withSignature = false;
    std::string flipped = signedPackage(stavel({regularFile("/a", std::string(5000, 'a'))}));
    flipByte(flipped, findPart(flipped, PartFileArchive)->dataOffset() + 20, 0x01);
    const struct {
        const char* name;
        std::string image;
    } rows[] = {
        {"CutInsidePath", withRawArchive(twoEntries.substr(0, secondEntry + 31))},
        {"CutInsideContent", withRawArchive(twoEntries.substr(0, secondEntry + 33))},
        {"NoSignature", signedPackage(unsignedRecipe)},
        {"FlippedArchiveByte", flipped},
        {"SignedByAnotherKey", buildPackage(stavel({regularFile("/a", "aaa")}), &strangerKey())},
        // The entry comes after a good one, and in one case is not even a
        // regular file: its path alone condemns the package.
        {"EntryReachingOutsideFlash", signedPackage(stavel({regularFile("/good", "g"), regularFile("/../x", "evil")}))},
        {"DirectoryOutsideFlash", signedPackage(stavel({directoryEntry("/../dir")}))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        reset();
        PackageRecord record;
        EXPECT_FALSE(install(row.image, record));
        EXPECT_EQ(messages(), std::vector<std::string>{brokenStavel});
        EXPECT_FALSE(staged(db("version"))) << "no database entry for a broken package";
        for (const std::string& target : stagedTargets()) EXPECT_EQ(target.find(".."), std::string::npos) << target;
        cancel(changes_);
        EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(root_ + "/x"));
    }
}

TEST_F(PackageInstallTest, UnusableDatabaseDirectoryFailsWithoutMessage) {
    // Something else is already planned for the package's directory.
    scheduleLink(changes_, "/elsewhere", db(""));
    PackageRecord record;
    EXPECT_FALSE(install(signedPackage(stavel({regularFile("/a", "a")})), record));
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(stagedTargets(), std::set<std::string>{"/flash/var/pdb/stavel/"});
}

TEST_F(PackageInstallTest, CreateFailureIsReportedByErrno) {
    std::ofstream(root_ + "/flash/etc") << "a file where a directory is needed";
    PackageRecord record;
    EXPECT_FALSE(install(signedPackage(stavel({regularFile("etc/conf", "c")})), record));
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "ERROR: installation of stavel-6.1 failed: could not create etc/conf: Not a directory"}));

    // A full or failing disk has a message of its own; a bundle member is
    // named by its bundle.
    PackageRecord member("stavel");
    member.version = 100754944;
    member.bundleRef = {"velmora", 100689408, 100689408, 0};  // 6.0
    const struct {
        int error;
        std::string text;
    } rows[] = {{ENOSPC, "disk is too small"},
                {EIO, "disk error"},
                {EPERM, std::string("could not create bin/stavel: ") + std::strerror(EPERM)}};
    for (const auto& row : rows) {
        reset();
        errno = row.error;
        reportCreateFailure(member, "bin/stavel");
        EXPECT_EQ(messages(), std::vector<std::string>{"ERROR: installation of velmora-6.0 failed: " + row.text});
    }
    reset();
    reportBrokenPackage(member);
    EXPECT_EQ(messages(), std::vector<std::string>{"ERROR: installation of velmora-6.0 failed: broken package"});
}

}  // namespace
}  // namespace velmora
