#pragma once
// Shared by the end-to-end tests: packages made in-process by the builder the tool uses and signed with the
// development key; the staged-file and tree helpers that judge a run; and, for the fault tests (crash sweep,
// killed runs, full flash), an upgrade to break on a flash and /ram of their own (tmpfs).

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "package_builder.h"
#include "support/dev_key.h"
#include "support/sandbox.h"
#include "version_text.h"

namespace velmora {

inline Version ver(std::string_view text) { return parseVersionText(text).value_or(0); }

inline PackageRecipe packageRecipe(const std::string& name, std::string_view version, std::vector<FileEntry> files = {})
{
    PackageRecipe recipe;
    recipe.name = name, recipe.version = ver(version), recipe.buildTime = 1300000000, recipe.files = std::move(files);
    return recipe;
}

inline std::string makePackage(const PackageRecipe& recipe) { return buildPackage(recipe, &developmentKey()); }

// A staged file of the change set: "tmp" and six more characters.
inline bool isTemporaryName(std::string_view relative) {
    std::string_view base = relative.substr(relative.rfind('/') + 1);
    return base.size() == 9 && base.substr(0, 3) == "tmp";
}

inline std::vector<std::string> temporaryFiles(const TreeSnapshot& tree) {
    std::vector<std::string> found;
    for (const auto& [path, entry] : tree) if (isTemporaryName(path)) found.push_back(path);
    return found;
}

// Without staged files and the paths given.
inline TreeSnapshot withoutTemporaries(TreeSnapshot tree, const std::vector<std::string>& also = {}) {
    std::erase_if(tree, [](const auto& entry) { return isTemporaryName(entry.first); });
    for (const std::string& path : also) tree.erase(path);
    return tree;
}

// Bytes zlib cannot shrink: a package is as big as what it carries.
inline std::string incompressible(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed | 1u;
    for (char& byte : bytes) state ^= state << 13, state ^= state >> 17, state ^= state << 5, byte = char(state);
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
        PackageRecipe recipe = packageRecipe(name, version, {regularFile("/etc/" + name + ".conf", conf)});
        recipe.files.insert(recipe.files.begin(), regularFile("/bin/" + name, incompressible(size, seed), 0755));
        if (!extra.empty()) recipe.files.push_back(regularFile("/usr/share/ntp/" + extra + ".txt", extra + "\n"));
        recipe.keepImage = keep;
        return UploadedFile{name + "-" + version + ".vpa", makePackage(recipe)};
    };
    PackageRecipe dns = packageRecipe("dns", "1.0", {regularFile("/bin/dns", incompressible(scale, 3), 0755),
                                                     regularFile("/etc/dns.conf", "zones /usr/share/dns\n")});
    dns.deps = {{"ntp", ver("6.2"), 0, 0}};
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

// A sandbox root whose flash and /ram are tmpfs mounts, the installed flash kept aside so that every trial
// starts from it.
class TmpfsFlashTest : public SandboxTest {
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
        SandboxTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_FALSE(box.path().empty());
        if (std::string why = mountTmpfs(box, "flash", flashBytes); !why.empty()) GTEST_SKIP() << why;
        if (std::string why = mountTmpfs(box, "ram", ramBytes); !why.empty()) GTEST_SKIP() << why;
        for (const char* dir : {"flash/var/pdb", "flash/boot", "flash/rw/pckg"}) ASSERT_TRUE(box.makeDirs(dir));
    }

    RunResult upgradeRun() { return box.runInstaller({"-r", box.path()}); }
    void upload(const std::string& name, const std::string& image) {
        ASSERT_TRUE(box.writeFile("flash/rw/pckg/" + name, image));
    }

    // The saved flash, an empty /ram, and the uploads.
    void restore(const std::vector<UploadedFile>& uploads) {
        ASSERT_TRUE(emptyDirectory(box.hostPath("flash")) && emptyDirectory(box.hostPath("ram")));
        ASSERT_TRUE(copyContents(saved_.hostPath("flash"), box.hostPath("flash")));
        for (const auto& [name, image] : uploads) upload(name, image);
    }

    // Installs what is given by a run of its own (the images are then taken away) and keeps that flash.
    void installAndSave(const std::vector<UploadedFile>& installed) {
        for (const auto& [name, image] : installed) upload(name, image);
        const RunResult install = upgradeRun();
        ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
        ASSERT_TRUE(emptyDirectory(box.hostPath("flash/rw/pckg")) && box.removeAll("flash/postlog"));
        ASSERT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
        ASSERT_TRUE(emptyDirectory(saved_.hostPath("flash")));
        ASSERT_TRUE(copyContents(box.hostPath("flash"), saved_.hostPath("flash")));
    }

    SandboxRoot box, saved_;
    std::vector<std::string> mounted_;
};

}  // namespace velmora
