// Damaged state handed to real runs of the built installer: database files
// cut short or full of garbage, a database directory that is a plain file,
// a stored image cut short, and manifests of a real --safe run cut, padded
// with garbage or binary bytes, for --commit and --cancel. Every run ends
// by itself (no signal) with the outcome the damage calls for: damaged
// metadata uninstalls the package, a missing file list makes it a bundle
// with no members (uninstalled too), a manifest is carried out or dropped as
// far as it could be read.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/install_support.h"

namespace velmora {
namespace {

const std::string kBinary("\x00\xff\x01\x7f \x80\n\x00garbage\xfe\xfd\n", 18);

std::string ntpPackage(std::string_view version) {
    return makePackage(packageRecipe("ntp", version,
                                   {regularFile("/bin/ntp", "ntp " + std::string(version), 0755),
                                    regularFile("/etc/ntp.conf", "server " + std::string(version) + "\n")}));
}

std::string webuiPackage(std::string_view version) {
    PackageRecipe recipe = packageRecipe("webui", version, {regularFile("/bin/webui", "webui " + std::string(version))});
    recipe.keepImage = true;
    return makePackage(recipe);
}

// The installed packages as --show lists them: "name version", with " X"
// for a disabled one, sorted (the listing follows directory order).
std::vector<std::string> listed(SandboxRoot& box) {
    RunResult run = box.runInstaller({"-r", box.path(), "--show"});
    std::vector<std::string> packages;
    std::istringstream lines(run.out);
    std::string line;
    std::getline(lines, line);  // header
    std::getline(lines, line);  // rule
    while (std::getline(lines, line)) {
        std::istringstream words(line.substr(0, 17) + line.substr(19));
        std::string name, version;
        words >> name >> version;
        packages.push_back(name + " " + version + (line.size() > 17 && line[17] == 'X' ? " X" : ""));
    }
    std::sort(packages.begin(), packages.end());
    return packages;
}

// --- damaged database -------------------------------------------------------

// Installed by the installer itself: base 1.0 and ntp 6.1, whose metadata
// lives in their database directories, and webui 6.1, which keeps its image.
struct DatabaseDamage {
    const char* name;
    std::function<void(SandboxRoot&)> damage;
    bool uploadNtp62;  // an upgrade to ntp 6.2 waits in the upload directory
    std::vector<std::string> listedAfter;
    std::vector<std::string> presentAfter;  // files below flash/
    std::vector<std::string> goneAfter;
    std::string message;  // a line the run prints, or empty
};

void PrintTo(const DatabaseDamage& row, std::ostream* out) { *out << row.name; }

auto writes(const std::string& relative, const std::string& contents) {
    return [relative, contents](SandboxRoot& box) { ASSERT_TRUE(box.writeFile(relative, contents)); };
}

auto removes(const std::string& relative) {
    return [relative](SandboxRoot& box) { ASSERT_TRUE(box.removeAll(relative)); };
}

const std::string kNtpDb = "flash/var/pdb/ntp/";
const std::vector<std::string> kNtpFiles = {"bin/ntp", "etc/ntp.conf"};
const std::vector<std::string> kNtpGone = {"bin/ntp", "etc/ntp.conf", "var/pdb/ntp"};
const std::vector<std::string> kWithoutNtp = {"base 1.0", "webui 6.1"};

std::vector<DatabaseDamage> databaseDamages() {
    // Damaged metadata: the package is uninstalled, files and directory.
    auto uninstalled = [](const char* name, std::function<void(SandboxRoot&)> damage) {
        return DatabaseDamage{name, std::move(damage), false, kWithoutNtp, {"bin/base", "bin/webui"}, kNtpGone, ""};
    };
    return {
        uninstalled("VersionMissing", removes(kNtpDb + "version")),
        uninstalled("VersionEmpty", writes(kNtpDb + "version", "")),
        uninstalled("VersionCutAfterTheFirstNumber", writes(kNtpDb + "version", "100754944")),
        uninstalled("VersionGarbage", writes(kNtpDb + "version", "six point one\n")),
        uninstalled("VersionBinary", writes(kNtpDb + "version", kBinary)),
        uninstalled("VersionOverflows", writes(kNtpDb + "version", "99999999999999999999 1300000000\n")),
        uninstalled("DepsEntryCutShort", writes(kNtpDb + "deps", "base 16")),
        uninstalled("DepsBinary", writes(kNtpDb + "deps", kBinary)),
        uninstalled("ProvidesGarbage", writes(kNtpDb + "provides", "clock one two three\n")),
        uninstalled("ConflictsCutShort", writes(kNtpDb + "conflicts", "chrony")),
        // No file list: a bundle without members, uninstalled as such; a
        // bundle owns no files, so the package's files stay.
        {"FilesMissing", removes(kNtpDb + "files"), false, kWithoutNtp, {"bin/ntp", "etc/ntp.conf"},
         {"var/pdb/ntp"}, ""},
        // A file list is never damage: its lines are paths, whatever they
        // hold, and the upgrade replaces the package as usual.
        {"FilesBinaryThenUpgrade", writes(kNtpDb + "files", kBinary), true, {"base 1.0", "webui 6.1", "ntp 6.2"},
         {"bin/ntp", "var/pdb/ntp/version"}, {}, "installed ntp-6.2"},
        {"FilesLastLineWithoutEnd", writes(kNtpDb + "files", "bin/ntp\netc/ntp.co"), false,
         {"base 1.0", "webui 6.1", "ntp 6.1"}, kNtpFiles, {}, ""},
        // Any "disabled" file disables; only "auto" says the installer did it.
        {"DisabledBinary", writes(kNtpDb + "disabled", kBinary), false, {"base 1.0", "webui 6.1", "ntp 6.1 X"},
         kNtpFiles, {}, ""},
        {"DisabledEmpty", writes(kNtpDb + "disabled", ""), false, {"base 1.0", "webui 6.1", "ntp 6.1 X"},
         kNtpFiles, {}, ""},
        // A plain file where the directory belongs: a record with nothing
        // readable, uninstalled, but there is nothing it could remove.
        {"DirectoryIsAFile",
         [](SandboxRoot& box) {
             ASSERT_TRUE(box.removeAll(kNtpDb));
             ASSERT_TRUE(box.writeFile("flash/var/pdb/ntp", "not a directory\n"));
         },
         false, {"base 1.0", "webui 6.1", "ntp 0.0"}, {"bin/ntp", "var/pdb/ntp"}, {}, ""},
        {"DirectoryIsAFileThenUpgrade",
         [](SandboxRoot& box) {
             ASSERT_TRUE(box.removeAll(kNtpDb));
             ASSERT_TRUE(box.writeFile("flash/var/pdb/ntp", "not a directory\n"));
         },
         true, {"base 1.0", "webui 6.1", "ntp 0.0"}, {"bin/ntp", "var/pdb/ntp"}, {},
         "ERROR: installation of ntp-6.2 failed: could not create meta/version: Not a directory"},
        // A stored image cut inside its archive still names the package
        // with its version: nothing to do.
        {"ImageCutInsideTheArchive",
         [](SandboxRoot& box) {
             std::string image = box.readFile("flash/var/pdb/webui/image").value_or("");
             ASSERT_GT(image.size(), 100u);
             ASSERT_TRUE(box.writeFile("flash/var/pdb/webui/image", image.substr(0, image.size() - 80)));
         },
         false, {"base 1.0", "webui 6.1", "ntp 6.1"}, {"bin/webui", "var/pdb/webui/image"}, {}, ""},
        // Cut inside its header: the record falls back on the directory,
        // which holds only the file list for a package that keeps its image:
        // it is uninstalled, and its files go with it.
        {"ImageCutInsideTheHeader",
         [](SandboxRoot& box) {
             std::string image = box.readFile("flash/var/pdb/webui/image").value_or("");
             ASSERT_TRUE(box.writeFile("flash/var/pdb/webui/image", image.substr(0, 20)));
         },
         false, {"base 1.0", "ntp 6.1"}, {}, {"var/pdb/webui", "bin/webui"}, ""},
    };
}

class DamagedDatabase : public InstallTest, public ::testing::WithParamInterface<DatabaseDamage> {};

TEST_P(DamagedDatabase, UpgradeRunEndsWithTheOutcomeOfTheDamage) {
    const DatabaseDamage& row = GetParam();
    upload("base.vpa", makePackage(packageRecipe("base", "1.0", {regularFile("/bin/base", "base")})));
    upload("ntp.vpa", ntpPackage("6.1"));
    upload("webui.vpa", webuiPackage("6.1"));
    RunResult install = upgradeRun();
    ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
    ASSERT_TRUE(box.removeAll("flash/rw/pckg"));
    ASSERT_TRUE(box.makeDirs("flash/rw/pckg"));
    row.damage(box);
    if (row.uploadNtp62) upload("ntp-6.2.vpa", ntpPackage("6.2"));

    RunResult run = upgradeRun();

    EXPECT_EQ(run.signal, 0) << run.out << run.err;
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_FALSE(run.timedOut);
    if (row.message.empty()) {
        EXPECT_EQ(run.out.find("ERROR"), std::string::npos) << run.out;
    } else {
        EXPECT_NE(run.out.find(row.message), std::string::npos) << run.out;
    }
    std::vector<std::string> expected = row.listedAfter;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed(box), expected) << run.out;
    for (const std::string& path : row.presentAfter) EXPECT_TRUE(box.exists("flash/" + path)) << path;
    for (const std::string& path : row.goneAfter) EXPECT_FALSE(box.exists("flash/" + path)) << path;
    EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rows, DamagedDatabase, ::testing::ValuesIn(databaseDamages()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- damaged manifest -------------------------------------------------------

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string firstLines(const std::string& text, std::size_t count) {
    std::string kept;
    std::vector<std::string> lines = linesOf(text);
    for (std::size_t i = 0; i < lines.size() && i < count; ++i) kept += lines[i] + "\n";
    return kept;
}

// The staged files (relative to the root) that the given manifest lines
// mark as the --safe run's own.
std::set<std::string> stagedBy(const std::string& manifest) {
    std::set<std::string> staged;
    for (const std::string& line : linesOf(manifest)) {
        std::istringstream words(line);
        std::string tag, target, source, mark;
        if (words >> tag >> target >> source >> mark && tag == "M" && mark == "T") staged.insert(source.substr(1));
    }
    return staged;
}

struct ManifestDamage {
    const char* name;
    // The damaged manifest, made from the one a --safe run wrote.
    std::function<std::string(const std::string&)> damage;
    // How many lines of the damaged manifest are carried out or dropped,
    // given the written one: those before the first line that stops the
    // reading (a line with an unknown tag is passed over).
    std::function<std::size_t(const std::string&)> linesRead;
    int commitExit;
    std::string commitError;  // a line --commit prints on standard error, or empty
};

void PrintTo(const ManifestDamage& row, std::ostream* out) { *out << row.name; }

// The line of the manifest that moves the first staged file into place.
std::size_t firstStagedMove(const std::string& manifest) {
    std::vector<std::string> lines = linesOf(manifest);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() > 2 && lines[i].substr(lines[i].size() - 2) == " T") return i;
    }
    return 0;
}

std::size_t none(const std::string&) { return 0; }
std::size_t all(const std::string& written) { return linesOf(written).size(); }

const ManifestDamage kManifestDamages[] = {
    {"Empty", [](const std::string&) { return std::string(); }, none, 0, ""},
    {"LastLineWithoutEnd", [](const std::string& m) { return m.substr(0, m.size() - 1); }, all, 0, ""},
    {"GarbageAfterTheEnd", [](const std::string& m) { return m + "Q garbage here\nnonsense\nM /flash/x\n"; }, all,
     0, ""},
    {"GarbageFirst", [](const std::string& m) { return "nonsense\n" + m; }, none, 0, ""},
    // NUL and other bytes: a line of two words with an unknown tag is
    // passed over, the one-word line after it stops the reading.
    {"BinaryBytesAfterTwoLines",
     [](const std::string& m) { return firstLines(m, 2) + kBinary + m.substr(firstLines(m, 2).size()); },
     [](const std::string&) -> std::size_t { return 2; }, 0, ""},
    // Cut inside the source of the first staged move: that line still
    // reads, as a plain move from a file that does not exist.
    {"CutInsideASourcePath",
     [](const std::string& m) {
         const std::size_t line = firstStagedMove(m);
         const std::string cut = linesOf(m)[line];
         return firstLines(m, line) + cut.substr(0, cut.size() - 5);
     },
     [](const std::string& m) { return firstStagedMove(m) + 1; }, 1, "rename: No such file or directory"},
    {"CutAfterATag", [](const std::string& m) { return firstLines(m, 3) + "M"; },
     [](const std::string&) -> std::size_t { return 3; }, 0, ""},
};

// The installed base and ntp 6.1, and a --safe run that stages ntp 6.2 and
// a new dns 1.0: the manifest and the files it names are saved, and put
// back before each run.
class SafeRunManifest : public InstallTest {
protected:
    void SetUp() override {
        InstallTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        upload("base.vpa", makePackage(packageRecipe("base", "1.0", {regularFile("/bin/base", "base")})));
        upload("ntp.vpa", ntpPackage("6.1"));
        RunResult install = upgradeRun();
        ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
        ASSERT_TRUE(box.removeAll("flash/rw/pckg"));
        ASSERT_TRUE(box.removeAll("flash/postlog"));
        upload("ntp-6.2.vpa", ntpPackage("6.2"));
        upload("dns-1.0.vpa", makePackage(packageRecipe("dns", "1.0", {regularFile("/bin/dns", "dns")})));
        RunResult safe = upgradeRun({"--safe"});
        ASSERT_EQ(safe.exitStatus, 0) << safe.out << safe.err;
        ASSERT_TRUE(box.removeAll("flash/postlog"));
        manifest_ = box.readFile("ram/MANIFEST").value_or("");
        ASSERT_FALSE(stagedBy(manifest_).empty()) << manifest_;
        for (const char* dir : {"flash", "ram"}) {
            ASSERT_TRUE(saved_.removeAll(dir));
            ASSERT_TRUE(saved_.makeDirs(dir));
            std::error_code error;
            std::filesystem::copy(box.hostPath(dir), saved_.hostPath(dir),
                                  std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::copy_symlinks,
                                  error);
            ASSERT_FALSE(error) << error.message();
        }
    }

    void restore(const std::string& manifest) {
        for (const char* dir : {"flash", "ram"}) {
            ASSERT_TRUE(box.removeAll(dir));
            std::error_code error;
            std::filesystem::copy(saved_.hostPath(dir), box.hostPath(dir),
                                  std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::copy_symlinks,
                                  error);
            ASSERT_FALSE(error) << error.message();
        }
        ASSERT_TRUE(box.writeFile("ram/MANIFEST", manifest));
    }

    RunResult manifestRun(const char* mode) { return box.runInstaller({mode}, "", RunMode::Chrooted); }

    std::string manifest_;
    SandboxRoot saved_;
};

// A tree without staged files and the register of where they were made.
TreeSnapshot withoutStaging(TreeSnapshot tree) {
    for (const std::string& path : temporaryFiles(tree)) tree.erase(path);
    for (auto it = tree.begin(); it != tree.end();) {
        it = it->first.rfind("flash/var/pdb/.staged", 0) == 0 ? tree.erase(it) : std::next(it);
    }
    return tree;
}

class DamagedSafeManifest : public SafeRunManifest, public ::testing::WithParamInterface<ManifestDamage> {};

TEST_P(DamagedSafeManifest, CancelDropsWhatItReadAndDeletesTheStagedFiles) {
    const ManifestDamage& row = GetParam();
    const std::string damaged = row.damage(manifest_);
    const std::string read = firstLines(damaged, row.linesRead(manifest_));
    restore(damaged);
    const TreeSnapshot before = box.snapshot();

    RunResult run = manifestRun("--cancel");

    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "");
    // Gone: the manifest, the staged files of the lines read, and the
    // other files the --safe run staged, which nothing can use any more.
    TreeSnapshot expected = before;
    for (const std::string& path : stagedBy(read)) EXPECT_EQ(expected.count(path), 1u) << path;
    EXPECT_EQ(expected.erase("ram/MANIFEST"), 1u);
    EXPECT_EQ(describeChanges(withoutStaging(expected), box.snapshot()), "");
}

TEST_P(DamagedSafeManifest, CommitCarriesOutWhatItRead) {
    const ManifestDamage& row = GetParam();
    const std::string damaged = row.damage(manifest_);
    // What the lines read do when they are all there is.
    restore(firstLines(damaged, row.linesRead(manifest_)));
    manifestRun("--commit");
    const TreeSnapshot expected = box.snapshot();
    restore(damaged);

    RunResult run = manifestRun("--commit");

    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, row.commitExit) << run.err;
    EXPECT_EQ(run.out, "finishing install... \b \n");
    if (row.commitError.empty()) {
        EXPECT_EQ(run.err, "");
    } else {
        EXPECT_NE(run.err.find(row.commitError), std::string::npos) << run.err;
    }
    EXPECT_EQ(box.readFile("ram/MANIFEST"), damaged);
    EXPECT_EQ(changesBesides(expected, box.snapshot(), {"ram/MANIFEST"}), "") << manifest_;
}

INSTANTIATE_TEST_SUITE_P(Rows, DamagedSafeManifest, ::testing::ValuesIn(kManifestDamages),
                         [](const auto& info) { return std::string(info.param.name); });

// Cut short just after the slash of a removal's directory, a manifest
// reads as the removal of that whole directory, and a commit deletes every
// plain file in it, other packages' files and staged files too. The removals of the old
// version's files come first (the doubled slash sorts first), so a manifest
// cut short there (a full /ram, a kill while it is written) holds nothing
// else. This pins what the reading rules give; it is reported as a hazard.
TEST_F(SafeRunManifest, CommitOfAManifestCutAfterADirectorySlash) {
    ASSERT_EQ(manifest_.rfind("U /flash//bin/ntp\n", 0), 0u) << manifest_;
    restore("U /flash//bin/");

    RunResult commit = manifestRun("--commit");

    EXPECT_EQ(commit.signal, 0);
    EXPECT_EQ(commit.exitStatus, 0) << commit.err;
    EXPECT_FALSE(box.exists("flash/bin/ntp"));
    EXPECT_FALSE(box.exists("flash/bin/base")) << "another package's file";
    // The staged files there are plain files too: the emptied directory goes.
    EXPECT_FALSE(box.exists("flash/bin"));
    EXPECT_TRUE(box.exists("flash/etc/ntp.conf"));

    // --cancel of the same cut manifest deletes nothing but the manifest
    // and what the --safe run staged.
    restore("U /flash//bin/");
    const TreeSnapshot before = box.snapshot();
    RunResult cancel = manifestRun("--cancel");
    EXPECT_EQ(cancel.exitStatus, 0);
    EXPECT_EQ(changesBesides(withoutStaging(before), box.snapshot(), {"ram/MANIFEST"}), "");
    EXPECT_FALSE(box.exists("ram/MANIFEST"));
}

}  // namespace
}  // namespace velmora
