// Installing one package file into a change set: where entries go, which
// entries install on which processor, what is staged for the database and
// the markers, and how a broken package ends.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

constexpr Version kV61 = 100754944;  // 6.1
constexpr Version kV20 = 0x02006600;  // 2.0

PackageRecipe stavel(std::vector<FileEntry> files) {
    PackageRecipe recipe;
    recipe.name = "stavel";
    recipe.version = kV61;
    recipe.buildTime = 1300000000;
    recipe.files = std::move(files);
    return recipe;
}

std::string signedPackage(const PackageRecipe& recipe) { return buildPackage(recipe, &developmentKey()); }

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
        resetInstaller();
        ::unsetenv("bootimage");
    }
    void TearDown() override {
        cancel(changes_);
        clearProcessorVersionSubstitute();
        setFlashDeviceSubstitute(nullptr);
        ::unsetenv("bootimage");
        setDbPaths({});
        resetInstaller();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    static void resetInstaller() {
        Installer& installer = Installer::instance();
        installer.packages.clear();
        installer.messages.clear();
        installer.status.clear();
        installer.quiet = false;
    }

    // Reads the header as the stream installer does and hands the rest of
    // the package to installPackageFile.
    bool install(const std::string& image, PackageRecord& record) {
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
        return installPackageFile(record, changes_, file);
    }

    std::string flash(const std::string& below) const { return root_ + "/flash" + below; }
    std::string db(const std::string& file) const { return root_ + "/flash/var/pdb/stavel/" + file; }

    // The targets staged, relative to the scratch root.
    std::set<std::string> stagedTargets() const {
        std::set<std::string> targets;
        for (const auto& [target, op] : changes_.ops) targets.insert(target.substr(root_.size()));
        return targets;
    }
    // Contents of the temporary file staged for a target.
    std::string stagedContent(const std::string& below) const {
        auto it = changes_.ops.find(flash(below));
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

    std::string root_;
    ChangeSet changes_;
};

// --- where entries go -----------------------------------------------------

struct TargetRow {
    const char* name;
    bool disabled;
    const char* entryPath;
    const char* expected;
};

const TargetRow kTargetRows[] = {
    {"AbsolutePath", false, "/bin/tool", "/bin/tool"},
    {"RelativePathGetsSlash", false, "etc/conf", "/etc/conf"},
    {"DisabledKeptApart", true, "/lib/a.so", "/x/stavel/lib/a.so"},
    {"DisabledRelative", true, "etc/conf", "/x/stavel/etc/conf"},
    {"EmptyPath", false, "", "/"},
};

class TargetPath : public ::testing::TestWithParam<TargetRow> {};

TEST_P(TargetPath, IsBuiltFromRecordAndEntry) {
    PackageRecord record("stavel");
    record.disabled = GetParam().disabled;
    EXPECT_EQ(pathBelowFlash(record, GetParam().entryPath), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, TargetPath, ::testing::ValuesIn(kTargetRows),
                         [](const auto& info) { return std::string(info.param.name); });

struct TraversalRow {
    const char* name;
    const char* path;
    bool leaves;
};

const TraversalRow kTraversalRows[] = {
    {"LeadingDotDot", "../x", true},
    {"BareDotDot", "..", true},
    {"DotDotInside", "/bin/../../x", true},
    {"DotDotAtEnd", "/bin/..", true},
    {"DotDotAfterDoubleSlash", "/a//../b", true},
    {"DotsInAName", "/bin/..tool", false},
    {"NameEndingInDots", "/bin/tool..", false},
    {"ThreeDots", "/...", false},
    {"SingleDot", "/./bin", false},
    {"Plain", "/bin/tool", false},
};

class Traversal : public ::testing::TestWithParam<TraversalRow> {};

TEST_P(Traversal, DotDotComponentLeavesFlash) { EXPECT_EQ(leavesFlash(GetParam().path), GetParam().leaves); }

INSTANTIATE_TEST_SUITE_P(Rows, Traversal, ::testing::ValuesIn(kTraversalRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- processor groups -----------------------------------------------------

int gFlashAsked = 0;
unsigned flashBitSet() {
    ++gFlashAsked;
    return 16;
}
unsigned flashBitClear() {
    ++gFlashAsked;
    return 0;
}

struct GroupRow {
    const char* name;
    std::uint32_t pvr;
    unsigned withBitSet;    // group when the flash control bit is 16
    unsigned withBitClear;  // group when it is 0
};

const GroupRow kGroupRows[] = {
    {"BoardDependentModelA", 0x80211000, 2, 4},
    {"BoardDependentModelALowBitsIgnored", 0x802110FF, 2, 4},
    {"BoardDependentModelB", 0x80212100, 2, 4},
    {"Family20", 0x80200000, 2, 2},
    {"Family21OtherModel", 0x80213000, 2, 2},
    {"Family83", 0x00830010, 1, 1},
    {"Family84", 0x00840000, 1, 1},
    {"Family85", 0x80850000, 1, 1},
    {"Family86IsNone", 0x00860000, 0, 0},
    {"Upper1302", 0x13020200, 3, 3},
    {"Upper1303IsNone", 0x13030000, 0, 0},
    {"ZeroIsNone", 0, 0, 0},
};

class ProcessorGroupRule : public ::testing::TestWithParam<GroupRow> {};

TEST_P(ProcessorGroupRule, FollowsTheRegister) {
    const GroupRow& row = GetParam();
    gFlashAsked = 0;
    EXPECT_EQ(processorGroupFor(row.pvr, flashBitSet), row.withBitSet);
    EXPECT_EQ(processorGroupFor(row.pvr, flashBitClear), row.withBitClear);
    // The flash device is asked only where it decides the group.
    const bool boardDependent = row.withBitSet != row.withBitClear;
    EXPECT_EQ(gFlashAsked, boardDependent ? 2 : 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProcessorGroupRule, ::testing::ValuesIn(kGroupRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProcessorGroup, ReadsTheSubstituteAndTheFlashDevice) {
    setProcessorVersionSubstitute(std::nullopt);
    EXPECT_EQ(processorGroup(), 0u) << "a processor without the register is in no group";
    setProcessorVersionSubstitute(0x13020000);
    EXPECT_EQ(processorGroup(), 3u);

    FlashDeviceSubstitute devices;
    devices.flashPresent = true;
    devices.controlAnswer = 16;
    setFlashDeviceSubstitute(&devices);
    setProcessorVersionSubstitute(0x80211000);
    EXPECT_EQ(processorGroup(), 2u);
    devices.controlAnswer = 0;
    EXPECT_EQ(processorGroup(), 4u);
    setFlashDeviceSubstitute(nullptr);
    clearProcessorVersionSubstitute();
}

struct GroupInstallRow {
    const char* name;
    std::optional<std::uint32_t> pvr;
    std::set<std::string> installed;
};

const GroupInstallRow kGroupInstallRows[] = {
    {"NoRegister", std::nullopt, {"/f0"}},
    {"Group1", 0x00840000, {"/f0", "/f1"}},
    {"Group2", 0x80200000, {"/f0", "/f2"}},
    {"Group3", 0x13020000, {"/f0", "/f3"}},
    {"Unknown", 0x00990000, {"/f0"}},
};

class GroupInstall : public PackageInstallTest, public ::testing::WithParamInterface<GroupInstallRow> {};

TEST_P(GroupInstall, InstallsOnlyEntriesOfThisRoutersGroup) {
    setProcessorVersionSubstitute(GetParam().pvr);
    std::vector<FileEntry> files;
    for (std::uint8_t group = 0; group <= 4; ++group) {
        std::string path = "/f" + std::to_string(group);
        files.push_back(regularFile(path, "variant " + std::to_string(group), 0644, group));
    }
    PackageRecord record;
    ASSERT_TRUE(install(signedPackage(stavel(files)), record));
    EXPECT_EQ(record.files, GetParam().installed);
    for (const std::string& path : GetParam().installed) {
        EXPECT_EQ(stagedContent(path), "variant " + path.substr(2)) << path;
    }
    EXPECT_EQ(changes_.ops.count(flash("/f4")), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, GroupInstall, ::testing::ValuesIn(kGroupInstallRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- a package's files and its database entry -----------------------------

TEST_F(PackageInstallTest, StagesRegularFilesOnlyWithTheirModes) {
    std::string big(100000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
    PackageRecord record;
    ASSERT_TRUE(install(signedPackage(stavel({directoryEntry("/opt"), regularFile("/bin/tool", "#!tool\n", 0750),
                                             symlinkEntry("/bin/link", "/bin/tool"), regularFile("etc/big", big)})),
                        record));

    EXPECT_EQ(record.files, (std::set<std::string>{"/bin/tool", "/etc/big"}));
    EXPECT_EQ(stagedContent("/bin/tool"), "#!tool\n");
    EXPECT_EQ(stagedContent("/etc/big"), big);
    struct stat st {};
    ASSERT_EQ(::stat(changes_.ops.at(flash("/bin/tool")).source.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(changes_.ops.count(flash("/opt")), 0u);
    EXPECT_EQ(changes_.ops.count(flash("/bin/link")), 0u);

    // The database entry goes with the files, and the run is reported.
    EXPECT_EQ(readAll(changes_.ops.at(db("files")).source), "bin/tool\netc/big\n");
    EXPECT_EQ(readAll(changes_.ops.at(db("version")).source), "100754944 1300000000\n");
    EXPECT_EQ(changes_.ops.count(flash("/UPGRADED")), 0u);
    EXPECT_EQ(messages(), (std::vector<std::string>{"installed stavel-6.1"}));
}

TEST_F(PackageInstallTest, DisabledPackageGoesUnderX) {
    PackageRecord record;
    std::string image = signedPackage(stavel({regularFile("/lib/a.so", "so")}));
    // installPackageFile reads the state the stream installer decided.
    std::istringstream input(image);
    PackageFile file(input, true);
    for (std::uint16_t type : {PartHeader, PartFileArchive, PartSignature}) file.want(type);
    file.nextPart();
    ASSERT_TRUE(readPackageHeader(record, file));
    record.disabled = true;
    ASSERT_TRUE(installPackageFile(record, changes_, file));

    EXPECT_EQ(record.files, std::set<std::string>{"/x/stavel/lib/a.so"});
    EXPECT_EQ(stagedContent("/x/stavel/lib/a.so"), "so");
    EXPECT_EQ(readAll(changes_.ops.at(db("disabled")).source), "auto\n");
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
    EXPECT_EQ(stagedContent("/bin/tool"), "x");

    // The part's bytes are covered by the signature: damage there is found.
    std::string damaged = image;
    flipByte(damaged, findPart(damaged, PartKeepImage)->dataOffset() + 5000);
    cancel(changes_);
    resetInstaller();
    PackageRecord again;
    EXPECT_FALSE(install(damaged, again));
    EXPECT_EQ(messages(), (std::vector<std::string>{"ERROR: installation of stavel-6.1 failed: broken package"}));
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
    EXPECT_EQ(changes_.ops.count(flash("/boot/kernel")), 0u);
    EXPECT_EQ(stagedContent("/UPGRADED"), "");
    EXPECT_EQ(changes_.ops.count(db("version")), 1u);

    cancel(changes_);
    ::unsetenv("bootimage");
    PackageRecord unpacked;
    ASSERT_TRUE(install(image, unpacked));
    EXPECT_EQ(stagedContent("/boot/kernel"), "kernel");
    EXPECT_EQ(stagedContent("/UPGRADED"), "");
}

TEST_F(PackageInstallTest, BundleMemberIsNotReportedOnItsOwn) {
    PackageRecord record;
    std::string image = signedPackage(stavel({regularFile("/bin/tool", "x")}));
    std::istringstream input(image);
    PackageFile file(input, true);
    for (std::uint16_t type : {PartHeader, PartFileArchive, PartSignature}) file.want(type);
    file.nextPart();
    ASSERT_TRUE(readPackageHeader(record, file));
    record.bundleRef = Dependency{"suite", kV20, kV20, 0};
    record.disabled = true;
    showInstallProgress(record, file);
    // A member's bar names its bundle, without the disabled marker.
    EXPECT_EQ(Installer::instance().status.rfind("installing suite-2.0 [", 0), 0u) << Installer::instance().status;
    ASSERT_TRUE(installPackageFile(record, changes_, file));
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(readAll(changes_.ops.at(root_ + "/flash/var/pdb/stavel/bundle").source), "suite\n");
}

TEST_F(PackageInstallTest, ProgressLabelOfDisabledPackageHasTwoBlanks) {
    std::string image = signedPackage(stavel({}));
    std::istringstream input(image);
    PackageFile file(input, true);
    file.want(PartHeader);
    file.nextPart();
    PackageRecord record("stavel");
    record.version = kV61;
    record.disabled = true;
    showInstallProgress(record, file);
    const std::string& status = Installer::instance().status;
    EXPECT_EQ(status.rfind("installing  (disabled) stavel-6.1 [", 0), 0u) << status;
    EXPECT_EQ(status.size(), 77u);
}

// --- broken packages --------------------------------------------------------

// An archive part written by hand from the inflated bytes given.
PackageRecipe withRawArchive(const std::string& inflated) {
    PackageRecipe recipe = stavel({});
    recipe.withArchive = false;
    recipe.extraParts.push_back({PartFileArchive, *zlibCompress(inflated), PartSignature});
    return recipe;
}

TEST_F(PackageInstallTest, ArchiveEndingAtOrInsideAnEntryHeaderEndsQuietly) {
    const std::string entries = encodeArchiveEntries({regularFile("/a", "aaa"), regularFile("/b", "bbb")});
    const std::size_t secondEntry = 30 + 2 + 3;
    for (std::size_t cut : {secondEntry, secondEntry + 10}) {
        SCOPED_TRACE(cut);
        cancel(changes_);
        resetInstaller();
        PackageRecord record;
        ASSERT_TRUE(install(signedPackage(withRawArchive(entries.substr(0, cut))), record));
        EXPECT_EQ(record.files, std::set<std::string>{"/a"});
        EXPECT_EQ(messages(), (std::vector<std::string>{"installed stavel-6.1"}));
    }
}

struct BrokenRow {
    const char* name;
    std::string image;
};

std::vector<BrokenRow> brokenRows() {
    const std::string entries = encodeArchiveEntries({regularFile("/a", "aaa"), regularFile("/b", "bbb")});
    std::vector<BrokenRow> rows;
    rows.push_back({"CutInsidePath", signedPackage(withRawArchive(entries.substr(0, 35 + 31)))});
    rows.push_back({"CutInsideContent", signedPackage(withRawArchive(entries.substr(0, 35 + 33)))});
    PackageRecipe unsigned_ = stavel({regularFile("/a", "aaa")});
    unsigned_.withSignature = false;
    rows.push_back({"NoSignature", signedPackage(unsigned_)});
    PackageRecipe shortSignature = stavel({regularFile("/a", "aaa")});
    shortSignature.signatureSize = 67;
    rows.push_back({"SignatureOf67Bytes", signedPackage(shortSignature)});
    std::string flipped = signedPackage(stavel({regularFile("/a", std::string(5000, 'a'))}));
    flipByte(flipped, findPart(flipped, PartFileArchive)->dataOffset() + 20, 0x01);
    rows.push_back({"FlippedArchiveByte", flipped});
    std::string wrongDigest = signedPackage(stavel({regularFile("/a", "aaa")}));
    flipByte(wrongDigest, findPart(wrongDigest, PartSignature)->dataOffset());
    rows.push_back({"WrongDigest", wrongDigest});
    rows.push_back({"SignedByAnotherKey", buildPackage(stavel({regularFile("/a", "aaa")}), &strangerKey())});
    return rows;
}

class BrokenPackage : public PackageInstallTest, public ::testing::WithParamInterface<BrokenRow> {};

TEST_P(BrokenPackage, IsReportedAndLeavesOnlyWhatCancelRemoves) {
    PackageRecord record;
    EXPECT_FALSE(install(GetParam().image, record));
    EXPECT_EQ(messages(), (std::vector<std::string>{"ERROR: installation of stavel-6.1 failed: broken package"}));
    EXPECT_EQ(changes_.ops.count(db("version")), 0u) << "no database entry for a broken package";
    cancel(changes_);
    EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, BrokenPackage, ::testing::ValuesIn(brokenRows()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackageInstallTest, EntryReachingOutsideFlashMakesNoTemporaryFile) {
    for (const char* path : {"../x", "/bin/../../x", ".."}) {
        SCOPED_TRACE(path);
        cancel(changes_);
        resetInstaller();
        // The entry comes after a good one and is not even a regular file in
        // one case: the path alone condemns the package.
        PackageRecord record;
        EXPECT_FALSE(install(signedPackage(stavel({regularFile("/good", "g"), regularFile(path, "evil")})), record));
        EXPECT_EQ(messages(), (std::vector<std::string>{"ERROR: installation of stavel-6.1 failed: broken package"}));
        EXPECT_EQ(stagedTargets(), std::set<std::string>{"/flash/good"});
        cancel(changes_);
        EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(root_ + "/x"));
    }
    cancel(changes_);
    resetInstaller();
    PackageRecord record;
    EXPECT_FALSE(install(signedPackage(stavel({directoryEntry("/../dir")})), record));
}

TEST_F(PackageInstallTest, UnusableDatabaseDirectoryFailsWithoutMessage) {
    // Something else is already planned for the package's directory.
    scheduleLink(changes_, "/elsewhere", db(""));
    PackageRecord record;
    EXPECT_FALSE(install(signedPackage(stavel({regularFile("/a", "a")})), record));
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(stagedTargets(), std::set<std::string>{"/flash/var/pdb/stavel/"});
}

TEST_F(PackageInstallTest, FileThatCannotBeCreatedNamesTheEntryPath) {
    std::ofstream(root_ + "/flash/etc") << "a file where a directory is needed";
    PackageRecord record;
    EXPECT_FALSE(install(signedPackage(stavel({regularFile("etc/conf", "c")})), record));
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "ERROR: installation of stavel-6.1 failed: could not create etc/conf: Not a directory"}));
}

}  // namespace
}  // namespace velmora
