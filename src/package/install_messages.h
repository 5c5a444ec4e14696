#pragma once
// The error messages that end the installation of a package. The package
// contents and the package database report their write failures alike.

#include <string>

namespace velmora {

struct PackageRecord;

// "installation of <label> failed: broken package".
void reportBrokenPackage(const PackageRecord& record);

// Chosen by errno as it stands on entry: a full disk, a disk error, or
// "could not create <what>: <system error text>". what is the path as
// written in the archive, or the report name of a database file.
void reportCreateFailure(const PackageRecord& record, const std::string& what);

}  // namespace velmora
