#pragma once
// The archive entries of a directory tree on disk, as `vpa build` packs it.

#include <optional>
#include <string>
#include <vector>

#include "package_builder.h"

namespace velmora {

// Every regular file and symbolic link below root, depth first with each
// directory's names sorted, so that a tree always packs the same way (the
// directories themselves are no entries: the installer makes them); paths
// are "/" followed by the path relative to root. On failure, nothing, with
// the reason (path and system error text) in error. Other kinds of file
// (devices, sockets, pipes) are refused: the archive cannot carry them.
std::optional<std::vector<FileEntry>> collectDirectoryEntries(const std::string& root, std::string& error);

// The whole file at path; false with the path and the reason in error.
bool readWholeFile(const std::string& path, std::string& content, std::string& error);

}  // namespace velmora
