#pragma once
// The package database: one directory of small text files per installed
// package under /flash/var/pdb/, and the user's schedule under /ram/pdb/.
// It is read directly and written only through the change set, so that it
// changes together with the package files or not at all.

#include <set>
#include <string>
#include <string_view>

#include "planning/package_record.h"
#include "storage/change_set.h"

namespace velmora {

class Installer;

// Where the database and its neighbours are. The installer runs chrooted
// into the router's root, so it always uses these absolute paths; unit
// tests point them at a scratch tree.
struct DbPaths {
    std::string dbRoot = "/flash/var/pdb/";   // ends with "/"
    std::string scheduleRoot = "/ram/pdb/";   // ends with "/"
    std::string flashRoot = "/flash";         // joined to a file path with "/"
    std::string bootImage = "/flash/bootimage";
    std::string imageStore = "/rw/pckg/.images/";  // ends with "/"
};

const DbPaths& dbPaths();
// For tests only.
void setDbPaths(DbPaths paths);

// The record's directory, with its trailing "/".
std::string dbDirOf(const PackageInfo& record);

// A name that is one plain directory entry: not empty, not "." or "..",
// without "/" or NUL. No other name gets a database directory, so that a
// bad name cannot make the database write or remove outside its tree.
bool isStorableName(std::string_view name);

// Fills the record from its directory (metadata only while its version is
// 0) and from the schedule. Never fails: damage shows as a pending
// Uninstall, a missing "files" as a bundle.
void loadRecordState(PackageRecord& record);

// Stores metadata (unless the package keeps none) and state through the
// change set. False, with the error reported, after the first metadata file
// that could not be written.
bool saveRecord(const PackageRecord& record, ChangeSet& changes);

// Cancels a pending removal of the record's directory; false when the
// directory cannot be used (something else is planned for it, or it exists
// and is not a directory, or the name cannot have one).
bool prepareRecordDir(const PackageRecord& record, ChangeSet& changes);

// prepareRecordDir, then saveRecord.
bool storeRecord(const PackageRecord& record, ChangeSet& changes);

// Store the new state and clear the record's pending action.
void disableRecord(PackageRecord& record, ChangeSet& changes);
void enableRecord(PackageRecord& record, ChangeSet& changes);

// Schedules the removal of the package's files, its directory with the
// image and, when no other link holds it, the boot image it carried.
void removeRecord(PackageRecord& record, ChangeSet& changes);

// Removes the first catalogue record of that name and deletes it; false
// when there is none.
bool uninstallNamed(Installer& installer, ChangeSet& changes, std::string_view name);

// The file list a database entry keeps, for a record whose metadata came
// from its image (a package that keeps its image, a member of such a
// bundle); an entry without one leaves the record as it is.
void loadFileList(PackageRecord& record);

// Keeps the user's schedule (in /ram, lost with the power) on the flash for
// as long as the run is under way, so that a run stopped half way is
// completed with it; dropSchedule when the run has ended.
void keepSchedule();
void dropSchedule();

// Every file some installed package owns, as full paths with single
// slashes ("/flash/bin/foo"), read straight from the database.
std::set<std::string> installedFilePaths();

}  // namespace velmora
