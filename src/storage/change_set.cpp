#include "storage/change_set.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "storage/commit_journal.h"
#include "storage/file_helpers.h"
#include "storage/run_records.h"

namespace velmora {

namespace {

// Room for need bytes among freeBlocks blocks of blockSize bytes, that is
// need < blockSize * freeBlocks, worked out without a product that could
// overflow on a large host file system.
bool hasRoom(std::uint64_t need, std::uint64_t blockSize, std::uint64_t freeBlocks) {
    if (blockSize == 0) {
        return false;
    }
    return need / blockSize < freeBlocks;
}

// The nearest existing ancestor of a directory: statfs answers for it. A
// package's files come directory by directory, and a new directory's files
// would each walk up the same missing directories again; the answer for the
// last directory asked is kept. Nothing here makes directories before the
// commit, so the answer holds while the files of one directory come.
struct AncestorCache {
    std::string dir;
    std::string existing;
};

AncestorCache& ancestorCache() {
    static AncestorCache cache;
    return cache;
}

bool removedByThisRun(const ChangeSet& changes, const std::string& path) {
    const std::string wanted = collapsedPath(path);
    for (const auto& [target, op] : changes.ops) {
        if (op.kind == FileOpKind::Unlink && collapsedPath(target) == wanted) return true;
    }
    return false;
}

std::string chooseTempDir(const ChangeSet& changes, const std::string& target, std::uint32_t sizeHint) {
    std::string tempDir = "/ram";
    if (sizeHint == 0) {
        return tempDir;
    }
    std::uint64_t need = std::uint64_t{sizeHint} + sizeHint / 10;
    std::string dir = parentDir(target);
    AncestorCache& cache = ancestorCache();
    struct statfs fs {};
    if (dir == cache.dir && ::statfs(cache.existing.c_str(), &fs) == 0) {
        return hasRoom(need, static_cast<std::uint64_t>(fs.f_bsize), fs.f_bfree) ? cache.existing : tempDir;
    }
    cache.dir = dir;
    cache.existing.clear();
    for (;;) {
        if (::statfs(dir.c_str(), &fs) == 0) {
            // A file this run removes to make room for a directory is no
            // place for a staged file; the directory above it is.
            struct stat st {};
            if (::stat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && removedByThisRun(changes, dir)) {
                dir = parentDir(dir);
                continue;
            }
            if (hasRoom(need, static_cast<std::uint64_t>(fs.f_bsize), fs.f_bfree)) {
                tempDir = dir;
            }
            cache.existing = std::move(dir);
            break;
        }
        if (dir == "/" || dir == ".") {
            break;
        }
        dir = parentDir(dir);
    }
    return tempDir;
}


std::vector<std::string> splitAtSpaces(const std::string& line) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (;;) {
        std::size_t space = line.find(' ', start);
        if (space == std::string::npos) {
            words.push_back(line.substr(start));
            return words;
        }
        words.push_back(line.substr(start, space - start));
        start = space + 1;
    }
}

}  // namespace

void setOp(ChangeSet& changes, const std::string& target, FileOpKind kind, const std::string& source) {
    auto it = changes.ops.find(target);
    if (it == changes.ops.end()) {
        changes.ops.emplace(target, FileOp{kind, source});
        return;
    }
    if (it->second.kind == FileOpKind::MoveTemp) {
        ::unlink(it->second.source.c_str());
    }
    it->second.kind = kind;
    it->second.source = source;
    it->second.stagedSize = -1;
}

void scheduleRemove(ChangeSet& changes, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        setOp(changes, path, FileOpKind::Unlink, "");
    } else {
        // Nothing there to remove; forget whatever was planned for it. A
        // staged file of ours would never be moved now: delete it.
        auto it = changes.ops.find(path);
        if (it == changes.ops.end()) return;
        if (it->second.kind == FileOpKind::MoveTemp) {
            ::unlink(it->second.source.c_str());
        }
        changes.ops.erase(it);
    }
}

void scheduleLink(ChangeSet& changes, const std::string& linkText, const std::string& path) {
    setOp(changes, path, FileOpKind::Link, linkText);
}

void scheduleMove(ChangeSet& changes, const std::string& from, const std::string& to) {
    setOp(changes, to, FileOpKind::Move, from);
}

namespace {

// mkostemp beside the target (or in /ram), the mode set on the open file and
// the move into place recorded; -1 and nothing recorded when no file could
// be made.
int makeReplacement(ChangeSet& changes, const std::string& target, std::uint32_t sizeHint, mode_t mode,
                    std::string& name) {
    const std::string dir = chooseTempDir(changes, target, sizeHint);
    noteStagingDir(dir);
    name = dir + "/tmpXXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
    name = buffer.data();
    // A failed mkstemp records nothing: the name it left belongs to nobody
    // we know, and cancelling the run would delete it.
    if (fd < 0) {
        return -1;
    }
    if (mode != 0) {
        ::fchmod(fd, mode & 07777);
    }
    setOp(changes, target, FileOpKind::MoveTemp, name);
    return fd;
}

}  // namespace

int createReplacement(ChangeSet& changes, const std::string& target, std::uint32_t sizeHint, mode_t mode) {
    std::string name;
    const int fd = makeReplacement(changes, target, sizeHint, mode, name);
    if (fd >= 0) {
        changes.ops[target].stagedSize = sizeHint;
    }
    return fd;
}

void openReplacement(std::ofstream& stream, ChangeSet& changes, const std::string& target,
                     std::uint32_t sizeHint, mode_t mode) {
    std::string name;
    const int fd = makeReplacement(changes, target, sizeHint, mode, name);
    if (fd >= 0) {
        ::close(fd);
    }

    if (stream.is_open()) {
        stream.close();
    }
    stream.clear();
    if (fd < 0) {
        // No temporary file of our own: the writer must see a failed stream,
        // and opening the leftover name could create or truncate a stranger.
        stream.setstate(std::ios::failbit);
        return;
    }
    stream.open(name, std::ios::out | std::ios::trunc | std::ios::binary);
}

bool keepDirectory(ChangeSet& changes, const std::string& path) {
    auto it = changes.ops.find(path);
    if (it != changes.ops.end()) {
        if (it->second.kind != FileOpKind::Unlink) {
            return false;
        }
        changes.ops.erase(it);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return true;
    }
    return S_ISDIR(st.st_mode);
}

bool isEmpty(const ChangeSet& changes) {
    return changes.ops.empty();
}

bool writeManifest(const ChangeSet& changes, const std::string& path) {
    // Written beside its place and renamed over it only when whole: a
    // manifest cut short (a full /ram, a kill) could end in a removal of a
    // directory's path and so delete every file in that directory at
    // --commit. A manifest that cannot be written whole is not written.
    const std::string partial = path + ".new";
    errno = 0;
    std::ofstream out(partial, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out.is_open()) {
        if (errno == 0) errno = EIO;
        return false;
    }
    for (const auto& [target, op] : changes.ops) {
        switch (op.kind) {
        case FileOpKind::Unlink:
            out << "U " << target << '\n';
            break;
        case FileOpKind::Link:
            out << "L " << target << ' ' << op.source << '\n';
            break;
        case FileOpKind::Move:
            out << "M " << target << ' ' << op.source << '\n';
            break;
        case FileOpKind::MoveTemp:
            // The fourth word marks a file this run staged, so that --cancel
            // deletes it; readers that stop at the third word commit the
            // line as a plain move.
            out << "M " << target << ' ' << op.source << " T\n";
            break;
        default:
            break;
        }
    }
    out.close();
    if (!out) {
        if (errno == 0) errno = EIO;
    } else if (::rename(partial.c_str(), path.c_str()) == 0) {
        return true;
    }
    const int error = errno;
    ::unlink(partial.c_str());
    errno = error;
    return false;
}

namespace {

// "tmp" and six more characters, as mkstemp makes them.
bool isTemporaryName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.size() - start == 9 && path.compare(start, 3, "tmp") == 0;
}

}  // namespace

bool loadManifest(ChangeSet& changes, const std::string& path) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        return false;
    }
    changes.fromManifest = true;
    std::string line;
    for (;;) {
        if (!std::getline(in, line)) {
            // End of the file (or a read error) before another line.
            return !changes.ops.empty();
        }
        if (line.empty()) {
            return true;
        }
        std::vector<std::string> words = splitAtSpaces(line);
        if (words.size() < 2) {
            return false;
        }
        const std::string& tag = words[0];
        // Loading deletes nothing: a later line for the same target simply
        // replaces the earlier one.
        if (tag == "U") {
            changes.ops[words[1]] = FileOp{FileOpKind::Unlink, ""};
        } else if (tag == "L" || tag == "M") {
            if (words.size() < 3) {
                return false;
            }
            FileOpKind kind = FileOpKind::Link;
            if (tag == "M") {
                // Only a file named the way this installer names its staged
                // files is deleted by --cancel.
                const bool staged = words.size() > 3 && words[3] == "T" && isTemporaryName(words[2]);
                kind = staged ? FileOpKind::MoveTemp : FileOpKind::Move;
            }
            changes.ops[words[1]] = FileOp{kind, words[2]};
        }
    }
}

bool commit(ChangeSet& changes, const std::string& firstKey, bool progress) {
    const bool ok = commitChanges(changes, firstKey, progress);
    // The move asked for first leaves the map once it has been made.
    auto first = firstKey.empty() ? changes.ops.end() : changes.ops.find(firstKey);
    if (first != changes.ops.end() && first->second.kind != FileOpKind::Unlink &&
        first->second.kind != FileOpKind::Link && ::access(first->second.source.c_str(), F_OK) != 0) {
        changes.ops.erase(first);
    }
    return ok;
}

void cancel(ChangeSet& changes) {
    for (const auto& [target, op] : changes.ops) {
        if (op.kind == FileOpKind::MoveTemp) {
            ::unlink(op.source.c_str());
        }
    }
    changes.ops.clear();
}

}  // namespace velmora
