#pragma once
// Shared by the fault tests (crash sweep, killed runs, full flash): an upgrade to break, a flash and /ram of
// their own (tmpfs), and the tree helpers that judge a trial and put the sandbox back for the next.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "e2e/install_support.h"

namespace velmora {

// Bytes zlib cannot shrink: a package is as big as what it carries.
inline std::string incompressible(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed | 1u;
    for (char& byte : bytes) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        byte = static_cast<char>(state & 0xFF);
    }
    return bytes;
}

// A number from the environment, or fallback.
inline unsigned long envNumber(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoul(text, nullptr, 10) : fallback;
}

using UploadedFile = std::pair<std::string, std::string>;  // a name in flash/rw/pckg/, an image
struct UpgradeScenario { std::vector<UploadedFile> installed, uploads; };

// Installed webui 6.1 (image kept) and ntp 6.1; uploaded webui 6.2, ntp 6.2 (a file changed, one gone, one
// new) and dns 1.0 (needs ntp) with zoneFiles empty files, whose "files" list outgrows its staged room.
inline UpgradeScenario upgradeScenario(std::size_t scale, int zoneFiles) {
    // /bin/NAME (incompressible), /etc/NAME.conf and, with extra, /usr/share/ntp/EXTRA.txt.
    auto pkg = [](const std::string& name, const char* version, std::size_t size, std::uint32_t seed,
                  const char* conf, bool keep = false, const std::string& extra = "") {
        PackageRecipe recipe =
            packageRecipe(name, version, {regularFile("/bin/" + name, incompressible(size, seed), 0755)});
        recipe.files.push_back(regularFile("/etc/" + name + ".conf", conf));
        if (!extra.empty()) recipe.files.push_back(regularFile("/usr/share/ntp/" + extra + ".txt", extra + "\n"));
        recipe.keepImage = keep;
        return UploadedFile{name + "-" + version + ".vpa", makePackage(recipe)};
    };
    PackageRecipe dns = packageRecipe("dns", "1.0", {regularFile("/bin/dns", incompressible(scale, 3), 0755),
                                                     regularFile("/etc/dns.conf", "zones /usr/share/dns\n")});
    dns.deps = {needs("ntp", "6.2")};
    for (int i = 0; i < zoneFiles; ++i) {
        dns.files.push_back(regularFile("/usr/share/dns/zones/z" + std::to_string(10000 + i).substr(1) + ".db", ""));
    }
    return {{pkg("webui", "6.1", scale, 1, "port 80\n", true), pkg("ntp", "6.1", scale, 2, "server a\n", false, "old")},
            {pkg("webui", "6.2", scale, 4, "port 8080\n", true),
             pkg("ntp", "6.2", scale * 2, 5, "server b\n", false, "new"), {"dns-1.0.vpa", makePackage(dns)}}};
}

// path is dir or lies below it.
inline bool under(const std::string& path, const std::string& dir) {
    return path.rfind(dir, 0) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

// What a stopped commit keeps for the next run.
inline bool isCommitRecord(const std::string& path) {
    for (const char* record : {".journal", ".journal.new", ".staged", ".downgrade", ".schedule", ".schedule.new"}) {
        if (under(path, std::string("flash/var/pdb/") + record)) return true;
    }
    return false;
}

inline TreeSnapshot withoutTemporaries(TreeSnapshot tree, const std::vector<std::string>& also = {}) {
    for (const std::string& path : temporaryFiles(tree)) tree.erase(path);
    for (const std::string& path : also) tree.erase(path);
    return tree;
}

// Paths a stopped run left neither as before nor as after, and files and links there before and after that it
// took away. Directories left over, staged files and commit records are judged by the next run.
inline std::vector<std::string> tornPaths(const TreeSnapshot& before, const TreeSnapshot& now,
                                          const TreeSnapshot& after, bool ramLost) {
    std::set<std::string> paths;
    for (const TreeSnapshot* tree : {&before, &now, &after}) for (const auto& [path, entry] : *tree) paths.insert(path);
    auto at = [](const TreeSnapshot& tree, const std::string& path) {
        return tree.count(path) ? &tree.at(path) : nullptr;
    };
    std::vector<std::string> faults;
    for (const std::string& path : paths) {
        if (path == "flash/postlog" || (ramLost && under(path, "ram"))) continue;
        const TreeEntry *old = at(before, path), *current = at(now, path), *done = at(after, path);
        if (!current) {
            if (old && done && old->type != 'd' && done->type != 'd') faults.push_back("missing " + path);
        } else if (current->type != 'd' && !(old && *old == *current) && !(done && *done == *current) &&
                   (old || done || !(isTemporaryName(path) || isCommitRecord(path)))) {
            faults.push_back("neither old nor new " + path + " (" + std::to_string(current->size) + " bytes)");
        }
    }
    return faults;
}

inline struct statfs fsInfo(const std::string& hostPath) {
    struct statfs info {};
    return ::statfs(hostPath.c_str(), &info), info;
}

// Empties hostDir, keeping the directory (it may be a mount point).
inline bool emptyDirectory(const std::string& hostDir) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(hostDir, error)) {
        if (std::filesystem::remove_all(entry.path(), error), error) return false;
    }
    return !error;
}

inline bool copyContents(const std::string& fromDir, const std::string& toDir) {
    std::error_code error;
    using std::filesystem::copy_options;
    std::filesystem::copy(fromDir, toDir, copy_options::recursive | copy_options::copy_symlinks, error);
    return !error;
}

// Flash and /ram on tmpfs, the installed flash kept aside so that every trial starts from it.
class TmpfsFlashTest : public InstallTest {
protected:
    // A tmpfs of its own: at flash/ so that it really fills up, at ram/ so that /ram is another device as on the
    // router and staging costs no disk work. Empty on success, else why not.
    std::string mountTmpfs(SandboxRoot& root, const std::string& relative, unsigned long bytes) {
        const std::string dir = root.hostPath(relative), options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::geteuid() != 0) return "mounting a tmpfs needs root";
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) return dir + ": " + std::strerror(errno);
        mounted_.push_back(dir);
        return "";
    }
    void TearDown() override {
        for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    }

    void mountFlashAndRam(unsigned long flashBytes, unsigned long ramBytes) {
        InstallTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (std::string why = mountTmpfs(box, "flash", flashBytes); !why.empty()) GTEST_SKIP() << why;
        if (std::string why = mountTmpfs(box, "ram", ramBytes); !why.empty()) GTEST_SKIP() << why;
        for (const char* dir : {"flash/var/pdb", "flash/boot", "flash/rw/pckg"}) ASSERT_TRUE(box.makeDirs(dir));
    }

    void saveFlash() {
        ASSERT_TRUE(emptyDirectory(saved_.hostPath("flash")));
        ASSERT_TRUE(copyContents(box.hostPath("flash"), saved_.hostPath("flash")));
    }

    // The saved flash, an empty /ram, and the uploads.
    void restore(const std::vector<UploadedFile>& uploads) {
        ASSERT_TRUE(emptyDirectory(box.hostPath("flash")) && emptyDirectory(box.hostPath("ram")));
        ASSERT_TRUE(copyContents(saved_.hostPath("flash"), box.hostPath("flash")));
        for (const auto& [name, image] : uploads) upload(name, image);
    }

    // Installs scenario.installed by a run of its own and keeps that flash.
    void installAndSave(const UpgradeScenario& scenario) {
        for (const auto& [name, image] : scenario.installed) upload(name, image);
        const RunResult install = upgradeRun();
        ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
        // webui's image went into the database
        ASSERT_TRUE(box.removeAll("flash/rw/pckg/ntp-6.1.vpa") && box.removeAll("flash/postlog"));
        ASSERT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
        saveFlash();
    }

    SandboxRoot saved_;
    std::vector<std::string> mounted_;
};

}  // namespace velmora
