#pragma once
// Every change a run makes on the flash is recorded here first and carried
// out in one step by commit, dropped by cancel, or saved as a manifest for
// a later run.

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <sys/types.h>

namespace velmora {

enum class FileOpKind : std::int32_t { Move = 0, MoveTemp = 1, Link = 3, Unlink = 4 };

struct FileOp {
    FileOpKind kind = FileOpKind::Move;
    std::string source;  // file to move, or the text of a link; empty for unlinks
    // The size of a staged file this run writes in full, so that the
    // free-space rule need not ask the file; -1 when not known.
    std::int64_t stagedSize = -1;
};

struct ChangeSet {
    std::map<std::string, FileOp> ops;  // target path -> pending operation, byte order
    bool fromManifest = false;          // loaded from a manifest rather than made by this run
    bool commitBegun = false;           // a commit got past its journal: the staged files are used up
};

inline constexpr const char* kManifestPath = "/ram/MANIFEST";

void setOp(ChangeSet& changes, const std::string& target, FileOpKind kind, const std::string& source);
void scheduleRemove(ChangeSet& changes, const std::string& path);
void scheduleLink(ChangeSet& changes, const std::string& linkText, const std::string& path);
void scheduleMove(ChangeSet& changes, const std::string& from, const std::string& to);

// Creates a temporary file for target (beside it when its file system has
// room for sizeHint plus a tenth, else in /ram), records the move into place
// and opens stream on the temporary file.
void openReplacement(std::ofstream& stream, ChangeSet& changes, const std::string& target,
                     std::uint32_t sizeHint, mode_t mode);

// The same, handing back the temporary file's open descriptor for the caller
// to write and close; -1 (and nothing recorded) when no file could be made.
// The mode's permission bits are set on the file whatever they allow. The
// caller writes exactly sizeHint bytes, or fails the run.
int createReplacement(ChangeSet& changes, const std::string& target, std::uint32_t sizeHint, mode_t mode);

// Cancels a pending removal of path; false when path has another pending
// operation or exists and is not a directory.
bool keepDirectory(ChangeSet& changes, const std::string& path);

bool isEmpty(const ChangeSet& changes);

// One line per operation: "U target", "L target linktext", "M target source",
// and "M target source T" for a file this run staged, which a later
// --cancel deletes (readers that stop at the third word see a plain move).
// False, with errno, when the manifest could not be written whole; then
// none is written.
bool writeManifest(const ChangeSet& changes, const std::string& path);
bool loadManifest(ChangeSet& changes, const std::string& path);

// Carries out every operation so that a stop at any moment leaves each file
// whole and the next run able to finish (commit_journal.h). Every operation
// is attempted; the result is false when any link, rename or cross-device
// copy failed.
bool commit(ChangeSet& changes, const std::string& firstKey, bool progress);

// Deletes the temporary files this change set created and empties it.
void cancel(ChangeSet& changes);

}  // namespace velmora
