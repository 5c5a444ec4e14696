#pragma once
// Installing one package or bundle from a package stream.

#include <istream>
#include <map>
#include <streambuf>
#include <string>

#include "planning/install_flags.h"

namespace velmora {

class Installer;
class PackageFile;
struct ChangeSet;
struct Dependency;
struct PackageRecord;

// Package name -> disabled state chosen by the user before an upgrade.
using UserStates = std::map<std::string, bool>;

// 0 when the stream was installed, non-zero otherwise. copyTarget receives
// every byte read from input (may be null); imageDir receives the database
// directory of a package that keeps its image; bootImage tells whether the
// boot image is to be written.
int installStream(Installer& installer, ChangeSet& changes, std::istream& input, InstallFlags flags,
                  UserStates& userStates, std::streambuf* copyTarget, std::string* imageDir,
                  bool* bootImage);

// Installs the package whose header reader stands on; bundleRef is given for
// a bundle member. Returns the record that now stands for the package's name
// (the new one, or the installed one when nothing had to be done), or null.
PackageRecord* installPackage(Installer& installer, ChangeSet& changes, PackageFile& reader, InstallFlags flags,
                              UserStates& userStates, const Dependency* bundleRef, std::string* imageDir,
                              bool* bootImage);

// Installs the bundle whose header reader stands on. 0 when done; 1 when
// its header cannot be read or its database directory cannot be written;
// 2 when admission refuses it; 3 when no member could be installed.
int installBundle(Installer& installer, ChangeSet& changes, PackageFile& reader, InstallFlags flags,
                  UserStates& userStates, std::string* imageDir, bool* bootImage);

}  // namespace velmora
