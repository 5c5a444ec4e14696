#pragma once
// Building the catalogue from the package database and the stored images.

#include <string>

namespace velmora {

class Installer;

// Sets quiet and arch, then fills the catalogue: the installed images, the
// images of the image store, the database state of every record, and a bare
// record for each database directory no image named. Warns "could not open
// repo" (and leaves the catalogue empty) when there is no database.
void loadRepository(Installer& installer, bool quiet, const std::string& arch);

// One pass over the database's entries, reading one image for each: the
// entry's "image" in the database (fromImageStore false) or the file of the
// entry's name in directory (fromImageStore true). False when the database
// directory cannot be opened.
bool loadImages(Installer& installer, const std::string& directory, bool fromImageStore);

}  // namespace velmora
