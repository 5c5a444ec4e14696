#pragma once
// What a run keeps on the flash so that the next run can finish or clear up
// after it when it is killed or loses power: the register of directories
// that hold its staged files, the downgrade permission, and (commit_journal.h)
// the journal of its commit. All of them are dot names in the package
// database directory, which the catalogue loader never takes for packages.

#include <set>
#include <string>

namespace velmora {

// The directory of the records, with its trailing "/" ("/flash/var/pdb/" for
// the installer). Empty, as in unit tests of other rules: no records kept.
void setRecordDir(std::string dir);
const std::string& recordDir();

// "tmp" and six more characters: the name of a staged file.
bool isStagedName(const std::string& path);

// Collapses runs of "/" into one and drops a trailing "/" ("/flash//a/" ->
// "/flash/a"): the same file under two spellings.
std::string collapsedPath(const std::string& path);

// Notes, before a staged file is first made in dir during this run, that dir
// holds staged files: a symbolic link to it in the register, made before the
// file, so that the file is found again whatever stops the run.
void noteStagingDir(const std::string& dir);

// A fresh staged name in dir (registered first); the caller creates it with
// O_EXCL or symlink and asks again on EEXIST.
std::string stagedNameIn(const std::string& dir);

// A /ram/MANIFEST is waiting for --commit or --cancel.
bool manifestPending();

// True when some run left directories in the register.
bool hasStagingRecords();

// Deletes the staged files in every registered directory, except those a
// pending manifest still needs and those in keep (files packages installed,
// collapsed paths). The register itself goes too, unless a manifest is
// pending.
void removeStagedLeftovers(const std::set<std::string>& keep);

// Deletes a manifest or journal that a stopped run was writing.
void removeUnfinishedRecords();

// The run's staged files are all moved or deleted: its register entries go,
// and so do older ones unless a pending manifest may still need them.
void dropStagingRegister(bool manifestConsumed);

// The permission to downgrade outlives a run that is stopped half way, so
// that the next run completes the downgrade instead of refusing it.
// False when the permission could not be kept (the marker must stay then).
bool keepDowngradePermission();
bool downgradePermitted();
void dropDowngradePermission();

}  // namespace velmora
