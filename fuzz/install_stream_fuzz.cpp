// Installs arbitrary bytes as the stream mode does: the catalogue loaded
// from a small router database, the scheduled actions applied, the stream
// read, hashed, copied and unpacked into staged files of a fresh change set,
// which is then cancelled. Whatever the input, nothing may be staged or
// deleted outside the scratch tree, and no staged file may outlive cancel.

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <string>

#include "memory_source.h"
#include "pdb/package_db.h"
#include "planning/apply_actions.h"
#include "planning/install_flags.h"
#include "run/installer.h"
#include "run/repository.h"
#include "run/stream_install.h"
#include "storage/change_set.h"
#include "throwaway_tree.h"

namespace {

using namespace velmora;

void check(bool condition, const char* what, const std::string& path = {}) {
    if (!condition) {
        std::fprintf(stderr, "install_stream_fuzz: %s %s\n", what, path.c_str());
        std::abort();
    }
}

// The stream mode's copy of its input, counted and dropped.
class CountingSink : public std::streambuf {
public:
    std::size_t count = 0;

protected:
    std::streamsize xsputn(const char*, std::streamsize n) override {
        count += static_cast<std::size_t>(n);
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) ++count;
        return traits_type::not_eof(c);
    }
};

std::string tree;

void makeDirs(const std::string& below) {
    for (std::size_t slash = below.find('/', 1);; slash = below.find('/', slash + 1)) {
        ::mkdir((tree + below.substr(0, slash)).c_str(), 0755);
        if (slash == std::string::npos) return;
    }
}

void put(const std::string& below, const std::string& text) {
    fuzz::writeFile(tree + below, text.data(), text.size());
}

// An installed system for the packages of the seed corpus to meet: the
// core they depend on, an older version of the application they upgrade,
// a package they conflict with (scheduled for disabling) and a bundle.
void makeRouter() {
    tree = fuzz::throwawayRoot() + "/router";
    ::mkdir(tree.c_str(), 0755);
    for (const char* dir : {"/flash/var/pdb/stavel", "/flash/var/pdb/app", "/flash/var/pdb/old",
                            "/flash/var/pdb/velmora", "/flash/bin", "/flash/etc", "/ram/pdb/old",
                            "/rw/pckg/.images"}) {
        makeDirs(dir);
    }
    put("/flash/var/pdb/stavel/version", "100689408 1300000000\n");
    put("/flash/var/pdb/stavel/files", "bin/stavel\n");
    put("/flash/var/pdb/app/version", "83912192 1300000000\n");
    put("/flash/var/pdb/app/deps", "stavel 100689408 0\n");
    put("/flash/var/pdb/app/provides", "web 16777216 0 5\n");
    put("/flash/var/pdb/app/files", "bin/app\netc/app.conf\n");
    put("/flash/var/pdb/old/version", "16803328 1300000000\n");
    put("/flash/var/pdb/old/files", "bin/old\n");
    put("/ram/pdb/old/schedule", "disable\n");
    put("/flash/var/pdb/velmora/version", "100689408 1300000000\n");
    for (const char* file : {"/flash/bin/stavel", "/flash/bin/app", "/flash/etc/app.conf", "/flash/bin/old"}) {
        put(file, "contents\n");
    }
    DbPaths paths;
    paths.dbRoot = tree + "/flash/var/pdb/";
    paths.scheduleRoot = tree + "/ram/pdb/";
    paths.flashRoot = tree + "/flash";
    paths.bootImage = tree + "/flash/bootimage";
    paths.imageStore = tree + "/rw/pckg/.images/";
    setDbPaths(paths);
}

// A name in /ram that mkstemp tried and could not create.
bool neverCreated(const std::string& path) {
    struct stat st {};
    return path.rfind("/ram/tmp", 0) == 0 && ::lstat(path.c_str(), &st) != 0;
}

std::size_t leftovers = 0;

// Staged files are named tmpXXXXXX by mkstemp; none may be left.
std::size_t countStagedFiles() {
    leftovers = 0;
    ::nftw(tree.c_str(), [](const char* path, const struct stat*, int kind, struct FTW* at) {
        if (kind == FTW_F && std::strncmp(path + at->base, "tmp", 3) == 0) ++leftovers;
        return 0;
    }, 16, FTW_PHYS);
    return leftovers;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The installer stages what has no room beside its target in /ram, a
    // path it takes from the router's layout: on a machine that has one,
    // fuzzing would write there.
    struct stat st {};
    if (::lstat("/ram", &st) == 0) {
        std::fputs("install_stream_fuzz: this machine has a /ram, where the installer would stage files\n", stderr);
        std::exit(1);
    }
    makeRouter();
    ::unsetenv("bootimage");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Installer& installer = Installer::instance();
    installer.packages.clear();
    installer.messages.clear();
    installer.status.clear();
    // The input's length picks the command-line options, so that the bytes
    // themselves stay a plain package stream: -down, --reinstall, and the
    // bootimage variable.
    const InstallFlags options[] = {0, AllowDowngrade, Reinstall};
    const InstallFlags flags = options[size % 3] | AllowUpgrade;
    if (size % 6 >= 3) {
        ::setenv("bootimage", "1", 1);
    } else {
        ::unsetenv("bootimage");
    }

    {
        fuzz::UnlinkGuard guard;
        loadRepository(installer, true, "i386");
        check(installer.packages.size() >= 4, "the router's database did not load");

        ChangeSet changes;
        applyActions(installer, changes, 1);
        fuzz::MemorySource memory(data, size);
        std::istream input(&memory);
        CountingSink copy;
        UserStates userStates;
        std::string imageDir;
        bool bootImage = false;
        installStream(installer, changes, input, flags, userStates, &copy, &imageDir, &bootImage);

        check(copy.count <= size, "the copy holds more than the input");
        check(imageDir.empty() || imageDir.rfind(dbPaths().dbRoot, 0) == 0, "image directory outside the database");
        for (const auto& [target, op] : changes.ops) {
            check(fuzz::insideThrowaway(target), "a change targets a path outside the tree:", target);
            if (op.kind == FileOpKind::MoveTemp && !fuzz::insideThrowaway(op.source)) {
                check(neverCreated(op.source), "a file was staged outside the tree:", op.source);
            }
        }
        cancel(changes);
    }
    // Staging a file of size 0, or one too big for the tree's file system,
    // falls back on /ram, which this machine lacks: mkstemp fails and leaves
    // the last name it tried as the staged name, which replacing or
    // cancelling the operation then unlinks (and the guard refuses). Any
    // other unlink outside the tree is a fault.
    for (const std::string& path : fuzz::takeRefusedUnlinks()) {
        check(neverCreated(path), "an unlink outside the tree was attempted:", path);
    }
    check(countStagedFiles() == 0, "a staged file outlived cancel");
    return 0;
}
