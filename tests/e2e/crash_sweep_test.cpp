// Every crash point of the runs that change packages. The swept run is traced once; then for each call that
// can change the file system it runs again from the same tree, killed on entry to that call (strace injects
// SIGKILL), and the point is taken again as a power loss: what a file got after its last flush is cut away and
// /ram is emptied. At every point (and after the last call):
//   - each path is as before or as after the complete run, and no file there before and after is missing;
//   - each follow-up ends where it ends after a complete run (the postlog and /ram aside) with no staged file
//     of the crashed run left; or, where the crashed run had changed nothing yet, where it ends from the start
//     (for a power loss, with /ram lost; a --commit or --cancel after a crashed --commit may end as a cancel);
//     where files were staged in /ram it may refuse with 28 and change nothing;
//   - --show, at every eighth point, changes nothing.
// The complete run flushes the staged contents before its first rename and again after its last.
// A follow-up runs once per distinct crashed tree. "#k" is the k-th traced call; SWEEP_VERBOSE=1 prints each
// fault as it is found.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "e2e/install_support.h"
#include "support/process_run.h"

namespace velmora {
namespace {

constexpr const char* kStrace = "/usr/bin/strace";
constexpr const char* kTraced =
    "trace=write,pwrite64,writev,pwritev,openat,open,creat,rename,renameat,renameat2,unlink,unlinkat,mkdir,"
    "mkdirat,rmdir,symlink,symlinkat,link,linkat,fchmod,chmod,fchmodat,ftruncate,truncate,fallocate,fsync,"
    "fdatasync,sync,syncfs,copy_file_range,sendfile,chroot";
constexpr unsigned long kTmpfsBytes = 8 << 20;

using Args = std::vector<std::string>;  // without "-r ROOT", which every run but --commit and --cancel gets

// "name version item...": "/path=content" ("/path=*N": N bytes of the version's last character), "<dep" or
// "<dep:min", "keep" (the image), "boot" (a boot image), "-member" (disabled); "; name version ..." a member.
std::string image(const std::string& text) {
    std::istringstream parts(text), words(text.substr(0, text.find(';')));
    std::string name, version;
    words >> name >> version, parts.ignore(text.size(), ';');
    BundleRecipe bundle{packageRecipe(name, version), {}, {}};
    PackageRecipe& recipe = bundle.bundle;
    for (std::string w; words >> w;) {
        const std::size_t colon = w.find(':');
        std::string content = w.substr(w.find_first_of("=:") + 1);  // of a file, or a dep's minimum
        // Big on the flash, small in the package: the run has to stage and copy it, the sandbox does not.
        if (content.starts_with('*')) content = std::string(std::stoul(content.substr(1)), version.back());
        if (w[0] == '/') recipe.files.push_back(regularFile(w.substr(0, w.find('=')), content));
        else if (w[0] == '<') recipe.deps.push_back({w.substr(1, colon - 1), colon == w.npos ? 0 : ver(content), 0, 0});
        else if (w[0] == '-') bundle.disabledMembers.push_back(w.substr(1));
        else if (w == "keep") recipe.keepImage = true;
        else recipe.flags = FlagBootImage;
    }
    if (parts.peek() == EOF) return makePackage(recipe);
    for (std::string member; std::getline(parts, member, ';');) bundle.members.push_back(image(member));
    return buildBundle(bundle);
}

struct Layout {
    const char* name;
    std::vector<std::string> installed, uploads;  // installed: put in place by one run before the sweep
    std::vector<std::string> files = {};          // "path=content": schedules, markers
    Args prepare = {};                            // a run that sets the swept one up, if any
    Args command = {};                            // the swept run
    std::vector<Args> followUps = {{}};           // each from the crashed tree
    std::string input = "";                       // standard input of the command ("-")
    long freeBlocks = -1;                         // the flash shrunk to this many free blocks
    bool mayRefuse = false;  // a follow-up may end with 28 and change nothing (files staged in /ram)
};

const char *kLib1 = "lib 1.0 /lib/libx.so=x1 /lib/old.so=o", *kLib2 = "lib 2.0 /lib/libx.so=x2 /lib/new.so=n";
const char *kKeeper1 = "keeper 1.0 /bin/keeper=k1 /etc/keeper=e keep", *kKeeper2 = "keeper 2.0 /bin/keeper=k2 keep";
const char *kStavel62 = "stavel 6.2 /bin/tool=6.2 /bin/only62=x", *kStavel61 = "stavel 6.1 /bin/tool=6.1 /bin/only61=y";
const char* const kBig1 = "big 1.0 /bin/big=b1 /etc/big.conf=b1";
// A file goes to /ram when the flash lacks a tenth more than its size, and the space check wants room for its
// copy and 16 blocks more: only a file of some 160 blocks and more can be staged there by a run that passes.
const Layout kLayouts[] = {
    // "tmp.state" looks like a staged file's name, but a package put it there.
    {"TwoPackagesWithMetadata", {kLib1, "app 1.0 /bin/app=a1 /etc/tmp.state=t1 <lib"},
     {kLib2, "app 2.0 /bin/app=a2 /etc/tmp.state=t2 /etc/app.conf=c <lib:2.0"}},
    {"KeptImage", {kKeeper1}, {kKeeper2}},
    {"BundleDropsAndDisablesMembers", {"suite 1.0; a 1.0 /bin/a=a1; b 1.0 /bin/b=b1; c 1.0 /bin/c=c1"},
     {"suite 2.0 -c; a 2.0 /bin/a=a2; c 2.0 /bin/c=c2"}},
    {"BootImage", {"kernel 1.0 /boot/kernel=k1 boot keep"}, {"kernel 2.0 /boot/kernel=k2 boot keep"}},
    {"FilePassesToAnotherPackage", {"old 1.0 /bin/shared=s1 /bin/old=o1", "new 1.0 /bin/new=n1"},
     {"old 2.0 /bin/old=o2", "new 2.0 /bin/new=n2 /bin/shared=s2"}},
    {"ScheduledUninstallAndDisable",
     {"tool 1.0 /bin/tool=t1", "extra 1.0 /bin/extra=e1 /etc/extra=e", "gadget 1.0 /bin/gadget=g"},
     {"tool 2.0 /bin/tool=t2"}, {"ram/pdb/extra/schedule=uninstall\n", "ram/pdb/gadget/schedule=disable\n"}},
    {"DowngradeAllowedByOption", {kStavel62}, {kStavel61}, {}, {}, {"-down"}},
    {"DowngradeAllowedByMarker", {kStavel62}, {kStavel61}, {"rw/DOWNGRADE="}},
    {"SmallFlashWithRoomBeside", {kBig1}, {"big 2.0 /bin/big=*120000 /etc/big.conf=b2"}, {}, {}, {}, {{}}, "", 60},
    {"SmallFlashStagingInRam", {kBig1}, {"big 2.0 /bin/big=*1638400 /etc/big.conf=b2"}, {}, {}, {}, {{}}, "", 432,
     true},
    {"CommitOfSafeRun", {kLib1, kKeeper1}, {kLib2, kKeeper2}, {}, {"--safe"}, {"--commit"},
     {{"--commit"}, {}, {"--cancel"}}},
    {"StreamMode", {kKeeper1}, {}, {}, {}, {"-"}, {{"-"}}, kKeeper2},
    {"Cleanup", {"stavel 6.1 /bin/stavel=s", "old 1.0 /bin/old=o <stavel:3.20", "fresh 1.0 /bin/fresh=f <stavel:6.0"},
     {}, {}, {}, {"--cleanup"}, {{"--cleanup"}}},
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

bool chrooted(const Args& args) { return !args.empty() && (args[0] == "--commit" || args[0] == "--cancel"); }

// Staged names differ from run to run: "/tmp" and six letters or digits become "/tmp??????".
std::string blurred(const std::string& text) {
    static const std::regex staged("/tmp[A-Za-z0-9]{6}(?![A-Za-z0-9])");
    return text.find("/tmp") == std::string::npos ? text : std::regex_replace(text, staged, "/tmp??????");
}

// One traced call; paths relative to the sandbox root ("flash/bin/a").
struct Call {
    std::string name, signature;  // the signature: the call without its result, staged names blurred
    long result = 0, occurrence = 0;  // occurrence: among the calls of its name, from 1
    std::vector<std::string> paths;
    bool killed = false, changes = false, truncates = false;  // changes: can change the file system; truncates:
};                                                             // an open that leaves the file empty

// The calls of an strace -y log, their paths relative to root ("?" outside it: the console, a pipe).
std::vector<Call> readTrace(const std::string& log, const std::string& root) {
    auto relative = [&](const std::string& host) -> std::string {
        return host == root ? "" : host.rfind(root + "/", 0) == 0 ? host.substr(root.size() + 1) : "?";
    };
    static const std::regex lineForm(R"(^\d* *([a-z0-9_]+)\((.*)\) *= (\?|-?\d+))");
    // A quoted path, with the directory descriptor before it, if any.
    static const std::regex pathForm(R"re((?:<([^>]*)>, )?"((?:[^"\\]|\\.)*)")re");
    static const std::regex writing("O_CREAT|O_TRUNC|O_WRONLY|O_RDWR"), emptying("O_TRUNC|O_EXCL");
    static const std::set<std::string> byFd{"write", "writev", "pwrite64", "pwritev", "fchmod", "ftruncate",
                                            "fallocate", "fsync", "fdatasync", "syncfs", "sendfile", "copy_file_range"};
    std::vector<Call> calls;
    std::map<std::string, unsigned> seen;
    bool inRoot = false;
    std::ifstream in(log);
    std::smatch form;
    for (std::string line; std::getline(in, line);) {
        if (!std::regex_search(line, form, lineForm)) continue;
        const std::string name = form[1], args = form[2];
        const bool killed = form[3] == "?";
        Call call{name, blurred(name + "(" + args + ")"), killed ? 0 : std::stol(form[3]), ++seen[name], {}, killed};
        if (byFd.count(name)) {
            const std::size_t open = args.find('<'), close = args.find('>');
            call.paths = {open < close && close != args.npos ? relative(args.substr(open + 1, close - open - 1)) : "?"};
            call.changes = call.paths[0] != "?";
        } else {
            for (std::sregex_iterator it(args.begin(), args.end(), pathForm), end; it != end; ++it) {
                std::string path = (*it)[2], clean;
                const std::string dir = (*it)[1].matched ? relative((*it)[1]) : "";
                if (path.empty() || path[0] != '/') path = (dir == "?" ? "" : dir) + "/" + path;
                for (char c : path) if (c != '/' || (!clean.empty() && clean.back() != '/')) clean += c;
                if (clean.ends_with('/')) clean.pop_back();
                call.paths.push_back(clean);
            }
            const std::string flags = args.substr(args.rfind('"') == args.npos ? 0 : args.rfind('"'));
            const bool opens = name.starts_with("open");
            call.changes = opens ? inRoot && std::regex_search(flags, writing)
                                 : name == "sync" || (inRoot && name != "chroot");
            call.truncates = opens && std::regex_search(flags, emptying);
        }
        inRoot = inRoot || name == "chroot";
        calls.push_back(std::move(call));
    }
    return calls;
}

// What of each file a run wrote is on the flash for sure: its length and the part flushed (fsync, sync). The
// installer writes files whole, from the start (no pwrite, no truncate).
struct Flushes {
    void apply(const Call& call) {
        if (call.result < 0 || call.killed) return;
        const std::string& name = call.name;
        const std::string path = call.paths.empty() ? "" : call.paths[0];
        if (name == "sync" || name == "syncfs") for (auto& [any, file] : files) file.second = file.first;
        if (name == "fsync" || name == "fdatasync") files[path].second = files[path].first;
        if (name == "write" || name == "writev") files[path].first += call.result;
        if (name.starts_with("open") && call.truncates) files[path] = {};
        if (name.starts_with("unlink") || name == "rmdir") forget(path);
        if (name.starts_with("rename")) {
            forget(call.paths[1]);
            for (auto it = files.lower_bound(path); it != files.end() && under(it->first, path); it = files.erase(it)) {
                files[call.paths[1] + it->first.substr(path.size())] = it->second;
            }
        }
    }
    void forget(const std::string& path) {
        for (auto it = files.lower_bound(path); it != files.end() && under(it->first, path);) it = files.erase(it);
    }

    // The power fails: each file on the flash goes back to what was flushed of it, and /ram is lost.
    void lose(SandboxRoot& box) const {
        for (const auto& [path, file] : files) {
            struct stat info {};
            const std::string host = box.hostPath(path);
            if (file.second < file.first && !under(path, "ram") && ::lstat(host.c_str(), &info) == 0 &&
                S_ISREG(info.st_mode) && info.st_size > file.second) ::truncate(host.c_str(), file.second);
        }
        emptyDirectory(box.hostPath("ram"));
    }

    std::map<std::string, std::pair<long, long>> files;  // path -> length written, length flushed
};

template <typename Drop>
TreeSnapshot without(TreeSnapshot tree, Drop drop) {
    return std::erase_if(tree, [&](auto& e) { return drop(e.first); }), tree;
}

// What a run is judged on: /ram and the postlog aside.
TreeSnapshot settledPart(TreeSnapshot tree) {
    return without(std::move(tree), [](const std::string& p) { return p == "flash/postlog" || under(p, "ram"); });
}

// A tree as a follow-up sees it: staged names blurred, the postlog aside.
std::string stateKey(const TreeSnapshot& tree) {
    std::set<std::string> lines;
    for (const auto& [path, entry] : tree) {
        if (path != "flash/postlog") lines.insert(blurred("/" + path) + " " + describeChanges({}, {{"", entry}}));
    }
    std::string key;
    for (const std::string& line : lines) key += line + "\n";
    return key;
}

class CrashSweep : public TmpfsFlashTest, public ::testing::WithParamInterface<Layout> {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "a sanitized installer cannot run under strace";
#endif
        if (::geteuid() != 0 || ::access(kStrace, X_OK) != 0) GTEST_SKIP() << "needs root (chroot, tmpfs) and strace";
        mountFlashAndRam(kTmpfsBytes, kTmpfsBytes);
        if (IsSkipped() || HasFatalFailure()) return;
        // The saved trees are copied back hundreds of times: memory, not disk.
        ASSERT_TRUE(saved_.makeDirs("store"));
        if (std::string why = mountTmpfs(saved_, "store", 4 * kTmpfsBytes); !why.empty()) GTEST_SKIP() << why;
    }

    // flash/, ram/ and rw/ copied to store/NAME, or back from there.
    void copyTrees(const std::string& name, bool keep) {
        for (const char* dir : {"flash", "ram", "rw"}) {
            std::string from = box.hostPath(dir), to = saved_.hostPath("store/" + name + "/" + dir);
            if (!keep) std::swap(from, to);
            ASSERT_TRUE(saved_.makeDirs("store/" + name + "/" + dir) && emptyDirectory(to) && copyContents(from, to));
        }
    }
    void keep(const std::string& name) { copyTrees(name, true); }
    void bringBack(const std::string& name) { copyTrees(name, false); }

    bool bootImage() const { return GetParam().name == std::string_view("BootImage"); }
    Args full(Args args) const {
        if (!chrooted(args)) args.insert(args.begin(), {"-r", box.path()});
        return args;
    }
    RunResult run(const Args& args) {
        return box.runInstaller(full(args), !args.empty() && args.back() == "-" ? input_ : "",
                                chrooted(args) ? RunMode::Chrooted : RunMode::Normal,
                                bootImage() ? EnvOverrides{{"bootimage", "1"}} : EnvOverrides{});
    }

    // The swept command under strace (log in store/trace.log), killed on entry to `kill` when given; whether
    // it exited with 0 (no kill) or was killed.
    bool traced(const Call* kill) {
        const Args& command = GetParam().command;
        const std::string in = !command.empty() && command.back() == "-" ? saved_.hostPath("store/image") : "/dev/null";
        Args argv{"/bin/sh", "-c", "umask 022; exec \"$@\" <\"$0\"", in, "env", "-u", "arch", "-u", "bootimage"};
        if (bootImage()) argv.push_back("bootimage=1");
        argv.insert(argv.end(), {kStrace, "-f", "-y", "-qq", "-o", saved_.hostPath("store/trace.log"), "-e", kTraced});
        if (kill) argv.insert(argv.end(), {"-e", "inject=" + kill->name + ":signal=KILL:when=" +
                                                     std::to_string(kill->occurrence)});
        if (chrooted(command)) argv.insert(argv.end(), {"/usr/sbin/chroot", box.path(), "/installer"});
        else argv.push_back(INSTALLER_BINARY);
        for (const std::string& arg : full(command)) argv.push_back(arg);
        return runProcess(argv, saved_.hostPath("store")).exitStatus == (kill ? -1 : 0);
    }

    // Faults alike (staged names blurred) are listed once, with their count and first point.
    void fault(const std::string& at, const std::string& what) {
        if (std::getenv("SWEEP_VERBOSE")) std::printf("FAULT %s: %s\n", at.c_str(), what.c_str());
        ++faults_.try_emplace(blurred(what), at, 0u).first->second.second;
    }

    // The tree a crash left is in the sandbox: judge it, then every follow-up from it.
    void judge(const std::string& at, bool powerLost, bool killed, bool tryShow) {
        const Layout& layout = GetParam();
        const TreeSnapshot crashed = box.snapshot();
        for (const std::string& what : tornPaths(start_, crashed, after_, powerLost)) fault(at, what);
        if (tryShow) {
            run({"--show"});
            const std::string changed = describeChanges(crashed, box.snapshot());
            if (!changed.empty()) fault(at, "--show changed:\n" + changed);
        }
        // The crashed run had changed nothing yet (on the flash, for what a power loss leaves).
        const bool untouched = stateKey(withoutScratch(crashed)) == stateKey(withoutScratch(start_));
        const bool flashUntouched =
            stateKey(settledPart(withoutScratch(crashed))) == stateKey(settledPart(withoutScratch(start_)));
        if (!seen_.insert(stateKey(crashed)).second) return;
        if (layout.followUps.size() > 1) keep("crash");
        for (std::size_t i = 0; i < layout.followUps.size(); ++i) {
            const Args& next = layout.followUps[i];
            if (i > 0) bringBack("crash");
            const RunResult result = run(next);
            const TreeSnapshot settled = box.snapshot();
            const std::string label = at + ", then " + (next.empty() ? "run" : next[0]);
            if (layout.mayRefuse && result.exitStatus == 28) {
                const std::string changed = describeChanges(settledPart(crashed), settledPart(settled));
                if (!changed.empty()) fault(label, "refused with 28 but changed: " + changed);
                continue;
            }
            if (!chrooted(next) && result.exitStatus != 0) {
                fault(label, "exit " + std::to_string(result.exitStatus) + ": " + result.out.substr(0, 200) +
                                 result.err);
            }
            // No staged file on the flash, none of the crashed run's in /ram (the follow-up's own may stay).
            for (const std::string& path : temporaryFiles(settled)) {
                if (after_.count(path) || start_.count(path)) continue;
                if (!under(path, "ram") || (killed && crashed.count(path))) fault(label, "staged file left: " + path);
            }
            std::vector<const TreeSnapshot*> allowed{&after_};
            if (flashUntouched && chrooted(next) && (powerLost || next[0] == "--cancel")) {
                allowed.push_back(&cancelled_);
            }
            if (powerLost && flashUntouched) allowed.push_back(&ramLost_[i]);
            if (untouched) allowed.push_back(&fromStart_[i]);
            if (std::none_of(allowed.begin(), allowed.end(), [&](const TreeSnapshot* expected) {
                    return describeChanges(settledState(*expected), settledState(settled)).empty();
                })) {
                fault(label, "not as after a complete run: " +
                                 describeChanges(settledState(after_), settledState(settled)));
            }
        }
    }

    // Without what a run writes before it changes anything: staged files, their register, an unfinished
    // journal or schedule.
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

    // From the starting tree: the run killed at `call` (complete when null), judged as it stops and as a
    // power loss there.
    void sweepPoint(const Call* call, std::size_t k) {
        std::string at = call ? "#" + std::to_string(k) + " " + call->name : "end";
        for (const std::string& path : call ? call->paths : std::vector<std::string>{}) at += " " + path;
        bringBack("start");
        const bool ended = traced(call);
        const std::vector<Call> calls = readTrace(saved_.hostPath("store/trace.log"), box.path());
        if (call && (!ended || calls.empty() || !calls.back().killed || calls.back().signature != call->signature)) {
            return fault(at, "the kill landed elsewhere: " + (calls.empty() ? "" : calls.back().signature));
        }
        if (!ended) return fault(at, "the traced run failed");
        keep("killed");
        judge(at, false, call != nullptr, call == nullptr || ++points_ % 8 == 1);
        bringBack("killed");
        Flushes flushes;  // each run names its staged files anew: read from its own trace
        for (const Call& done : calls) flushes.apply(done);
        flushes.lose(box);
        judge(at + " (power loss)", true, call != nullptr, false);
    }

    std::string input_;
    TreeSnapshot start_, after_, cancelled_;
    std::vector<TreeSnapshot> ramLost_, fromStart_;  // each follow-up from the start, with /ram emptied or not
    std::set<std::string> seen_;
    unsigned points_ = 0;
    std::map<std::string, std::pair<std::string, unsigned>> faults_;  // what -> first point, times
};

TEST_P(CrashSweep, EveryCallKilledOrPowerLost) {
    const Layout& layout = GetParam();
    const auto began = std::chrono::steady_clock::now();
    // The starting tree: the installed packages put in place by a run, the uploads, the files, the preparing run.
    auto uploadAll = [&](const std::vector<std::string>& pkgs) {
        for (const std::string& pkg : pkgs) {
            std::string file = pkg.substr(0, pkg.find_first_of(" ;", pkg.find(' ') + 1));
            upload(file.replace(file.find(' '), 1, "-") + ".vpa", image(pkg));
        }
    };
    uploadAll(layout.installed);
    ASSERT_EQ(run({}).exitStatus, 0);
    for (const std::string& pkg : layout.installed) ASSERT_TRUE(
        box.exists("flash/var/pdb/" + pkg.substr(0, pkg.find(' '))));
    ASSERT_TRUE(emptyDirectory(box.hostPath("flash/rw/pckg")) && box.removeAll("flash/postlog"));
    uploadAll(layout.uploads);
    for (const std::string& file : layout.files) {
        ASSERT_TRUE(box.writeFile(file.substr(0, file.find('=')), file.substr(file.find('=') + 1)));
    }
    if (!layout.input.empty()) input_ = image(layout.input);
    ASSERT_TRUE(saved_.writeFile("store/image", input_));
    ASSERT_EQ(layout.prepare.empty() ? 0 : run(layout.prepare).exitStatus, 0);
    box.runInstaller({"-bogus"}, "", RunMode::Chrooted);  // copies the installer in for chrooted runs
    if (layout.freeBlocks >= 0) {
        // Shrunk around what it holds: a filler file would be copied and read at every point.
        const std::string flash = box.hostPath("flash");
        const struct statfs fs = fsInfo(flash);
        const auto bytes = (fs.f_blocks - fs.f_bfree + static_cast<std::uint64_t>(layout.freeBlocks)) * fs.f_bsize;
        ASSERT_EQ(::mount("tmpfs", flash.c_str(), "tmpfs", MS_REMOUNT, ("size=" + std::to_string(bytes)).c_str()), 0);
        ASSERT_EQ(fsInfo(flash).f_bfree, static_cast<std::uint64_t>(layout.freeBlocks));
    }
    start_ = box.snapshot();
    keep("start");

    const RunResult complete = run(layout.command);
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
            ASSERT_TRUE(trees == &fromStart_ || emptyDirectory(box.hostPath("ram")));
            run(next);
            trees->push_back(box.snapshot());
        }
    }
    // Traced, the run must end alike, or the trace is not the run the kills aim at.
    bringBack("start");
    ASSERT_TRUE(traced(nullptr)) << "the traced run failed";
    ASSERT_EQ(describeChanges(settledPart(after_), settledPart(box.snapshot())), "") << "the traced run differs";
    const std::vector<Call> calls = readTrace(saved_.hostPath("store/trace.log"), box.path());
    ASSERT_FALSE(calls.empty());
    // The staged contents are flushed before the first rename makes any live, and again after the last.
    auto isRename = [](const Call& call) { return call.name.rfind("rename", 0) == 0; };
    auto isFlush = [](const Call& call) { return call.name.find("sync") != std::string::npos && call.result == 0; };
    if (const auto first = std::find_if(calls.begin(), calls.end(), isRename); first != calls.end()) {
        const auto last = std::find_if(calls.rbegin(), calls.rend(), isRename).base();
        EXPECT_TRUE(std::any_of(calls.begin(), first, isFlush)) << "no flush before the first rename";
        EXPECT_TRUE(std::any_of(last, calls.end(), isFlush)) << "no flush after the last rename";
    }
    if (layout.freeBlocks >= 0) {
        const bool stagedInRam = std::any_of(calls.begin(), calls.end(), [](const Call& call) {
            return call.truncates && !call.paths.empty() && under(call.paths[0], "ram");
        });
        ASSERT_EQ(stagedInRam, layout.mayRefuse) << "the flash has not the room the layout is meant for";
    }

    // A point on entry to each changing call (not one right after a failed call: the same tree again), and
    // one after the last.
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
    std::printf("%s: %u points, %zu follow-up trees, %.1f s\n", layout.name, points_, seen_.size(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    std::string listed;
    for (const auto& [what, seen] : faults_) {
        listed += what + "\n    " + std::to_string(seen.second) + " times, first at " + seen.first + "\n";
    }
    EXPECT_TRUE(faults_.empty()) << listed;
}

INSTANTIATE_TEST_SUITE_P(Layouts, CrashSweep, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
