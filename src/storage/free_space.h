#pragma once
// The free-space rule: do the pending changes fit on the flash?

#include <cstdint>
#include <string>

namespace velmora {

struct ChangeSet;

struct SpaceAccount {
    std::string path;             // mount point, and the prefix of the paths that count
    std::uint32_t blockSize = 1;  // 1 when statfs fails
    std::int32_t freeBlocks = 0;  // may go negative
    std::int32_t initialFree = 0;     // free blocks before any change
    std::int64_t copyBlocks = 0;      // blocks copied in from other file systems
};

SpaceAccount openAccount(const std::string& mountPoint);

// True when "/flash" and "/flash/boot" each keep more than 16 free blocks.
bool checkSpace(const ChangeSet& changes);

// The same rule over other mount points (tests use their own mounts).
bool checkSpaceAt(const ChangeSet& changes, const std::string& flashMount, const std::string& bootMount);

}  // namespace velmora
