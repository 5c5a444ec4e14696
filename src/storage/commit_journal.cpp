#include "storage/commit_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

#include "storage/change_set.h"
#include "storage/file_helpers.h"
#include "storage/run_records.h"

namespace velmora {
namespace {

constexpr const char* kJournalName = ".journal";
constexpr const char* kJournalMagic = "VJ1";
constexpr const char* kJournalEnd = "END";
// A journal far beyond any change set is damage, not a commit.
constexpr off_t kMaxJournal = 256L * 1024 * 1024;

std::string journalPath() { return recordDir() + kJournalName; }

bool isMove(FileOpKind kind) { return kind == FileOpKind::Move || kind == FileOpKind::MoveTemp; }

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Something placed strictly below dir (both collapsed).
bool placedBelow(const std::set<std::string>& placed, const std::string& dir) {
    const std::string prefix = dir == "/" ? dir : dir + "/";
    auto it = placed.lower_bound(prefix);
    return it != placed.end() && hasPrefix(*it, prefix);
}

// Where a path really is: its directory with symbolic links, "." and ".."
// resolved, then its own name. A removal may name through a linked
// directory the very file a move has just replaced under its real path.
class RealPaths {
public:
    std::string of(const std::string& path) {
        std::string collapsed = collapsedPath(path);
        const std::size_t slash = collapsed.rfind('/');
        if (slash == std::string::npos) return collapsed;
        const std::string dir = slash == 0 ? "/" : collapsed.substr(0, slash);
        auto it = dirs_.find(dir);
        if (it == dirs_.end()) {
            char* real = ::realpath(dir.c_str(), nullptr);
            it = dirs_.emplace(dir, real != nullptr ? std::string(real) : dir).first;
            std::free(real);
        }
        return (it->second == "/" ? std::string() : it->second) + collapsed.substr(slash);
    }

private:
    std::map<std::string, std::string> dirs_;
};

// The real paths of everything the steps placed, asked once the moves are
// done (their directories exist then).
std::set<std::string> placedTargets(const std::vector<CommitStep>& steps, RealPaths& real) {
    std::set<std::string> placed;
    for (const CommitStep& step : steps) {
        if (step.kind == StepKind::Place || step.kind == StepKind::Link) placed.insert(real.of(step.target));
    }
    return placed;
}

void syncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// A directory target goes with its plain entries, apart from those a new
// file replaces; anything that cannot be removed keeps the directory.
void removeTarget(const std::string& target, const std::set<std::string>& placed, RealPaths& real) {
    if (placed.count(real.of(target)) != 0) return;
    if (::unlink(target.c_str()) == 0 || errno != EISDIR) return;
    DIR* dir = ::opendir(target.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '\0' && entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        const std::string path = target + "/" + name;
        if (placed.count(real.of(path)) == 0) ::unlink(path.c_str());
    }
    ::rmdir(target.c_str());
}

// A new staged file in dir holding a copy of source: a target is only ever
// replaced whole, by a rename within its file system.
std::string copyInto(const std::string& dir, const std::string& source, bool progress) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stagedNameIn(dir);
        if (copyFileExclusive(source, name, progress)) return name;
        if (errno != EEXIST) return "";
    }
    return "";
}

bool placeLink(const std::string& target, const std::string& text, bool report) {
    const std::string dir = parentDir(target);
    makeDirs(dir);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = stagedNameIn(dir);
        if (::symlink(text.c_str(), name.c_str()) != 0) {
            if (errno == EEXIST) continue;
            break;
        }
        if (::rename(name.c_str(), target.c_str()) == 0) return true;
        const int error = errno;
        ::unlink(name.c_str());
        errno = error;
        break;
    }
    if (report) std::perror("symlink");
    return false;
}

// readyDir is the parent of the previous move when that move put a file
// there: a package's files in one directory follow each other and need
// their directory made only once.
bool placeFile(const CommitStep& step, bool progress, bool report, std::string& readyDir) {
    if (!report && !exists(step.source)) return true;  // done before the run stopped
    std::string parent = parentDir(step.target);
    if (parent != readyDir) makeDirs(parent);
    readyDir.clear();
    if (::rename(step.source.c_str(), step.target.c_str()) == 0) {
        readyDir = std::move(parent);
        return true;
    }
    if (errno == EXDEV) {
        // Another file system that the commit could not tell in advance: a
        // copy beside the target, renamed over it. The source stays.
        const std::string copy = copyInto(parentDir(step.target), step.source, progress);
        if (!copy.empty()) {
            ::sync();
            if (::rename(copy.c_str(), step.target.c_str()) == 0) {
                readyDir = std::move(parent);
                return true;
            }
            ::unlink(copy.c_str());
        }
        const int err = errno;
        if (report) std::fprintf(stderr, "copy: %s: %s\n", step.target.c_str(), std::strerror(err));
        return false;
    }
    if (report) std::perror("rename");
    return false;
}

// unplaced, when given, receives the moves that failed.
bool applySteps(const std::vector<CommitStep>& steps, bool progress, bool report,
                std::vector<const CommitStep*>* unplaced = nullptr) {
    RealPaths real;
    std::set<std::string> placed;
    bool placedKnown = false;
    bool ok = true;
    std::string readyDir;
    for (const CommitStep& step : steps) {
        switch (step.kind) {
        case StepKind::RemoveFirst:
            if (exists(step.target) && !isDirectory(step.target)) ::unlink(step.target.c_str());
            break;
        case StepKind::Place:
            if (!placeFile(step, progress, report, readyDir)) {
                ok = false;
                if (unplaced) unplaced->push_back(&step);
            }
            break;
        case StepKind::Link:
            ok = placeLink(step.target, step.source, report) && ok;
            break;
        case StepKind::Remove:
            if (!placedKnown) {
                placed = placedTargets(steps, real);
                placedKnown = true;
            }
            removeTarget(step.target, placed, real);
            break;
        }
    }
    return ok;
}

// Copies every file that another file system holds into the target's file
// system (its nearest existing directory), so that each step is a rename.
// Nothing is made live here: a copy that fails ends the commit before it
// has begun. copies receives the files made; spent the staged sources (in
// /ram) that a copy leaves without use.
bool bringAcross(std::vector<CommitStep>& steps, const ChangeSet& changes, bool progress,
                 std::vector<std::string>& copies, std::vector<std::string>& spent) {
    DirectoryDevice targetDirs;
    DirectoryDevice sourceDirs;
    std::string lastParent;
    std::string ancestor;
    for (CommitStep& step : steps) {
        if (step.kind != StepKind::Place) continue;
        const std::string parent = parentDir(step.target);
        if (parent != lastParent) {
            lastParent = parent;
            // Directories are made only once the journal is written.
            ancestor = existingDirectory(parent);
        }
        dev_t targetDevice = 0;
        dev_t sourceDevice = 0;
        if (!targetDirs.of(ancestor, targetDevice) || !sourceDirs.of(parentDir(step.source), sourceDevice) ||
            targetDevice == sourceDevice) {
            continue;
        }
        std::string copy = copyInto(ancestor, step.source, progress);
        if (copy.empty()) {
            const int err = errno;
            std::fprintf(stderr, "copy: %s: %s\n", step.target.c_str(), std::strerror(err));
            return false;
        }
        copies.push_back(copy);
        auto op = changes.ops.find(step.target);
        if (op != changes.ops.end() && op->second.kind == FileOpKind::MoveTemp && !changes.fromManifest) {
            spent.push_back(step.source);
        }
        step.source = std::move(copy);
    }
    return true;
}

// Written beside its place, flushed, and renamed over it: a journal is
// whole or absent.
bool writeJournal(const std::vector<CommitStep>& steps, bool fromManifest) {
    const std::string path = journalPath();
    const std::string partial = path + ".new";
    makeDirs(recordDir());
    const std::string text = journalText(steps, fromManifest);
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    const bool whole = done == text.size() && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!whole || ::rename(partial.c_str(), path.c_str()) != 0) {
        ::unlink(partial.c_str());
        errno = whole ? errno : error;
        return false;
    }
    syncDirectory(recordDir());
    return true;
}

}  // namespace

std::vector<CommitStep> planCommit(const ChangeSet& changes, const std::string& firstKey) {
    std::set<std::string> placed;
    for (const auto& [target, op] : changes.ops) {
        if (isMove(op.kind) || op.kind == FileOpKind::Link) placed.insert(collapsedPath(target));
    }
    std::vector<CommitStep> first;
    std::vector<CommitStep> middle;
    std::vector<CommitStep> last;
    auto early = changes.ops.find(firstKey);
    const bool hasFirst = !firstKey.empty() && early != changes.ops.end() && isMove(early->second.kind);
    if (hasFirst) middle.push_back({StepKind::Place, firstKey, early->second.source});
    for (const auto& [target, op] : changes.ops) {
        if (isMove(op.kind)) {
            if (!(hasFirst && target == firstKey)) middle.push_back({StepKind::Place, target, op.source});
        } else if (op.kind == FileOpKind::Link) {
            middle.push_back({StepKind::Link, target, op.source});
        } else if (op.kind == FileOpKind::Unlink) {
            const std::string path = collapsedPath(target);
            // The new file's rename removes the old one in the same step.
            if (placed.count(path) != 0) continue;
            if (placedBelow(placed, path) && !isDirectory(target)) {
                first.push_back({StepKind::RemoveFirst, target, ""});
            } else {
                last.push_back({StepKind::Remove, target, ""});
            }
        }
    }
    first.insert(first.end(), std::make_move_iterator(middle.begin()), std::make_move_iterator(middle.end()));
    first.insert(first.end(), std::make_move_iterator(last.begin()), std::make_move_iterator(last.end()));
    return first;
}

std::uint64_t journalSize(const ChangeSet& changes) {
    std::uint64_t size = 16;
    // A copy from another file system is named in the target's directory.
    for (const auto& [target, op] : changes.ops) {
        size += target.size() + std::max(op.source.size(), target.size() + 10) + 4;
    }
    return size;
}

std::string journalText(const std::vector<CommitStep>& steps, bool fromManifest) {
    std::string text = kJournalMagic;
    text += '\0';
    text += fromManifest ? 'C' : 'R';
    text += '\0';
    for (const CommitStep& step : steps) {
        text += static_cast<char>(step.kind);
        text += '\0';
        text += step.target;
        text += '\0';
        text += step.source;
        text += '\0';
    }
    text += kJournalEnd;
    text += '\0';
    return text;
}

bool parseJournal(const std::string& text, std::vector<CommitStep>& steps, bool& fromManifest) {
    steps.clear();
    std::vector<std::string_view> fields;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\0');
        if (end == std::string_view::npos) return false;  // cut inside a field
        fields.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    if (fields.size() < 3 || fields[0] != kJournalMagic || fields.back() != kJournalEnd) return false;
    if (fields[1] != "C" && fields[1] != "R") return false;
    fromManifest = fields[1] == "C";
    const std::size_t stepFields = fields.size() - 3;
    if (stepFields % 3 != 0) return false;
    for (std::size_t i = 2; i + 1 < fields.size(); i += 3) {
        const std::string_view kind = fields[i];
        if (kind.size() != 1 || std::string_view("EMLU").find(kind[0]) == std::string_view::npos) return false;
        if (fields[i + 1].empty()) return false;
        steps.push_back({static_cast<StepKind>(kind[0]), std::string(fields[i + 1]), std::string(fields[i + 2])});
    }
    return true;
}

bool commitChanges(ChangeSet& changes, const std::string& firstKey, bool progress) {
    if (changes.ops.empty()) {
        ::sync();
        return true;
    }
    std::vector<CommitStep> steps = planCommit(changes, firstKey);
    std::vector<std::string> copies;
    std::vector<std::string> spent;
    const bool across = bringAcross(steps, changes, progress, copies, spent);
    // Staged contents and the copies reach the flash before the journal can
    // make any of them live.
    if (across) ::sync();
    // Once this commit is done, a pending manifest is carried out (--commit)
    // or stale (it was planned against the files this commit replaces); a
    // run that finishes the commit deletes it.
    const bool manifestDone = changes.fromManifest || manifestPending();
    if (!across || (!recordDir().empty() && !writeJournal(steps, manifestDone))) {
        // Nothing has been touched: the run fails whole. A manifest's files
        // stay for another --commit or a --cancel.
        if (across) std::perror("journal");
        for (const std::string& copy : copies) ::unlink(copy.c_str());
        if (!changes.fromManifest) cancel(changes);
        return false;
    }
    changes.commitBegun = true;
    for (const std::string& source : spent) ::unlink(source.c_str());
    std::vector<const CommitStep*> unplaced;
    const bool ok = applySteps(steps, progress, true, &unplaced);
    // A staged file or copy whose rename failed is of no use any more.
    for (const CommitStep* step : unplaced) {
        auto op = changes.ops.find(step->target);
        if (op == changes.ops.end()) continue;
        if (op->second.kind == FileOpKind::MoveTemp || op->second.source != step->source) {
            ::unlink(step->source.c_str());
        }
    }
    // The renames, links and removals themselves, then the journal goes.
    ::sync();
    if (!recordDir().empty()) ::unlink(journalPath().c_str());
    return ok;
}

bool finishInterruptedCommit() {
    if (recordDir().empty()) return false;
    const std::string path = journalPath();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxJournal) {
        text.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t got = ::read(fd, text.data() + done, text.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        text.resize(done);
    }
    ::close(fd);
    std::vector<CommitStep> steps;
    bool fromManifest = false;
    // A damaged journal cannot be trusted with a single step.
    if (parseJournal(text, steps, fromManifest)) {
        applySteps(steps, false, false);
        ::sync();
        if (fromManifest) ::unlink(kManifestPath);
    }
    ::unlink(path.c_str());
    return true;
}

}  // namespace velmora
