#pragma once
// Installing one package or bundle from a package stream.

#include <istream>
#include <map>
#include <streambuf>
#include <string>

#include "planning/install_flags.h"

namespace velmora {

class Installer;
struct ChangeSet;

// Package name -> disabled state chosen by the user before an upgrade.
using UserStates = std::map<std::string, bool>;

// 0 when the stream was installed, non-zero otherwise. copyTarget receives
// every byte read from input (may be null); imageDir receives the database
// directory of a package that keeps its image; bootImage tells whether the
// boot image is to be written.
int installStream(Installer& installer, ChangeSet& changes, std::istream& input, InstallFlags flags,
                  UserStates& userStates, std::streambuf* copyTarget, std::string* imageDir,
                  bool* bootImage);

}  // namespace velmora
