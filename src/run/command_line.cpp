#include "run/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <fstream>
#include <istream>
#include <string>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "planning/apply_actions.h"
#include "pdb/package_db.h"
#include "planning/install_flags.h"
#include "run/installer.h"
#include "run/listing.h"
#include "run/message_log.h"
#include "run/repository.h"
#include "run/stream_install.h"
#include "run/upgrade.h"
#include "storage/change_set.h"
#include "storage/commit_journal.h"
#include "storage/file_helpers.h"
#include "storage/free_space.h"
#include "storage/run_records.h"

namespace velmora {
namespace {

constexpr const char* kUsage = "usage: installer [-q] [-r <root>] [-]";
constexpr const char* kStreamImageMoved = "/flash/var/pdb/image";
constexpr const char* kBootImagePath = "/flash/bootimage";
constexpr const char* kChangedMarker = "/flash/PCKGS_CHANGED";
// stavel 3.22 in its final release is the first core version that
// packages kept by --cleanup must require.
constexpr Version kCleanupMinimumCore = 0x031665FF;

// A run that changes packages first finishes the commit a stopped run left
// half done, then deletes what a stopped run staged and never used.
void recoverStoppedRun() {
    removeUnfinishedRecords();
    finishInterruptedCommit();
    if (hasStagingRecords()) removeStagedLeftovers(installedFilePaths());
}

// Commits a run's own changes. A manifest still waiting was planned against
// the files this commit replaces: it goes, and so do its staged files.
bool commitRun(ChangeSet& changes) {
    const bool staleManifest = !isEmpty(changes) && manifestPending();
    const bool ok = commit(changes, "", false);
    if (staleManifest) {
        unlink(kManifestPath);
        removeStagedLeftovers(installedFilePaths());
    }
    return ok;
}

int commitMode() {
    recoverStoppedRun();
    ChangeSet changes;
    loadManifest(changes, kManifestPath);
    std::fputs("finishing install... ", stdout);
    std::fflush(stdout);
    bool ok = commit(changes, "", true);
    // A commit that stopped before it began keeps the manifest's staged
    // files for another try; they stay registered.
    dropStagingRegister(changes.commitBegun);
    dropDowngradePermission();
    dropSchedule();
    std::fputs("\b \n", stdout);
    std::fflush(stdout);
    return ok ? 0 : 1;
}

int cancelMode() {
    recoverStoppedRun();
    ChangeSet changes;
    loadManifest(changes, kManifestPath);
    cancel(changes);
    unlink(kManifestPath);
    dropStagingRegister(true);
    dropDowngradePermission();
    dropSchedule();
    return 0;
}

bool keptByCleanup(const PackageRecord& record) {
    if (record.name == "quillon" || record.name == "drive-kits" || record.name == "stavel" ||
        record.isBundle) {
        return true;
    }
    for (const Dependency& dep : record.deps) {
        if (dep.name == "stavel" && dep.min > kCleanupMinimumCore) return true;
    }
    return false;
}

int cleanupMode(Installer& installer) {
    ChangeSet changes;
    applyActions(installer, changes, 0);
    for (auto& record : installer.packages) {
        if (!keptByCleanup(*record)) record->action = Uninstall;
    }
    applyActions(installer, changes, 1);
    const int result = commitRun(changes) ? 0 : 1;
    dropStagingRegister(false);
    dropSchedule();
    return result;
}

// A staged file in the database directory for the copy of the stream, its
// descriptor in fd; empty when there is no database directory or no file
// could be made.
std::string createStreamCopy(int& fd) {
    const std::string dir = parentDir(kStreamImageMoved);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stagedNameIn(dir);
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return name;
        if (errno != EEXIST) break;
    }
    return "";
}

int streamMode(Installer& installer, InstallFlags flags) {
    ChangeSet changes;
    applyActions(installer, changes, 1);

    // The copy is written under a staged name and takes its place whole: a
    // stopped run leaves the earlier copy as it was and no part of this one.
    int copyFd = -1;
    const std::string copyPath = createStreamCopy(copyFd);
    if (copyPath.empty()) {
        std::fputs("ERROR: could not open image\n", stdout);
        std::fflush(stdout);
        // The scheduled actions staged above are dropped with their files.
        cancel(changes);
        dropStagingRegister(false);
        dropSchedule();
        return -1;
    }
    __gnu_cxx::stdio_filebuf<char> image(copyFd, std::ios::out | std::ios::binary, 65536);
    __gnu_cxx::stdio_filebuf<char> inputBuffer(STDIN_FILENO, std::ios::in | std::ios::binary, 65536);
    std::istream input(&inputBuffer);
    UserStates userStates;
    std::string imageDir;
    bool bootImage = false;
    int result = installStream(installer, changes, input, flags | AllowUpgrade, userStates, &image,
                               &imageDir, &bootImage);
    if (result == 0 && !imageDir.empty()) {
        // A package passed over as installed was read no further than its
        // header; the rest of the stream completes the copy it keeps.
        char rest[16384];
        while (input.read(rest, sizeof rest) || input.gcount() > 0) image.sputn(rest, input.gcount());
    }
    image.close();

    if (result == 0 && !imageDir.empty()) {
        std::string target = imageDir + "image";
        if (bootImage) {
            scheduleMove(changes, copyPath, kBootImagePath);
            scheduleLink(changes, kBootImagePath, target);
        } else {
            scheduleMove(changes, copyPath, target);
        }
    } else {
        ::rename(copyPath.c_str(), kStreamImageMoved);
    }
    if (result == 0) {
        if (!commitRun(changes)) result = 1;
    } else {
        cancel(changes);
    }
    dropStagingRegister(false);
    dropSchedule();
    writePostlog();
    return result;
}

int upgradeMode(Installer& installer, InstallFlags flags, bool commitAtOnce) {
    int result = 0;
    flags = takeDowngradePermission(flags);
    ChangeSet changes;
    applyActions(installer, changes, 1);
    flags |= AllowUpgrade;
    upgrade(installer, changes, flags);

    if (!(flags & Reinstall) && !checkSpace(changes)) {
        reportError("not enough space for upgrade");
        cancel(changes);
        result = 28;
    }
    bool manifestWritten = false;
    if (!isEmpty(changes)) {
        std::ofstream marker;
        openReplacement(marker, changes, kChangedMarker, 1, 0);
        marker.close();
        manifestWritten = !commitAtOnce;
        if (commitAtOnce) {
            if (!commitRun(changes)) result = 1;
        } else if (!writeManifest(changes, kManifestPath)) {
            // An older manifest left in place would carry out another run's
            // changes at the next --commit.
            const int error = errno;
            cancel(changes);
            unlink(kManifestPath);
            removeStagedLeftovers(installedFilePaths());
            reportError("could not write %s: %s", kManifestPath, std::strerror(error));
            manifestWritten = false;
            result = 1;
        }
    }
    dropStagingRegister(false);
    // A manifest left for --commit still carries the permission's effect.
    if (!manifestWritten) {
        dropDowngradePermission();
        dropSchedule();
    }
    writePostlog();
    return result;
}

}  // namespace

int runInstaller(int argc, char** argv) {
    Installer& installer = Installer::instance();
    setRecordDir(dbPaths().dbRoot);
    bool cleanup = false;
    bool stream = false;
    bool quiet = false;
    bool listing = false;
    bool commitAtOnce = true;
    InstallFlags flags = 0;
    std::string root;

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--cleanup") {
            cleanup = true;
            break;
        }
        if (arg == "-") {
            stream = true;
            break;
        }
        if (arg == "--commit") return commitMode();
        if (arg == "--cancel") return cancelMode();
        if (arg == "--safe") {
            commitAtOnce = false;
        } else if (arg == "-r" && i + 1 < argc) {
            root = argv[++i];
        } else if (arg == "-q") {
            quiet = true;
        } else if (arg == "-down") {
            flags |= AllowDowngrade;
        } else if (arg == "--reinstall") {
            std::fputs("\nResuming upgrade...\n", stdout);
            std::fflush(stdout);
            flags |= Reinstall;
        } else if (arg == "-b" || arg == "--force" || arg == "--noupgrade" || arg == "-i") {
            // accepted for compatibility; they change nothing
        } else if (arg == "--show") {
            listing = true;
        } else {
            std::printf("%s\n", kUsage);
            std::fflush(stdout);
            return 0;
        }
    }

    if (!root.empty() && chroot(root.c_str()) != 0) {
        // Going on in the current root would act on the live system when
        // the user named another one.
        std::perror("chroot");
        return 1;
    }
    if (chdir("/") != 0) std::perror("chdir");

    if (!listing) {
        recoverStoppedRun();
        keepSchedule();
    }
    const char* archVariable = std::getenv("arch");
    loadRepository(installer, quiet, archVariable ? archVariable : "i386");

    if (listing) {
        listPackages(installer);
        return 0;
    }
    if (cleanup) return cleanupMode(installer);
    if (stream) return streamMode(installer, flags);
    return upgradeMode(installer, flags, commitAtOnce);
}

}  // namespace velmora
