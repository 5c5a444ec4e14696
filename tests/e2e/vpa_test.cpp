// Whole-program runs of the built vpa tool.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "package/package_format.h"
#include "package/package_reader.h"
#include "package_builder.h"

extern char** environ;

namespace velmora {
namespace {

struct ToolRun {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class VpaTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vpa-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    void writeFile(const std::string& name, const std::string& bytes, mode_t mode = 0644) const {
        std::filesystem::create_directories(std::filesystem::path(path(name)).parent_path());
        std::ofstream(path(name), std::ios::binary) << bytes;
        ASSERT_EQ(::chmod(path(name).c_str(), mode), 0);
    }

    // Runs vpa with args, its output and errors caught in files.
    ToolRun vpa(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {VPA_BINARY};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string outPath = path(".out");
        const std::string errPath = path(".err");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ToolRun run;
        pid_t pid = 0;
        int status = 0;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
            ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            run.exitStatus = WEXITSTATUS(status);
        }
        posix_spawn_file_actions_destroy(&actions);
        run.out = readFile(outPath);
        run.err = readFile(errPath);
        return run;
    }

    // A small tree: a script, a config file, a link and their directories.
    void makeTree() const {
        writeFile("tree/bin/tool", "#!/bin/sh\necho tool\n", 0755);
        writeFile("tree/etc/tool.conf", "level=3\n", 0640);
        ASSERT_EQ(::symlink("../bin/tool", path("tree/etc/tool-link").c_str()), 0);
    }

    ToolRun buildStavel(const std::string& out) const {
        return vpa({"build", "-o", path(out), "--name", "stavel", "--version", "6.1.3", "--build-time", "1700000000",
                    "--arch", "powerpc", "--note", "router tools", "--flags", "0x2", "--dep", "base:6.0:7.0",
                    "--provides", "web:1.0::5", "--conflicts", "old::5.0", "--keep-image", "--group",
                    "bin/tool=2", path("tree")});
    }

    std::string dir;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(VpaTest, BuildPacksTheTreeTheInstallerReads) {
    makeTree();
    ToolRun run = buildStavel("stavel.vpa");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "vpa build: warning: the installer passes over symbolic links such as /etc/tool-link; they are "
                       "packed but never installed\n");

    // What the inspect test shows in text, the installer's reader sees too.
    OfferedPackage offered;
    ASSERT_TRUE(readPackageFile(offered, path("stavel.vpa")));
    EXPECT_EQ(offered.name, "stavel");
    EXPECT_EQ(offered.version, 0x06016603u);
    EXPECT_EQ(offered.flags, 2u);
    ASSERT_EQ(offered.deps.size(), 1u);
    EXPECT_EQ(offered.deps[0].max, 0x07006600u);
    EXPECT_EQ(offered.provides.size(), 1u);
    EXPECT_EQ(offered.conflicts.size(), 1u);

    // The same tree and build time give the same bytes.
    ASSERT_EQ(buildStavel("again.vpa").exitStatus, 0);
    EXPECT_EQ(readFile(path("stavel.vpa")), readFile(path("again.vpa")));
}

TEST_F(VpaTest, InspectShowsHeaderPartsMetadataFilesAndSignature) {
    makeTree();
    ASSERT_EQ(buildStavel("stavel.vpa").exitStatus, 0);
    ToolRun run = vpa({"inspect", path("stavel.vpa")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::string size = std::to_string(readFile(path("stavel.vpa")).size());
    for (const std::string& line : {
             std::string("Magic: 0xbad0f11e (package)"),
             "Length: " + std::to_string(std::stoul(size) - 8) + "\n",
             std::string("         8     1  header                     36"),
             std::string("Package stavel 6.1.3"),
             std::string("Version:       6.1.3 (0x06016603)"),
             std::string("Build time:    1700000000 (2023-11-14 22:13:20 UTC)"),
             std::string("Flags:         0x00000002 no-metadata"),
             std::string("Architecture:  powerpc"),
             std::string("Note:          router tools"),
             std::string("Depends:       base >= 6.0, <= 7.0"),
             std::string("Provides:      web >= 1.0 (priority 5)"),
             std::string("Conflicts:     old <= 5.0"),
             std::string("Keep image:    yes"),
             std::string("-rwxr-xr-x 0100755 group 2         20  /bin/tool\n"),
             std::string("-rw-r----- 0100640 group 0          8  /etc/tool.conf\n"),
             std::string("lrwxrwxrwx 0120777 group 0         11  /etc/tool-link  (not installed: not a regular file)\n"),
             std::string("(matches the signed range)"),
             std::string("r:        00000000000000000000000000000000"),
         }) {
        EXPECT_TRUE(contains(run.out, line)) << "missing: " << line << "\nin:\n" << run.out;
    }
}

TEST_F(VpaTest, BundleHoldsCompleteMembersAndNamesTheDisabledOnes) {
    makeTree();
    ASSERT_EQ(buildStavel("stavel.vpa").exitStatus, 0);
    ASSERT_EQ(vpa({"build", "-o", path("other.vpa"), "--name", "other", "--version", "3.20rc2", path("tree")})
                  .exitStatus,
              0);
    ToolRun run = vpa({"bundle", "-o", path("suite.vpa"), "--name", "suite", "--version", "6.1", "--note", "all",
                       "--disabled-member", "other", path("stavel.vpa"), path("other.vpa")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;

    OfferedPackage offered;
    ASSERT_TRUE(readPackageFile(offered, path("suite.vpa")));
    EXPECT_TRUE(offered.isBundle);
    EXPECT_EQ(offered.name, "suite");
    EXPECT_EQ(offered.note, "all");
    ASSERT_EQ(offered.members.size(), 2u);
    EXPECT_EQ(offered.members[0]->name, "stavel");
    EXPECT_EQ(offered.members[1]->name, "other");
    EXPECT_EQ(offered.members[1]->version, 0x03146302u);

    // Each member's parts are copied whole, its signature included.
    std::string bundle = readFile(path("suite.vpa"));
    std::string member = readFile(path("other.vpa"));
    EXPECT_EQ(bundle.substr(bundle.size() - (member.size() - 8)), member.substr(8));

    ToolRun inspect = vpa({"inspect", path("suite.vpa")});
    ASSERT_EQ(inspect.exitStatus, 0) << inspect.err;
    EXPECT_TRUE(contains(inspect.out, "Bundle suite 6.1\n"));
    EXPECT_TRUE(contains(inspect.out, "Disabled members: other\n"));
    EXPECT_TRUE(contains(inspect.out, "Members (2):\n"));
    EXPECT_TRUE(contains(inspect.out, "    Package other 3.20rc2\n"));
    std::size_t matches = 0;
    for (std::size_t at = 0; (at = inspect.out.find("(matches the signed range)", at)) != std::string::npos; ++at)
        ++matches;
    EXPECT_EQ(matches, 2u);
    EXPECT_FALSE(offered.keepsImage);

    // A bundle that keeps its image, so that its members stay installed.
    run = vpa({"bundle", "-o", path("kept.vpa"), "--name", "suite", "--version", "6.1", "--keep-image",
               path("stavel.vpa"), path("other.vpa")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    OfferedPackage kept;
    ASSERT_TRUE(readPackageFile(kept, path("kept.vpa")));
    EXPECT_TRUE(kept.isBundle);
    EXPECT_TRUE(kept.keepsImage);
    EXPECT_EQ(kept.members.size(), 2u);
}

TEST_F(VpaTest, InspectOfAMissingFileFails) {
    ToolRun run = vpa({"inspect", path("nothing.vpa")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "vpa inspect: cannot open " + path("nothing.vpa") + ": No such file or directory\n");
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    int exitStatus;
    const char* err;  // expected start of standard error; null: nothing
    const char* out;  // expected start of standard output; null: nothing
};

class VpaUsageTest : public VpaTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(VpaUsageTest, AnswersTheCommandLine) {
    makeTree();
    std::vector<std::string> args;
    for (const std::string& arg : GetParam().args) {
        args.push_back(arg == "@tree" ? path("tree") : arg == "@out" ? path("o.vpa") : arg);
    }
    ToolRun run = vpa(args);
    EXPECT_EQ(run.exitStatus, GetParam().exitStatus) << run.err;
    EXPECT_EQ(run.err.rfind(GetParam().err ? GetParam().err : "", 0), 0u) << run.err;
    if (GetParam().err == nullptr) {
        EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(run.out.rfind(GetParam().out ? GetParam().out : "", 0), 0u) << run.out;
    if (GetParam().out == nullptr) {
        EXPECT_EQ(run.out, "");
    }
    if (GetParam().exitStatus != 0) {
        EXPECT_FALSE(std::filesystem::exists(path("o.vpa")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, VpaUsageTest,
    ::testing::Values(
        UsageCase{"NoArguments", {}, 2, "usage: vpa COMMAND", nullptr},
        UsageCase{"Help", {"--help"}, 0, nullptr, "usage: vpa COMMAND"},
        UsageCase{"HelpCommand", {"help", "build"}, 0, nullptr, "usage: vpa build -o OUT.vpa"},
        UsageCase{"CommandHelp", {"inspect", "--help"}, 0, nullptr, "usage: vpa inspect [--key FILE.pub] FILE"},
        UsageCase{"BundleHelp", {"bundle", "-h"}, 0, nullptr, "usage: vpa bundle -o OUT.vpa"},
        UsageCase{"HelpOfUnknown", {"help", "frobnicate"}, 2, "vpa help: unknown command 'frobnicate'", nullptr},
        UsageCase{"UnknownCommand", {"frobnicate"}, 2, "vpa: unknown command 'frobnicate'", nullptr},
        UsageCase{"UnknownOption",
                  {"build", "--bogus", "-o", "@out", "--name", "a", "--version", "1.0", "@tree"},
                  2,
                  "vpa build: unknown option '--bogus'",
                  nullptr},
        UsageCase{"MissingValue", {"build", "@tree", "--name"}, 2, "vpa build: option '--name' needs a value", nullptr},
        UsageCase{"MissingName", {"build", "-o", "@out", "--version", "1.0", "@tree"}, 2, "vpa build: needs", nullptr},
        UsageCase{"NameTooLong",
                  {"build", "-o", "@out", "--name", "abcdefghijklmnopq", "--version", "1.0", "@tree"},
                  2,
                  "vpa build: bad package name 'abcdefghijklmnopq'",
                  nullptr},
        UsageCase{"NameOfDots", {"build", "-o", "@out", "--name", "..", "--version", "1.0", "@tree"}, 2,
                  "vpa build: bad package name '..'", nullptr},
        UsageCase{"NameWithABlank", {"build", "-o", "@out", "--name", "a b", "--version", "1.0", "@tree"}, 2,
                  "vpa build: bad package name 'a b'", nullptr},
        UsageCase{"MinimumAboveMaximum",
                  {"build", "-o", "@out", "--name", "a", "--version", "1.0", "--dep", "b:2.0:1.0", "@tree"}, 2,
                  "vpa build: --dep b:2.0:1.0: the minimum 2.0 is above the maximum 1.0", nullptr},
        UsageCase{"OutputDirectoryMissing",
                  {"build", "-o", "/nonexistent-vpa-dir/o.vpa", "--name", "a", "--version", "1.0", "@tree"}, 1,
                  "vpa build: cannot write /nonexistent-vpa-dir/o.vpa: No such file or directory", nullptr},
        UsageCase{"ExtractGroupOutOfRange", {"extract", "--group", "5", "@out", "@tree"}, 2,
                  "vpa extract: --group 5: expected a processor group from 1 to 4", nullptr},
        UsageCase{"BadVersion",
                  {"build", "-o", "@out", "--name", "a", "--version", "1.0.0.0", "@tree"},
                  2,
                  "vpa build: bad version '1.0.0.0'",
                  nullptr},
        UsageCase{"BadDependency",
                  {"build", "-o", "@out", "--name", "a", "--version", "1.0", "--dep", "b:x", "@tree"},
                  2,
                  "vpa build: --dep b:x: bad version 'x'",
                  nullptr},
        UsageCase{"GroupOfMissingPath",
                  {"build", "-o", "@out", "--name", "a", "--version", "1.0", "--group", "nope=1", "@tree"},
                  2,
                  "vpa build: --group nope=1: no entry /nope in the directory",
                  nullptr},
        UsageCase{"GroupOutOfRange",
                  {"build", "-o", "@out", "--name", "a", "--version", "1.0", "--group", "bin/tool=5", "@tree"},
                  2,
                  "vpa build: --group bin/tool=5: expected PATH=N",
                  nullptr},
        UsageCase{"MissingDirectory",
                  {"build", "-o", "@out", "--name", "a", "--version", "1.0", "/nonexistent-vpa-dir"},
                  1,
                  "vpa build: /nonexistent-vpa-dir: No such file or directory",
                  nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VpaTest, BundleRefusesWhatIsNoSinglePackage) {
    makeTree();
    ASSERT_EQ(buildStavel("stavel.vpa").exitStatus, 0);
    ASSERT_EQ(vpa({"bundle", "-o", path("inner.vpa"), "--name", "inner", "--version", "1.0", path("stavel.vpa")})
                  .exitStatus,
              0);
    writeFile("garbage.vpa", "not a package at all");
    const struct {
        std::string member;
        std::string message;
    } cases[] = {
        {path("tree"), ": not a regular file\n"},
        {path("garbage.vpa"), ": not a package file (no package magic)\n"},
        {path("inner.vpa"), ": a bundle cannot be a member of another bundle\n"},
        {path("stavel.vpa"), ": the member stavel is already in the bundle (from " + path("stavel.vpa") + ")\n"},
    };
    for (const auto& c : cases) {
        ToolRun run = vpa({"bundle", "-o", path("suite.vpa"), "--name", "suite", "--version", "1.0",
                           path("stavel.vpa"), c.member});
        EXPECT_EQ(run.exitStatus, 1) << c.member;
        EXPECT_EQ(run.err, "vpa bundle: " + c.member + c.message);
        EXPECT_FALSE(std::filesystem::exists(path("suite.vpa")));
    }
}

// Extract places what a router of the chosen group would get, and nothing
// of a file the installer refuses.
TEST_F(VpaTest, ExtractPlacesTheFilesOfOneProcessorGroup) {
    makeTree();
    ASSERT_EQ(buildStavel("stavel.vpa").exitStatus, 0);
    std::filesystem::create_directories(path("none"));
    std::filesystem::create_directories(path("two"));
    ToolRun run = vpa({"extract", path("stavel.vpa"), path("none")});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "/etc/tool.conf\n");
    run = vpa({"extract", "--group", "2", path("stavel.vpa"), path("two")});
    EXPECT_EQ(run.out, "/bin/tool\n/etc/tool.conf\n");
    EXPECT_EQ(readFile(path("two/bin/tool")), "#!/bin/sh\necho tool\n");
    struct stat status {};
    ASSERT_EQ(::stat(path("two/etc/tool.conf").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);

    std::string cut = readFile(path("stavel.vpa"));
    flipByte(cut, findPart(cut, PartSignature)->dataOffset());
    writeFile("bad.vpa", cut);
    std::filesystem::create_directories(path("bad"));
    run = vpa({"extract", "--group", "2", path("bad.vpa"), path("bad")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(contains(run.err, "its digest does not match the signed range")) << run.err;
    EXPECT_TRUE(std::filesystem::is_empty(path("bad")));
}

TEST_F(VpaTest, BundleRefusesAnUnknownDisabledMember) {
    makeTree();
    ASSERT_EQ(buildStavel("stavel.vpa").exitStatus, 0);
    ToolRun run = vpa({"bundle", "-o", path("suite.vpa"), "--name", "suite", "--version", "1.0", "--disabled-member",
                       "ghost", path("stavel.vpa")});
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.err, "vpa bundle: --disabled-member ghost: no member of that name\n");
    EXPECT_FALSE(std::filesystem::exists(path("suite.vpa")));
}

}  // namespace
}  // namespace velmora
