#pragma once
// Installing one package file from its first part after the metadata to the
// end of its signature: every file becomes a pending replacement in the
// change set, the signature is checked, and the database entry is staged.
// Nothing reaches its final place here; the caller commits or cancels.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

struct ChangeSet;
struct PackageRecord;
class PackageFile;

// The file stands on the first part after the package's metadata parts.
// True when the files, the database entry and the upgrade marker are staged
// and the signature holds; false after a failure, reported except when the
// database directory cannot be used.
bool installPackageFile(PackageRecord& record, ChangeSet& changes, PackageFile& file);

// Unpacks the current file archive part into the change set.
bool extractArchive(PackageRecord& record, ChangeSet& changes, PackageFile& file);

// Draws the progress bar for the bytes of the package read so far.
void showInstallProgress(const PackageRecord& record, PackageFile& file);

// Where an archive entry goes, below "/flash": files of a disabled package
// are kept apart under /x/<name>.
std::string pathBelowFlash(const PackageRecord& record, std::string_view entryPath);

// An entry path names one file below /flash: no ".." component (it would
// reach outside), something named below /flash itself, a last component
// that is a name (not empty, "." or ".."), and no line break or NUL (the
// file list could never record it, so it could never be removed).
bool namesFileBelowFlash(std::string_view entryPath);

// This router's processor group, 1 to 4, or 0 when no group applies.
unsigned processorGroup();

// The group of a processor whose version register reads pvr. The flash
// control device is asked only for the processors it tells apart.
unsigned processorGroupFor(std::uint32_t pvr, unsigned (*flashBit16)());

// Tests: the processor version register reads value; nullopt stands for a
// processor without the register.
void setProcessorVersionSubstitute(std::optional<std::uint32_t> value);
// Back to the real register.
void clearProcessorVersionSubstitute();

}  // namespace velmora
