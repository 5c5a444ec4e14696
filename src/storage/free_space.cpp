#include "storage/free_space.h"

#include <cerrno>
#include <cstdint>
#include <limits>
#include <sys/stat.h>
#include <sys/statfs.h>

#include "storage/change_set.h"
#include "storage/file_helpers.h"

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

private:
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

void replace(SpaceAccount& account, const std::string& target, const FileOp& op, TargetProbe& probe) {
    if (!hasPrefix(target, account.path)) {
        return;
    }
    // The target's stat serves both the same-device test and the release:
    // a fresh install asks it once per file instead of twice, and not at
    // all below a new directory.
    struct stat targetStat {};
    const bool targetExists = probe.exists(target, &targetStat);
    struct stat sourceStat {};
    if (!targetExists && op.stagedSize >= 0) {
        // A file staged by this run: its size is known and, with no target,
        // its device does not matter.
        sourceStat.st_size = static_cast<off_t>(op.stagedSize);
    } else if (::stat(op.source.c_str(), &sourceStat) != 0) {
        if (targetExists) {
            adjust(account, blocksFor(targetStat, account.blockSize));
        }
        return;
    }
    if (targetExists && targetStat.st_dev == sourceStat.st_dev) {
        return;  // a rename in place: no new blocks, none given back
    }
    adjust(account, -std::int64_t{blocksFor(sourceStat, account.blockSize)});
    if (targetExists) {
        adjust(account, blocksFor(targetStat, account.blockSize));  // the old target's blocks come back
    }
}

void apply(SpaceAccount& account, const std::string& target, const FileOp& op, TargetProbe& probe) {
    switch (op.kind) {
    case FileOpKind::Unlink:
        release(account, target);
        break;
    case FileOpKind::Move:
    case FileOpKind::MoveTemp:
        replace(account, target, op, probe);
        break;
    default:
        break;
    }
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
    for (const auto& [target, op] : changes.ops) {
        apply(boot, target, op, bootProbe);
        apply(flash, target, op, flashProbe);
    }
    return flash.freeBlocks > kReserveBlocks && boot.freeBlocks > kReserveBlocks;
}

}  // namespace velmora
