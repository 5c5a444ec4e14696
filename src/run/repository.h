#pragma once
// Building the catalogue from the package database and the stored images.

#include <string>

namespace velmora {

class Installer;

void loadRepository(Installer& installer, bool quiet, const std::string& arch);

}  // namespace velmora
