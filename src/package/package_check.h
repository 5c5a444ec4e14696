#pragma once
// A package file read the way an upload is installed, without installing
// it: the offered-file reader, then the stream with the same header, body
// and signature readers the installer uses, every file handed to a sink.
// The package tool's verdict on a file is this one.

#include <cstdint>
#include <string>
#include <vector>

#include "package/package_format.h"
#include "package/package_install.h"
#include "package/package_stream.h"

namespace velmora {

struct PackageRecord;

// The parts a package stream is read for; all others are passed over (and
// hashed, so the signature still covers them).
inline constexpr std::uint16_t StreamParts[] = {
    PartHeader,   PartBundleHeader, PartDisabledMembers, PartArchitecture, PartDependencies,
    PartProvides, PartConflicts,    PartKeepImage,       PartFileArchive,  PartSignature,
};

// Reads the header part the file stands on into record; false when it
// cannot be read or gives a name that cannot be a database directory.
bool readStreamHeader(PackageRecord& record, PackageFile& file);

// What a package file is to the installer.
struct FileVerdict {
    std::vector<std::string> accepted;    // label of every package whose files and signature hold
    std::vector<std::string> objections;  // each thing the installer would refuse, with its part and offset
};

// Tells the sink which package the entries that follow belong to.
class PackageSink : public EntrySink {
public:
    virtual void package(const PackageRecord& /*record*/) {}
};

// Reads the file at path as the installer reads an upload (admission aside,
// with "bootimage" unset), checking each signature against key (the digest
// alone when key is null).
FileVerdict checkPackageFile(const std::string& path, const TrustedKey* key, PackageSink& sink);

// Why the reader of offered files refuses the file at path, in words;
// empty when it reads the file.
std::string offeredFileObjection(const std::string& path);

// One line on a fault of readPackageBody, naming the part and offset.
std::string faultText(const PackageFault& fault);

// The name of a part type, for messages.
const char* partTypeName(std::int32_t type);

}  // namespace velmora
