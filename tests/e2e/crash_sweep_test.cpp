// Every crash point of the runs that change packages. A run is listed
// under strace once; then, for each of its calls that can change the file
// system, the run starts again from the same tree and is killed on entry to
// that call (strace injects SIGKILL), and the same point is taken again as
// a power loss: what the run wrote after its last flush of a file is cut
// away and /ram is emptied. At every point:
//   - a file or link there before and after a complete run is still there,
//     and every path is as before or as after (staged files and the
//     commit's own records aside);
//   - the run that follows (the next plain run, or the same command again)
//     ends exactly where a complete run ends, /ram and the postlog aside,
//     leaving no staged file and no commit record. It may end as though the
//     crashed run had never been where that run had changed nothing yet, or
//     where the power took the schedule or the manifest along with /ram; a
//     --commit or --cancel after a crashed --commit may end as a cancel. On
//     a flash so full that files were staged in /ram it may refuse with 28
//     and change nothing (counted as an exception);
//   - --show, tried at every eighth point, changes nothing.
// The point after the last call (the run complete) is judged the same way.
// A follow-up runs once per distinct crashed tree (staged files' random
// names and the postlog aside); every point is still killed and checked.
// Each layout prints one summary line; a fault names its point: "#k" is the
// k-th call of the trace, killed on entry (the calls before it done). Faults
// alike are listed once; SWEEP_VERBOSE=1 prints every one as it is found.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e/e2e_common.h"
#include "e2e/fault_support.h"

extern char** environ;

namespace velmora {
namespace {

constexpr const char* kStrace = "/usr/bin/strace";
constexpr const char* kChroot = "/usr/sbin/chroot";
constexpr const char* kTraced =
    "trace=write,pwrite64,writev,pwritev,openat,open,creat,rename,renameat,renameat2,unlink,unlinkat,mkdir,"
    "mkdirat,rmdir,symlink,symlinkat,link,linkat,fchmod,chmod,fchmodat,ftruncate,truncate,fallocate,fsync,"
    "fdatasync,sync,syncfs,copy_file_range,sendfile,chroot";
constexpr unsigned kShowEvery = 8;
constexpr unsigned long kTmpfsBytes = 8 << 20;
const std::vector<std::string> kCommitRecords{"flash/var/pdb/.journal",   "flash/var/pdb/.journal.new",
                                              "flash/var/pdb/.staged",    "flash/var/pdb/.downgrade",
                                              "flash/var/pdb/.schedule", "flash/var/pdb/.schedule.new"};

// A package as a row spells it: files "path=content" ("path=*N": N bytes
// of one letter), requirements "name" or "name:min"; with members, a bundle.
struct Pkg {
    std::string name;
    std::string version;
    std::vector<std::string> files = {};
    std::vector<std::string> deps = {};
    std::uint32_t flags = 0;
    bool keep = false;
    std::vector<Pkg> members = {};
    std::vector<std::string> disabled = {};
};

using Args = std::vector<std::string>;

struct Layout {
    const char* name;
    std::vector<Pkg> installed;  // put in place by one upgrade run before the sweep
    std::vector<Pkg> uploads;    // in flash/rw/pckg/
    std::vector<std::string> files = {};  // "path=content": schedules, markers
    Args prepare = {};                    // a run that sets the swept one up
    Args command = {"-r", "@root"};       // the swept run; "@root" is the sandbox
    std::vector<Args> followUps = {{"-r", "@root"}};  // each from the crashed tree
    std::vector<Pkg> input = {};                      // standard input of the command
    bool bootImage = false;                           // bootimage=1 for every run
    long freeBlocks = -1;                             // the flash shrunk to this many free blocks
    bool mayRefuse = false;  // a follow-up may end with 28 and change nothing (files staged in /ram)
};

const Args kPlain{"-r", "@root"};
const Pkg kLib1{"lib", "1.0", {"/lib/libx.so=x1", "/lib/old.so=o"}};
const Pkg kApp1{"app", "1.0", {"/bin/app=a1", "/etc/tmp.state=t1"}, {"lib"}};
const Pkg kLib2{"lib", "2.0", {"/lib/libx.so=x2", "/lib/new.so=n"}};
// "tmp.state" looks like a staged file's name, but a package put it there.
const Pkg kApp2{"app", "2.0", {"/bin/app=a2", "/etc/tmp.state=t2", "/etc/app.conf=c"}, {"lib:2.0"}};
const Pkg kKeeper1{"keeper", "1.0", {"/bin/keeper=k1", "/etc/keeper=e"}, {}, 0, true};
const Pkg kKeeper2{"keeper", "2.0", {"/bin/keeper=k2"}, {}, 0, true};
// A file goes to /ram when the flash lacks a tenth more than its size, and
// the space check wants room for its copy and 16 blocks more: only a file
// of some 160 blocks and more can be staged there by a run that passes.
const Pkg kBig1{"big", "1.0", {"/bin/big=b1", "/etc/big.conf=b1"}};
const Pkg kBig2{"big", "2.0", {"/bin/big=*120000", "/etc/big.conf=b2"}};
const Pkg kHuge2{"big", "2.0", {"/bin/big=*1638400", "/etc/big.conf=b2"}};
const Pkg kStavel62{"stavel", "6.2", {"/bin/tool=6.2", "/bin/only62=x"}};
const Pkg kStavel61{"stavel", "6.1", {"/bin/tool=6.1", "/bin/only61=y"}};

const Layout kLayouts[] = {
    {"TwoPackagesWithMetadata", {kLib1, kApp1}, {kLib2, kApp2}},
    {"KeptImage", {kKeeper1}, {kKeeper2}},
    {"BundleDropsAndDisablesMembers",
     {{"suite", "1.0", {}, {}, 0, false, {{"a", "1.0", {"/bin/a=a1"}}, {"b", "1.0", {"/bin/b=b1"}},
                                          {"c", "1.0", {"/bin/c=c1"}}}}},
     {{"suite", "2.0", {}, {}, 0, false, {{"a", "2.0", {"/bin/a=a2"}}, {"c", "2.0", {"/bin/c=c2"}}}, {"c"}}}},
    {"BootImage", {{"kernel", "1.0", {"/boot/kernel=k1"}, {}, FlagBootImage, true}},
     {{"kernel", "2.0", {"/boot/kernel=k2"}, {}, FlagBootImage, true}}, {}, {}, kPlain, {kPlain}, {}, true},
    {"FilePassesToAnotherPackage",
     {{"old", "1.0", {"/bin/shared=s1", "/bin/old=o1"}}, {"new", "1.0", {"/bin/new=n1"}}},
     {{"old", "2.0", {"/bin/old=o2"}}, {"new", "2.0", {"/bin/new=n2", "/bin/shared=s2"}}}},
    {"ScheduledUninstallAndDisable",
     {{"tool", "1.0", {"/bin/tool=t1"}}, {"extra", "1.0", {"/bin/extra=e1", "/etc/extra=e"}},
      {"gadget", "1.0", {"/bin/gadget=g"}}},
     {{"tool", "2.0", {"/bin/tool=t2"}}},
     {"ram/pdb/extra/schedule=uninstall\n", "ram/pdb/gadget/schedule=disable\n"}},
    {"DowngradeAllowedByOption", {kStavel62}, {kStavel61}, {}, {}, {"-r", "@root", "-down"}},
    {"DowngradeAllowedByMarker", {kStavel62}, {kStavel61}, {"rw/DOWNGRADE="}},
    {"SmallFlashWithRoomBeside", {kBig1}, {kBig2}, {}, {}, kPlain, {kPlain}, {}, false, 60},
    {"SmallFlashStagingInRam", {kBig1}, {kHuge2}, {}, {}, kPlain, {kPlain}, {}, false, 432, true},
    {"CommitOfSafeRun", {kLib1, kKeeper1}, {kLib2, kKeeper2}, {}, {"-r", "@root", "--safe"}, {"--commit"},
     {{"--commit"}, kPlain, {"--cancel"}}},
    {"StreamMode", {kKeeper1}, {}, {}, {}, {"-r", "@root", "-"}, {{"-r", "@root", "-"}}, {kKeeper2}},
    {"Cleanup",
     {{"stavel", "6.1", {"/bin/stavel=s"}}, {"old", "1.0", {"/bin/old=o"}, {"stavel:3.20"}},
      {"fresh", "1.0", {"/bin/fresh=f"}, {"stavel:6.0"}}},
     {}, {}, {}, {"-r", "@root", "--cleanup"}, {{"-r", "@root", "--cleanup"}}},
};

std::string image(const Pkg& pkg) {
    PackageRecipe recipe = packageRecipe(pkg.name, pkg.version);
    for (const std::string& file : pkg.files) {
        const std::size_t eq = file.find('=');
        std::string content = file.substr(eq + 1);
        if (content.rfind('*', 0) == 0) {
            // Big on the flash, small in the package: the run has to stage
            // and copy it, the sandbox does not.
            content = std::string(std::stoul(content.substr(1)), pkg.version.back());
        }
        recipe.files.push_back(regularFile(file.substr(0, eq), content));
    }
    for (const std::string& dep : pkg.deps) {
        const std::size_t colon = dep.find(':');
        recipe.deps.push_back(needs(dep.substr(0, colon), colon == std::string::npos ? "0" : dep.substr(colon + 1)));
    }
    recipe.flags = pkg.flags;
    recipe.keepImage = pkg.keep;
    if (pkg.members.empty()) return makePackage(recipe);
    BundleRecipe bundle{recipe, pkg.disabled, {}};
    for (const Pkg& member : pkg.members) bundle.members.push_back(image(member));
    return buildBundle(bundle);
}

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

bool chrooted(const Args& args) { return args[0] == "--commit" || args[0] == "--cancel"; }

// path is dir or lies below it.
bool under(const std::string& path, const std::string& dir) {
    return path.rfind(dir, 0) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

// Staged names differ from run to run: "/tmp" and six letters or digits
// become "/tmp??????" wherever they stand.
std::string blurred(std::string text) {
    for (std::size_t at = text.find("/tmp"); at != std::string::npos; at = text.find("/tmp", at + 1)) {
        const std::size_t end = at + 10;
        if (end > text.size() || (end < text.size() && std::isalnum(static_cast<unsigned char>(text[end])))) continue;
        bool name = true;
        for (std::size_t i = at + 4; i < end; ++i) name = name && std::isalnum(static_cast<unsigned char>(text[i]));
        if (name) text.replace(at + 4, 6, "??????");
    }
    return text;
}

// One traced call. Paths are relative to the sandbox root ("flash/bin/a").
struct Call {
    std::string name;
    std::string signature;  // the call as logged without its result, staged names blurred
    long result = 0;
    bool killed = false;
    unsigned occurrence = 0;  // among the calls of the same name, from 1
    std::vector<std::string> paths;
    std::vector<long> numbers;  // the arguments read as numbers
    bool changes = false;       // it can change the file system
    bool truncates = false;     // an open that leaves the file empty
};

// Top-level arguments of "name(a, b, c)".
std::vector<std::string> splitArguments(const std::string& text) {
    std::vector<std::string> out(1);
    int depth = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\') out.back() += text[i++];
            else if (c == '"') quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '[' || c == '{' || c == '<') {
            ++depth;
        } else if (c == ']' || c == '}' || c == '>') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.emplace_back();
            if (i + 1 < text.size() && text[i + 1] == ' ') ++i;
            continue;
        }
        if (i < text.size()) out.back() += text[i];
    }
    return out;
}

class Trace {
public:
    explicit Trace(std::string root) : root_(std::move(root)) {}

    std::vector<Call> read(const std::string& log) const {
        std::vector<Call> calls;
        std::map<std::string, unsigned> seen;
        bool inRoot = false;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) {
            const std::size_t start = line.find_first_not_of(' ', line.find_first_not_of("0123456789"));
            const std::size_t open = line.find('(', start);
            const std::size_t equals = line.rfind(" = ");
            // strace pads short calls out to a column before their result.
            const std::size_t close = line.find_last_not_of(' ', equals);
            if (start == std::string::npos || line[start] == '+' || line[start] == '-' || open == std::string::npos ||
                equals == std::string::npos || close < open || line[close] != ')') {
                continue;
            }
            Call call;
            call.name = line.substr(start, open - start);
            call.signature = blurred(line.substr(start, close + 1 - start));
            const std::string result = line.substr(equals + 3);
            call.killed = result == "?";
            call.result = call.killed ? 0 : std::strtol(result.c_str(), nullptr, 10);
            call.occurrence = ++seen[call.name];
            describe(call, splitArguments(line.substr(open + 1, close - open - 1)), inRoot);
            if (call.name == "chroot") inRoot = true;
            calls.push_back(std::move(call));
        }
        return calls;
    }

private:
    // The path of an argument "3</host/path>" (or "AT_FDCWD<...>"), relative
    // to the root; "?" for anything outside it (the console, a pipe).
    std::string fdPath(const std::string& argument) const {
        const std::size_t open = argument.find('<');
        if (open == std::string::npos || argument.back() != '>') return "?";
        const std::string host = argument.substr(open + 1, argument.size() - open - 2);
        if (host == root_) return "";
        if (host.rfind(root_ + "/", 0) != 0) return "?";
        return host.substr(root_.size() + 1);
    }

    // A quoted path argument, relative to the root; relative ones from the
    // directory argument before them.
    std::string quotedPath(const std::string& argument, const std::string& dir) const {
        std::string path = argument.size() >= 2 ? argument.substr(1, argument.size() - 2) : "";
        if (path.empty() || path[0] != '/') path = dir + "/" + path;
        std::string clean;
        for (char c : path) {
            if (c == '/' && (clean.empty() || clean.back() == '/')) continue;
            clean += c;
        }
        if (!clean.empty() && clean.back() == '/') clean.pop_back();
        return clean;
    }

    void describe(Call& call, const std::vector<std::string>& args, bool inRoot) const {
        static const std::set<std::string> byFd{"write",     "pwrite64", "writev",    "pwritev", "fchmod",
                                                "ftruncate", "fallocate", "fsync",    "fdatasync", "syncfs",
                                                "sendfile",  "copy_file_range"};
        const bool fdCall = byFd.count(call.name) != 0;
        std::string flags;
        for (std::size_t i = 0; i < args.size(); ++i) {
            call.numbers.push_back(std::strtol(args[i].c_str(), nullptr, 0));
            if (args[i].find("O_") == 0) flags = args[i];
            // Quoted arguments are paths (or a link's text), relative ones
            // from the directory argument before them.
            if (fdCall || args[i].empty() || args[i][0] != '"') continue;
            const std::string dir = i > 0 ? fdPath(args[i - 1]) : "";
            call.paths.push_back(quotedPath(args[i], dir == "?" ? "" : dir));
        }
        if (fdCall) {
            call.paths = {fdPath(args[call.name == "copy_file_range" ? 2 : 0])};
            call.changes = call.paths[0] != "?";
        } else if (call.name.rfind("open", 0) == 0 || call.name == "creat") {
            if (call.name == "creat") flags = "O_CREAT|O_TRUNC";
            for (const char* flag : {"O_CREAT", "O_TRUNC", "O_WRONLY", "O_RDWR"}) {
                call.changes = call.changes || (inRoot && flags.find(flag) != std::string::npos);
            }
            call.truncates = flags.find("O_TRUNC") != std::string::npos || flags.find("O_EXCL") != std::string::npos;
        } else {
            call.changes = call.name == "sync" || (inRoot && call.name != "chroot");
        }
    }

    std::string root_;
};

// What of the files a run wrote is on the flash for sure at a point: each
// file's length and the part of it the run flushed (fsync, sync).
class Flushes {
public:
    void apply(const Call& call) {
        if (call.result < 0 || call.killed) return;
        const std::string& name = call.name;
        const std::string path = call.paths.empty() ? "" : call.paths[0];
        if (name == "sync" || name == "syncfs") {
            for (auto& [file, state] : files_) state.flushed = state.length;
        } else if (name == "fsync" || name == "fdatasync") {
            files_[path].flushed = files_[path].length;
        } else if (name == "write" || name == "writev" || name == "sendfile" || name == "copy_file_range") {
            files_[path].length += call.result;
        } else if (name == "pwrite64" || name == "pwritev") {
            Written& file = files_[path];
            file.length = std::max(file.length, call.numbers[3] + call.result);
            file.flushed = std::min(file.flushed, call.numbers[3]);
        } else if (name == "ftruncate" || name == "truncate") {
            Written& file = files_[path];
            file.length = call.numbers[1];
            file.flushed = std::min(file.flushed, file.length);
        } else if ((name == "open" || name == "openat" || name == "creat") && call.truncates) {
            files_[path] = {};
        } else if (name.rfind("rename", 0) == 0) {
            forget(call.paths[1]);
            for (auto it = files_.lower_bound(call.paths[0]); it != files_.end() && under(it->first, call.paths[0]);) {
                files_[call.paths[1] + it->first.substr(call.paths[0].size())] = it->second;
                it = files_.erase(it);
            }
        } else if (name.rfind("unlink", 0) == 0 || name == "rmdir") {
            forget(path);
        }
    }

    // The power fails: every file on the flash goes back to what was
    // flushed of it, and /ram is lost. The number of files cut.
    unsigned lose(SandboxRoot& box) const {
        unsigned cut = 0;
        for (const auto& [path, file] : files_) {
            if (file.flushed >= file.length || under(path, "ram")) continue;
            struct stat info {};
            const std::string host = box.hostPath(path);
            if (::lstat(host.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > file.flushed &&
                ::truncate(host.c_str(), file.flushed) == 0) {
                ++cut;
            }
        }
        emptyDirectory(box.hostPath("ram"));
        return cut;
    }

private:
    struct Written {
        long length = 0;
        long flushed = 0;
    };
    void forget(const std::string& path) {
        for (auto it = files_.lower_bound(path); it != files_.end() && under(it->first, path);) it = files_.erase(it);
    }
    std::map<std::string, Written> files_;
};

bool isCommitRecord(const std::string& path) {
    return std::any_of(kCommitRecords.begin(), kCommitRecords.end(),
                       [&](const std::string& record) { return under(path, record); });
}

template <typename Drop>
TreeSnapshot without(TreeSnapshot tree, Drop drop) {
    std::erase_if(tree, [&](const auto& entry) { return drop(entry.first); });
    return tree;
}

// What the run is judged on: /ram and the postlog aside.
TreeSnapshot settledPart(TreeSnapshot tree) {
    return without(std::move(tree), [](const std::string& path) { return path == "flash/postlog" || under(path, "ram"); });
}

// A tree as a follow-up sees it: staged names blurred, the postlog aside.
std::string stateKey(const TreeSnapshot& tree) {
    std::vector<std::string> lines;
    for (const auto& [path, entry] : tree) {
        if (path == "flash/postlog") continue;
        lines.push_back(blurred("/" + path) + " " + entry.type + " " + std::to_string(entry.size) + " " +
                        std::to_string(entry.mode) + " " + entry.digest);
    }
    std::sort(lines.begin(), lines.end());
    std::string key;
    for (const std::string& line : lines) key += line + "\n";
    return key;
}

// Paths of a crashed tree that are neither as before nor as after, and
// files and links there before and after that the crash took away.
std::vector<std::string> crashFaults(const TreeSnapshot& before, const TreeSnapshot& now, const TreeSnapshot& after,
                                     bool ramLost) {
    std::set<std::string> paths;
    for (const TreeSnapshot* tree : {&before, &now, &after}) {
        for (const auto& [path, entry] : *tree) paths.insert(path);
    }
    auto at = [](const TreeSnapshot& tree, const std::string& path) {
        auto it = tree.find(path);
        return it == tree.end() ? nullptr : &it->second;
    };
    std::vector<std::string> faults;
    for (const std::string& path : paths) {
        if (path == "flash/postlog" || (ramLost && under(path, "ram"))) continue;
        const TreeEntry* old = at(before, path);
        const TreeEntry* current = at(now, path);
        const TreeEntry* done = at(after, path);
        if (!current) {
            if (old && done && old->type != 'd' && done->type != 'd') faults.push_back("missing " + path);
        } else if (current->type != 'd' && !(old && *old == *current) && !(done && *done == *current) &&
                   (old || done || !(isTemporaryName(path) || isCommitRecord(path)))) {
            // Left-over directories are judged after the next run.
            faults.push_back("neither old nor new " + path + " (" + std::to_string(current->size) + " bytes)");
        }
    }
    return faults;
}

// "+ path (...)" lines as "+path", on one line.
std::string condensed(const std::string& changes) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t end; (end = changes.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = changes.substr(start, end - start);
        out += (out.empty() ? "" : " ") + line.substr(0, 1) + line.substr(2, line.find(' ', 2) - 2);
    }
    return out;
}

struct Counts {
    unsigned points = 0, kills = 0, powerLosses = 0, followUps = 0, repeats = 0, exceptions = 0, faults = 0;
};

class CrashSweep : public TmpfsFlashTest, public ::testing::WithParamInterface<Layout> {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "a sanitized installer cannot run under strace";
#endif
        if (::geteuid() != 0) GTEST_SKIP() << "killing runs at each call needs root (chroot, tmpfs mounts)";
        if (::access(kStrace, X_OK) != 0 || ::access(kChroot, X_OK) != 0) GTEST_SKIP() << "strace or chroot missing";
        InstallTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        mountFlashAndRam(kTmpfsBytes, kTmpfsBytes);
        // The saved trees are copied back hundreds of times: memory, not disk.
        ASSERT_TRUE(saved_.makeDirs("store"));
        if (std::string why = store_.mount(saved_, "store", 4 * kTmpfsBytes); !why.empty()) GTEST_SKIP() << why;
    }

    void keep(const std::string& name) {
        for (const char* dir : {"flash", "ram", "rw"}) {
            const std::string copy = "store/" + name + "/" + dir;
            ASSERT_TRUE(saved_.makeDirs(copy));
            ASSERT_TRUE(emptyDirectory(saved_.hostPath(copy)));
            ASSERT_TRUE(copyContents(box.hostPath(dir), saved_.hostPath(copy)));
        }
    }
    void bringBack(const std::string& name) {
        for (const char* dir : {"flash", "ram", "rw"}) {
            ASSERT_TRUE(emptyDirectory(box.hostPath(dir)));
            ASSERT_TRUE(copyContents(saved_.hostPath("store/" + name + "/" + dir), box.hostPath(dir)));
        }
    }

    EnvOverrides env() const {
        return GetParam().bootImage ? EnvOverrides{{"bootimage", "1"}} : EnvOverrides{};
    }

    RunResult run(const Args& args) {
        const std::string stdinData = args.back() == "-" ? input_ : "";
        return box.runInstaller(withRoot(args, box), stdinData, chrooted(args) ? RunMode::Chrooted : RunMode::Normal,
                                env());
    }

    // The swept command under strace (its log in store/trace.log), killed
    // on entry to `kill` when given; the wait status.
    int traced(const Call* kill) {
        const Args& command = GetParam().command;
        Args argv{kStrace, "-f", "-y", "-qq", "-o", saved_.hostPath("store/trace.log"), "-e", kTraced};
        if (kill) {
            argv.insert(argv.end(), {"-e", "inject=" + kill->name + ":signal=KILL:when=" +
                                               std::to_string(kill->occurrence)});
        }
        if (chrooted(command)) {
            argv.insert(argv.end(), {kChroot, box.path(), "/installer"});
        } else {
            argv.push_back(INSTALLER_BINARY);
        }
        for (const std::string& arg : withRoot(command, box)) argv.push_back(arg);
        std::vector<std::string> envText;
        for (char** entry = environ; *entry; ++entry) {
            const std::string item(*entry);
            if (item.rfind("arch=", 0) != 0 && item.rfind("bootimage=", 0) != 0) envText.push_back(item);
        }
        if (GetParam().bootImage) envText.push_back("bootimage=1");
        std::vector<char*> argp;
        std::vector<char*> envp;
        for (std::string& arg : argv) argp.push_back(arg.data());
        for (std::string& item : envText) envp.push_back(item.data());
        argp.push_back(nullptr);
        envp.push_back(nullptr);
        const std::string in = command.back() == "-" ? saved_.hostPath("store/image") : "/dev/null";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::umask(022);
            const int stdinFd = ::open(in.c_str(), O_RDONLY);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(stdinFd, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::execve(kStrace, argp.data(), envp.data());
            ::_exit(127);
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    }

    // Faults alike (staged names blurred) are listed once, with their count
    // and the first point that showed them.
    void fault(const std::string& at, const std::string& what) {
        if (std::getenv("SWEEP_VERBOSE")) std::printf("FAULT %s: %s\n", at.c_str(), what.c_str());
        ++counts_.faults;
        const std::string key = blurred(what);
        auto [it, added] = faultIndex_.emplace(key, faults_.size());
        if (added) faults_.push_back({key, at, "", 0});
        Fault& seen = faults_[it->second];
        if (seen.lastAt != at) ++seen.points;
        seen.lastAt = at;
    }

    // The tree a crash left is in the sandbox: judge it, then every follow-up.
    void judge(const std::string& at, bool powerLost, bool killed, bool tryShow) {
        const Layout& layout = GetParam();
        const TreeSnapshot crashed = box.snapshot();
        for (const std::string& what : crashFaults(start_, crashed, after_, powerLost)) fault(at, what);
        if (tryShow) {
            RunResult show = box.runInstaller({"-r", box.path(), "--show"}, "", RunMode::Normal, env());
            if (std::string changed = describeChanges(crashed, box.snapshot()); !changed.empty()) {
                fault(at, "--show changed: " + condensed(changed));
            }
        }
        const std::string key = stateKey(crashed);
        // The crashed run had changed nothing yet (on the flash, for what a
        // power loss leaves).
        const bool untouched = stateKey(withoutScratch(crashed)) == stateKey(withoutScratch(start_));
        const bool flashUntouched =
            stateKey(settledPart(withoutScratch(crashed))) == stateKey(settledPart(withoutScratch(start_)));
        if (!seen_.insert(key).second) {
            ++counts_.repeats;
            return;
        }
        if (layout.followUps.size() > 1) keep("crash");
        for (std::size_t i = 0; i < layout.followUps.size(); ++i) {
            const Args& next = layout.followUps[i];
            if (i > 0) bringBack("crash");
            ++counts_.followUps;
            const RunResult result = run(next);
            const TreeSnapshot settled = box.snapshot();
            const std::string label = at + ", then " + (chrooted(next) ? next[0] : next.size() > 2 ? next[2] : "run");
            if (layout.mayRefuse && result.exitStatus == 28) {
                ++counts_.exceptions;
                if (std::string changed = describeChanges(settledPart(crashed), settledPart(settled)); !changed.empty()) {
                    fault(label, "refused with 28 but changed: " + condensed(changed));
                }
                continue;
            }
            if (!chrooted(next) && result.exitStatus != 0) {
                fault(label, "exit " + std::to_string(result.exitStatus) + ": " + result.out.substr(0, 200) + result.err);
            }
            // Staged files: none on the flash, and none of the crashed run's
            // in /ram (the follow-up's own may stay there). Those of the
            // preparing run are judged with the tree.
            for (const std::string& path : temporaryFiles(settled)) {
                if (after_.count(path) || start_.count(path)) continue;
                if (!under(path, "ram") || (killed && crashed.count(path))) {
                    fault(label, "staged file left: " + path);
                }
            }
            // All of the run or, where the crashed run had changed nothing
            // yet, none: the run never was, a power loss took the schedule
            // or the manifest along with /ram, --cancel cancelled the
            // manifest of a --commit that had not begun.
            std::vector<const TreeSnapshot*> allowed{&after_};
            if (flashUntouched && chrooted(next) && (powerLost || next[0] == "--cancel")) {
                allowed.push_back(&cancelled_);
            }
            if (powerLost && flashUntouched) allowed.push_back(&ramLost_[i]);
            if (untouched) allowed.push_back(&fromStart_[i]);
            const bool reached = std::any_of(allowed.begin(), allowed.end(), [&](const TreeSnapshot* expected) {
                return describeChanges(settledState(*expected), settledState(settled)).empty();
            });
            if (!reached) {
                fault(label, "not as after a complete run: " +
                                 condensed(describeChanges(settledState(after_), settledState(settled))));
            }
        }
    }

    // A tree without what a run writes before it changes anything: its
    // staged files, the register of their directories, a journal or a copy
    // of the schedule not yet complete.
    TreeSnapshot withoutScratch(TreeSnapshot tree) const {
        return without(std::move(tree), [&](const std::string& path) {
            return (isTemporaryName(path) && !start_.count(path)) || path == "flash/var/pdb/.journal.new" ||
                   path == "flash/var/pdb/.schedule.new" || under(path, "flash/var/pdb/.staged");
        });
    }

    // What a follow-up is compared on: staged files are judged apart.
    TreeSnapshot settledState(TreeSnapshot tree) const {
        return without(settledPart(std::move(tree)), [&](const std::string& path) {
            return isTemporaryName(path) && !after_.count(path) && !start_.count(path);
        });
    }

    // From the starting tree: the run killed at `call` (the complete run
    // when null), judged as it stops and again as a power loss there.
    void sweepPoint(const Call* call, std::size_t k) {
        std::string at = call ? "#" + std::to_string(k) + " " + call->name : "end";
        if (call) {
            for (const std::string& path : call->paths) at += " " + path;
        }
        bringBack("start");
        const int status = traced(call);
        const std::vector<Call> calls = trace_.read(saved_.hostPath("store/trace.log"));
        if (call) {
            ++counts_.points;
            if (!WIFSIGNALED(status) || calls.empty() || !calls.back().killed ||
                calls.back().signature != call->signature) {
                return fault(at, "the kill landed elsewhere: " + (calls.empty() ? "" : calls.back().signature));
            }
            ++counts_.kills;
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            return fault(at, "the traced run failed");
        }
        keep("killed");
        judge(at, false, call != nullptr, call == nullptr || counts_.points % kShowEvery == 1);
        bringBack("killed");
        // Each run names its staged files anew: what it flushed is read
        // from its own trace.
        Flushes flushes;
        for (const Call& done : calls) flushes.apply(done);
        flushes.lose(box);
        ++counts_.powerLosses;
        judge(at + " (power loss)", true, call != nullptr, false);
    }

    TmpfsMount store_;
    Trace trace_{box.path()};
    std::string input_;
    TreeSnapshot start_, after_, cancelled_;
    std::vector<TreeSnapshot> ramLost_;    // each follow-up from the start, /ram emptied
    std::vector<TreeSnapshot> fromStart_;  // each follow-up from the start
    std::set<std::string> seen_;
    Counts counts_;
    struct Fault {
        std::string what;
        std::string firstAt;
        std::string lastAt;
        unsigned points;
    };
    std::vector<Fault> faults_;
    std::map<std::string, std::size_t> faultIndex_;
};

TEST_P(CrashSweep, EveryCallKilledOrPowerLost) {
    const Layout& layout = GetParam();
    const auto began = std::chrono::steady_clock::now();

    // The starting tree: the installed packages put in place by a run of
    // their own, then the uploads, the files and the preparing run.
    for (const Pkg& pkg : layout.installed) upload(pkg.name + "-" + pkg.version + ".vpa", image(pkg));
    ASSERT_EQ(run(kPlain).exitStatus, 0);
    for (const Pkg& pkg : layout.installed) ASSERT_TRUE(box.exists("flash/var/pdb/" + pkg.name)) << pkg.name;
    ASSERT_TRUE(emptyDirectory(box.hostPath("flash/rw/pckg")));
    ASSERT_TRUE(box.removeAll("flash/postlog"));
    for (const Pkg& pkg : layout.uploads) upload(pkg.name + "-" + pkg.version + ".vpa", image(pkg));
    for (const std::string& file : layout.files) {
        ASSERT_TRUE(box.writeFile(file.substr(0, file.find('=')), file.substr(file.find('=') + 1)));
    }
    if (!layout.input.empty()) {
        input_ = image(layout.input[0]);
        ASSERT_TRUE(saved_.writeFile("store/image", input_));
    }
    if (!layout.prepare.empty()) {
        ASSERT_EQ(run(layout.prepare).exitStatus, 0);
    }
    box.runInstaller({"-bogus"}, "", RunMode::Chrooted);  // copies the installer in for chrooted runs
    if (layout.freeBlocks >= 0) {
        // The flash shrunk around what it holds (a filler file would be
        // copied and read at every point).
        const std::string flash = box.hostPath("flash");
        struct statfs fs {};
        ASSERT_EQ(::statfs(flash.c_str(), &fs), 0);
        const auto bytes = (fs.f_blocks - fs.f_bfree + static_cast<std::uint64_t>(layout.freeBlocks)) * fs.f_bsize;
        ASSERT_EQ(::mount("tmpfs", flash.c_str(), "tmpfs", MS_REMOUNT, ("size=" + std::to_string(bytes)).c_str()), 0);
        ASSERT_EQ(freeBlocksAt(flash), static_cast<std::uint64_t>(layout.freeBlocks));
    }
    start_ = box.snapshot();
    keep("start");

    // The complete run, once as it is and once under strace: both must end
    // alike, or the trace is not the run the kills are aimed at.
    RunResult complete = run(layout.command);
    ASSERT_EQ(complete.exitStatus, 0) << complete.out << complete.err;
    after_ = box.snapshot();
    for (const auto& [path, entry] : after_) ASSERT_FALSE(isCommitRecord(path)) << path;
    ASSERT_NE(describeChanges(settledPart(start_), settledPart(after_)), "") << "the run changes nothing";
    if (chrooted(layout.command)) {
        bringBack("start");
        ASSERT_EQ(run({"--cancel"}).exitStatus, 0);
        cancelled_ = box.snapshot();
    }
    for (const Args& next : layout.followUps) {
        for (std::vector<TreeSnapshot>* trees : {&fromStart_, &ramLost_}) {
            bringBack("start");
            if (trees == &ramLost_) {
                ASSERT_TRUE(emptyDirectory(box.hostPath("ram")));
            }
            run(next);
            trees->push_back(box.snapshot());
        }
    }
    bringBack("start");
    const int status = traced(nullptr);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "traced run: status " << status;
    ASSERT_EQ(describeChanges(settledPart(after_), settledPart(box.snapshot())), "") << "the traced run differs";
    const std::vector<Call> calls = trace_.read(saved_.hostPath("store/trace.log"));
    ASSERT_FALSE(calls.empty());
    if (layout.freeBlocks >= 0) {
        const bool stagedInRam = std::any_of(calls.begin(), calls.end(), [](const Call& call) {
            return call.truncates && !call.paths.empty() && under(call.paths[0], "ram");
        });
        ASSERT_EQ(stagedInRam, layout.mayRefuse) << "the flash has not the room the layout is meant for";
    }

    // A point on entry to each changing call (one that follows a failed
    // call would see the same tree again), and one after the last.
    bool previousFailed = false;
    for (std::size_t k = 0; k <= calls.size(); ++k) {
        if (k < calls.size()) {
            if (!calls[k].changes) continue;
            const bool repeat = previousFailed;
            previousFailed = calls[k].result < 0;
            if (repeat) continue;
        }
        sweepPoint(k < calls.size() ? &calls[k] : nullptr, k);
        if (HasFatalFailure()) return;
    }

    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("%s: %u points, %u kills, %u power losses, %u follow-ups (%u repeated trees), %u exceptions, "
                "%u faults, %.1f s\n",
                layout.name, counts_.points, counts_.kills, counts_.powerLosses, counts_.followUps,
                counts_.repeats, counts_.exceptions, counts_.faults, seconds);
    std::string listed;
    for (const Fault& f : faults_) listed += f.what + "\n    " + std::to_string(f.points) + " times, first at " + f.firstAt + "\n";
    EXPECT_EQ(counts_.faults, 0u) << listed;
}

INSTANTIATE_TEST_SUITE_P(Layouts, CrashSweep, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
