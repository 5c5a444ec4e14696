#pragma once
// The installed-package table of --show.

namespace velmora {

class Installer;

void listPackages(Installer& installer);

}  // namespace velmora
