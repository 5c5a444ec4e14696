#include "storage/free_space.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <limits>
#include <sys/stat.h>
#include <sys/statfs.h>

#include "storage/change_set.h"
#include "storage/commit_journal.h"
#include "storage/file_helpers.h"
#include "storage/run_records.h"

namespace velmora {

namespace {

// An account must keep more than this many blocks free after the changes.
constexpr std::int32_t kReserveBlocks = 16;

std::uint32_t blocksFor(const struct stat& st, std::uint32_t blockSize) {
    // Flash files are far below 4 GiB; the rule works in 32 bits.
    auto size = static_cast<std::uint32_t>(st.st_size);
    return (size + blockSize - 1) / blockSize;
}

// Adjusts freeBlocks without wrapping: a huge file pins it at the limit.
void adjust(SpaceAccount& account, std::int64_t delta) {
    std::int64_t value = std::int64_t{account.freeBlocks} + delta;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        value = std::numeric_limits<std::int32_t>::max();
    } else if (value < std::numeric_limits<std::int32_t>::min()) {
        value = std::numeric_limits<std::int32_t>::min();
    }
    account.freeBlocks = static_cast<std::int32_t>(value);
}

// Answers whether targets exist, asking the file system once per missing
// directory instead of once per file: the changes come in path order, so a
// new directory's files follow each other, and nothing below a missing
// directory can exist.
class TargetProbe {
public:
    // True with *st filled when target exists.
    bool exists(const std::string& target, struct stat* st) {
        if (!missing_.empty() && hasPrefix(target, missing_) && target.size() > missing_.size() &&
            target[missing_.size()] == '/')
            return false;
        if (::stat(target.c_str(), st) == 0) return true;
        if (errno == ENOENT) noteMissingAncestors(target);
        return false;
    }

    // The device a new target will be on: that of its nearest existing
    // directory, asked once per directory.
    bool deviceBelow(const std::string& target, dev_t& device) {
        std::string dir = parentDir(target);
        if (dir != belowDir_) {
            belowDir_ = dir;
            existing_ = existingDirectory(std::move(dir));
        }
        return !existing_.empty() && devices_.of(existing_, device);
    }

private:
    std::string belowDir_;
    std::string existing_;
    DirectoryDevice devices_;

    // Finds the outermost missing directory above target, if any; a parent
    // known to exist is not asked again.
    void noteMissingAncestors(const std::string& target) {
        std::string dir = parentDir(target);
        if (dir == present_) return;
        struct stat st {};
        std::string outermost;
        while (dir.size() > 1 && dir != present_ && ::stat(dir.c_str(), &st) != 0 && errno == ENOENT) {
            outermost = dir;
            dir = parentDir(dir);
        }
        if (outermost.empty()) {
            present_ = parentDir(target);
        } else {
            missing_ = std::move(outermost);
        }
    }

    std::string missing_;
    std::string present_;
};

void release(SpaceAccount& account, const std::string& target) {
    struct stat st {};
    if (hasPrefix(target, account.path) && ::stat(target.c_str(), &st) == 0) {
        adjust(account, blocksFor(st, account.blockSize));
    }
}

// A file already on the account's file system costs nothing: its blocks
// are taken already, and a rename takes no more. A file from another file
// system is copied beside its target before the old target goes, so its
// blocks are needed while the old ones are still in use.
void replace(SpaceAccount& account, const std::string& target, const FileOp& op, TargetProbe& probe,
             DirectoryDevice& sources) {
    if (!hasPrefix(target, account.path)) {
        return;
    }
    struct stat targetStat {};
    const bool targetExists = probe.exists(target, &targetStat);
    struct stat sourceStat {};
    dev_t sourceDevice = 0;
    if (op.stagedSize >= 0 && sources.of(parentDir(op.source), sourceDevice)) {
        sourceStat.st_size = static_cast<off_t>(op.stagedSize);
    } else if (::stat(op.source.c_str(), &sourceStat) == 0) {
        sourceDevice = sourceStat.st_dev;
    } else {
        if (targetExists) {
            adjust(account, blocksFor(targetStat, account.blockSize));
        }
        return;
    }
    dev_t targetDevice = targetStat.st_dev;
    if ((targetExists || probe.deviceBelow(target, targetDevice)) && targetDevice == sourceDevice) {
        return;
    }
    const std::uint32_t blocks = blocksFor(sourceStat, account.blockSize);
    adjust(account, -std::int64_t{blocks});
    account.copyBlocks += blocks;
    if (targetExists) {
        adjust(account, blocksFor(targetStat, account.blockSize));  // the old target's blocks come back
    }
}

void apply(SpaceAccount& account, const ChangeSet& changes, const std::string& target, const FileOp& op,
           TargetProbe& probe, DirectoryDevice& sources) {
    switch (op.kind) {
    case FileOpKind::Unlink: {
        // The same file under another spelling that a new file replaces:
        // the replacement gives its blocks back, once.
        const std::string path = collapsedPath(target);
        if (path != target) {
            auto other = changes.ops.find(path);
            if (other != changes.ops.end() && other->second.kind != FileOpKind::Unlink) break;
        }
        release(account, target);
        break;
    }
    case FileOpKind::Move:
    case FileOpKind::MoveTemp:
        replace(account, target, op, probe, sources);
        break;
    default:
        break;
    }
}

// While the commit runs, before anything is removed: the free blocks less
// every copy from another file system and the journal. A commit that copies
// nothing in only gives blocks back, whatever it removes.
bool roomWhileCommitting(const SpaceAccount& account, std::int64_t journalBlocks) {
    const std::int64_t left = account.initialFree - account.copyBlocks - journalBlocks;
    return account.copyBlocks == 0 ? left >= 0 : left > kReserveBlocks;
}

}  // namespace

SpaceAccount openAccount(const std::string& mountPoint) {
    SpaceAccount account;
    account.path = mountPoint;
    struct statfs fs {};
    if (::statfs(mountPoint.c_str(), &fs) != 0 || fs.f_bsize <= 0) {
        return account;
    }
    account.blockSize = static_cast<std::uint32_t>(fs.f_bsize);
    // A large host file system can report more free blocks than fit.
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    std::uint64_t freeBlocks = fs.f_bfree;
    account.freeBlocks = static_cast<std::int32_t>(freeBlocks > kMax ? kMax : freeBlocks);
    account.initialFree = account.freeBlocks;
    return account;
}

bool checkSpace(const ChangeSet& changes) {
    return checkSpaceAt(changes, "/flash", "/flash/boot");
}

bool checkSpaceAt(const ChangeSet& changes, const std::string& flashMount, const std::string& bootMount) {
    SpaceAccount boot = openAccount(bootMount);
    SpaceAccount flash = openAccount(flashMount);
    TargetProbe bootProbe;
    TargetProbe flashProbe;
    DirectoryDevice sources;
    for (const auto& [target, op] : changes.ops) {
        apply(boot, changes, target, op, bootProbe, sources);
        apply(flash, changes, target, op, flashProbe, sources);
    }
    // The journal of the commit sits in the package database.
    auto journalBlocks = [&changes](const SpaceAccount& account) -> std::int64_t {
        if (recordDir().empty() || !hasPrefix(recordDir(), account.path)) return 0;
        return static_cast<std::int64_t>((journalSize(changes) + account.blockSize - 1) / account.blockSize);
    };
    return flash.freeBlocks > kReserveBlocks && boot.freeBlocks > kReserveBlocks &&
           roomWhileCommitting(flash, journalBlocks(flash)) && roomWhileCommitting(boot, journalBlocks(boot));
}

}  // namespace velmora
