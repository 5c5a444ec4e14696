#pragma once
// Installing one package file from its first part after the metadata to the
// end of its signature: every file becomes a pending replacement in the
// change set, the signature is checked, and the database entry is staged.
// Nothing reaches its final place here; the caller commits or cancels.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "package/package_stream.h"

namespace velmora {

struct ChangeSet;
struct PackageRecord;

// An entry of a file archive as its header and path give it.
struct ArchiveEntry {
    std::uint16_t mode = 0;   // type bits 0xF000 and permission bits, as in st_mode
    std::uint8_t group = 0;   // processor group; 0 for every processor
    std::uint32_t size = 0;   // of the content
    std::string path;         // as written in the archive
};

// Where the files of a package go while it is read: the run's change set
// when installing, elsewhere for the package tool.
class EntrySink {
public:
    virtual ~EntrySink() = default;
    // Every entry whose path is sound, before it is unpacked or passed over.
    virtual void seen(const ArchiveEntry& /*entry*/) {}
    // Whether a regular file for processor group `group` (1 to 4) is unpacked.
    virtual bool takesGroup(unsigned group);
    // A descriptor to write the content of the file at belowFlash (a path
    // below "/flash") to, or -1 with errno set.
    virtual int create(const std::string& belowFlash, std::uint32_t size, std::uint16_t mode) = 0;
    // After each file, and each step through a keep-image part.
    virtual void progress() {}
};

// Why a package cannot be installed, and where.
struct PackageFault {
    enum Kind : std::uint8_t {
        None,
        CutPath,       // an entry's path ends with the inflated data
        EntryPath,     // an entry's path names no file below /flash
        CutContent,    // a file's content ends with the inflated data
        CreateFailed,  // a file could not be created, written or closed (error)
        NoSignature,   // another part, or none, where the signature is due
        Signature,     // the signature does not hold (signature says how)
    };
    Kind kind = None;
    int error = 0;               // the system error of CreateFailed
    std::string path;            // the entry's path, as written
    std::int32_t partType = -1;  // the part concerned, -1 for the end of the file
    std::uint32_t offset = 0;    // of that part's header
    SignatureCheck signature = SignatureCheck::Good;
    bool unsignedFields = false;  // r and v are all zero: never signed
};

// Reads a package from the first part after its metadata to the end of its
// signature: passes over a keep-image part, gives every file of the archive
// that suits this router to sink, and checks the signature against key (the
// digest alone when key is null). Reports nothing.
PackageFault readPackageBody(PackageRecord& record, PackageFile& file, EntrySink& sink, const TrustedKey* key);

// The file stands on the first part after the package's metadata parts.
// True when the files, the database entry and the upgrade marker are staged
// and the signature holds; false after a failure, reported except when the
// database directory cannot be used.
bool installPackageFile(PackageRecord& record, ChangeSet& changes, PackageFile& file);

// Unpacks the current file archive part into sink; the fault's part and
// offset are left to the caller.
PackageFault extractArchive(PackageRecord& record, PackageFile& file, EntrySink& sink);

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
