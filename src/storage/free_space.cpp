#include "storage/free_space.h"

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

void release(SpaceAccount& account, const std::string& target) {
    struct stat st {};
    if (hasPrefix(target, account.path) && ::stat(target.c_str(), &st) == 0) {
        adjust(account, blocksFor(st, account.blockSize));
    }
}

void replace(SpaceAccount& account, const std::string& target, const std::string& source) {
    if (!hasPrefix(target, account.path)) {
        return;
    }
    struct stat sourceStat {};
    if (::stat(source.c_str(), &sourceStat) != 0) {
        release(account, target);
        return;
    }
    // The target's stat serves both the same-device test and the release:
    // a fresh install asks it once per file instead of twice.
    struct stat targetStat {};
    const bool targetExists = ::stat(target.c_str(), &targetStat) == 0;
    if (targetExists && targetStat.st_dev == sourceStat.st_dev) {
        return;  // a rename in place: no new blocks, none given back
    }
    adjust(account, -std::int64_t{blocksFor(sourceStat, account.blockSize)});
    if (targetExists) {
        adjust(account, blocksFor(targetStat, account.blockSize));  // the old target's blocks come back
    }
}

void apply(SpaceAccount& account, const std::string& target, const FileOp& op) {
    switch (op.kind) {
    case FileOpKind::Unlink:
        release(account, target);
        break;
    case FileOpKind::Move:
    case FileOpKind::MoveTemp:
        replace(account, target, op.source);
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
    for (const auto& [target, op] : changes.ops) {
        apply(boot, target, op);
        apply(flash, target, op);
    }
    return flash.freeBlocks > kReserveBlocks && boot.freeBlocks > kReserveBlocks;
}

}  // namespace velmora
