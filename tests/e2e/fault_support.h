#pragma once
// Shared by the fault tests (full flash, killed runs): an installed router
// and an upload to upgrade it with, a flash that is a tmpfs of its own, and
// the tree operations that put a sandbox back into one known state between
// trials.

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "e2e/install_support.h"

namespace velmora {

// Bytes that zlib cannot shrink, so that a package file is about as big as
// what it carries. The same for the same seed.
inline std::string incompressible(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed | 1u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state & 0xFF);
    }
    return bytes;
}

// A positive number from the environment, or fallback.
inline unsigned long envNumber(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    return (*end == '\0' && value > 0) ? value : fallback;
}

struct UploadedFile {
    std::string name;  // in flash/rw/pckg/
    std::string image;
};

// The installed system and the upload that upgrades it:
//   installed: webui 6.1 (keeps its image), ntp 6.1;
//   uploaded:  webui 6.2 (keeps its image), ntp 6.2 (one file changed, one
//              gone, one new), dns 1.0 (new, needs ntp) with `zoneFiles`
//              empty files, whose "files" list then outgrows what its
//              database file is staged for.
// `scale` is the size of the big files; every byte of them is incompressible.
struct UpgradeScenario {
    std::vector<UploadedFile> installed;
    std::vector<UploadedFile> uploads;
};

inline UpgradeScenario upgradeScenario(std::size_t scale, int zoneFiles) {
    auto withImage = [](PackageRecipe recipe) {
        recipe.keepImage = true;
        return recipe;
    };
    UpgradeScenario scenario;
    scenario.installed = {
        {"webui-6.1.vpa", makePackage(withImage(packageRecipe(
                              "webui", "6.1",
                              {regularFile("/bin/webui", incompressible(scale, 1), 0755),
                               regularFile("/etc/webui.conf", "port 80\n")})))},
        {"ntp-6.1.vpa", makePackage(packageRecipe("ntp", "6.1",
                                                {regularFile("/bin/ntp", incompressible(scale, 2), 0755),
                                                 regularFile("/etc/ntp.conf", "server a\n"),
                                                 regularFile("/usr/share/ntp/old.txt", "old\n")}))},
    };

    PackageRecipe dns = packageRecipe("dns", "1.0",
                                  {regularFile("/bin/dns", incompressible(scale, 3), 0755),
                                   regularFile("/etc/dns.conf", "zones /usr/share/dns\n")});
    dns.deps = {needs("ntp", "6.2")};
    for (int i = 0; i < zoneFiles; ++i) {
        char path[64];
        std::snprintf(path, sizeof path, "/usr/share/dns/zones/z%04d.db", i);
        dns.files.push_back(regularFile(path, ""));
    }
    scenario.uploads = {
        {"webui-6.2.vpa", makePackage(withImage(packageRecipe(
                              "webui", "6.2",
                              {regularFile("/bin/webui", incompressible(scale, 4), 0755),
                               regularFile("/etc/webui.conf", "port 8080\n")})))},
        {"ntp-6.2.vpa", makePackage(packageRecipe("ntp", "6.2",
                                                {regularFile("/bin/ntp", incompressible(scale * 2, 5), 0755),
                                                 regularFile("/etc/ntp.conf", "server b\n"),
                                                 regularFile("/usr/share/ntp/new.txt", "new\n")}))},
        {"dns-1.0.vpa", makePackage(dns)},
    };
    return scenario;
}

// A tree without the change set's temporary files and without the given
// paths.
inline TreeSnapshot withoutTemporaries(TreeSnapshot tree, const std::vector<std::string>& also = {}) {
    for (const std::string& path : temporaryFiles(tree)) tree.erase(path);
    for (const std::string& path : also) tree.erase(path);
    return tree;
}

// Free blocks of the file system that holds hostPath (0 when unknown).
inline std::uint64_t freeBlocksAt(const std::string& hostPath) {
    struct statfs info {};
    if (::statfs(hostPath.c_str(), &info) != 0) return 0;
    return static_cast<std::uint64_t>(info.f_bfree);
}

inline std::uint64_t blockSizeAt(const std::string& hostPath) {
    struct statfs info {};
    if (::statfs(hostPath.c_str(), &info) != 0) return 0;
    return static_cast<std::uint64_t>(info.f_bsize);
}

// Removes everything inside hostDir, keeping the directory itself (it may
// be a mount point).
inline bool emptyDirectory(const std::string& hostDir) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(hostDir, error)) {
        std::filesystem::remove_all(entry.path(), error);
        if (error) return false;
    }
    return !error;
}

// Copies the contents of one directory into another, links as links and
// permission bits kept.
inline bool copyContents(const std::string& fromDir, const std::string& toDir) {
    std::error_code error;
    std::filesystem::copy(fromDir, toDir,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
                          error);
    return !error;
}

// A tmpfs of its own at a directory of the sandbox: at flash/, so that the
// flash can really fill up; at ram/, so that /ram is another file system as
// on the router, and so that the many small files a run stages there cost
// no disk work. Needs root.
class TmpfsMount {
public:
    TmpfsMount() = default;
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    ~TmpfsMount() {
        if (!mounted_.empty() && ::umount(mounted_.c_str()) != 0) ::umount2(mounted_.c_str(), MNT_DETACH);
    }

    // Empty string on success, otherwise why the tmpfs could not be had.
    // The mount hides what was in the directory.
    std::string mount(SandboxRoot& box, const std::string& relative, unsigned long bytes) {
        if (::geteuid() != 0) return "mounting a tmpfs needs root";
        const std::string dir = box.hostPath(relative);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            return "cannot mount a tmpfs at " + dir + ": " + std::strerror(errno);
        }
        mounted_ = dir;
        return "";
    }

private:
    std::string mounted_;
};

// An install test whose flash and /ram are tmpfs mounts of their own, with
// the installed flash kept aside so that every trial starts from it.
class TmpfsFlashTest : public InstallTest {
protected:
    // From SetUp, after InstallTest::SetUp; skips the test without root.
    void mountFlashAndRam(unsigned long flashBytes, unsigned long ramBytes) {
        if (std::string why = flash_.mount(box, "flash", flashBytes); !why.empty()) GTEST_SKIP() << why;
        if (std::string why = ram_.mount(box, "ram", ramBytes); !why.empty()) GTEST_SKIP() << why;
        // The mount hides what the sandbox laid out under flash/.
        ASSERT_TRUE(box.makeDirs("flash/var/pdb"));
        ASSERT_TRUE(box.makeDirs("flash/boot"));
        ASSERT_TRUE(box.makeDirs("flash/rw/pckg"));
    }

    // Keeps the flash as it is now for restore.
    void saveFlash() {
        ASSERT_TRUE(emptyDirectory(saved_.hostPath("flash")));
        ASSERT_TRUE(copyContents(box.hostPath("flash"), saved_.hostPath("flash")));
    }

    // The saved flash, an empty /ram, and the uploads on the flash.
    void restore(const std::vector<UploadedFile>& uploads) {
        ASSERT_TRUE(emptyDirectory(box.hostPath("flash")));
        ASSERT_TRUE(emptyDirectory(box.hostPath("ram")));
        ASSERT_TRUE(copyContents(saved_.hostPath("flash"), box.hostPath("flash")));
        for (const UploadedFile& file : uploads) upload(file.name, file.image);
    }

    TmpfsMount flash_;
    TmpfsMount ram_;
    SandboxRoot saved_;
};

}  // namespace velmora
