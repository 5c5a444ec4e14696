#include "package/package_check.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "package/package_format.h"
#include "package/package_reader.h"
#include "pdb/package_db.h"
#include "pdb/version.h"
#include "planning/package_record.h"

namespace velmora {
namespace {

std::string partText(std::int32_t type, std::uint32_t offset) {
    if (type < 0) return "the end of the file";
    return "part " + std::to_string(type) + " (" + partTypeName(type) + ") at offset " + std::to_string(offset);
}

// Names from a package may hold anything; control bytes are shown escaped.
std::string shown(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string readFaultText(const ReadFault& fault, const OfferedPackage& offered, const std::string& path) {
    switch (fault.kind) {
        case ReadFault::NotAPackage: return "not a package file (no package magic)";
        case ReadFault::Length: {
            struct stat status {};
            ::stat(path.c_str(), &status);
            return "the file holds " + std::to_string(status.st_size) + " bytes, its header says " +
                   std::to_string(offered.packageLength) + " (bytes appended or cut off)";
        }
        case ReadFault::Header:
            return "the metadata cannot be read: " + partText(fault.partType, fault.offset) +
                   " is cut short, shorter than a header, or gives a name that is empty, \".\", \"..\" or holds "
                   "\"/\"";
        case ReadFault::NoMember: return "a bundle without members";
        case ReadFault::None: break;
    }
    return {};
}

std::string headerFaultText(const PackageRecord& record, std::uint32_t offset) {
    if (!record.name.empty() && !isStorableName(record.name)) {
        return "the header part at offset " + std::to_string(offset) + " names the package \"" + shown(record.name) +
               "\", which no database directory can hold";
    }
    return "the header part at offset " + std::to_string(offset) + " cannot be read";
}

// Passes over the rest of a member: up to the next member header or the end.
void skipToNextMember(PackageFile& file) {
    while (file.currentType() != PartHeader && file.currentType() != -1) file.nextPart();
}

// One package from its header part; true when the installer takes it.
bool checkPackage(PackageFile& file, const TrustedKey* key, PackageSink& sink, FileVerdict& verdict) {
    const std::uint32_t at = file.partStart() - PartHeaderSize;
    PackageRecord record;
    if (!readStreamHeader(record, file)) {
        verdict.objections.push_back(headerFaultText(record, at));
        return false;
    }
    sink.package(record);
    const PackageFault fault = readPackageBody(record, file, sink, key);
    if (fault.kind != PackageFault::None) {
        verdict.objections.push_back(shown(recordLabel(record)) + ": " + faultText(fault));
        return false;
    }
    verdict.accepted.push_back(shown(recordLabel(record)));
    return true;
}

}  // namespace

bool readStreamHeader(PackageRecord& record, PackageFile& file) {
    return readPackageHeader(record, file) && isStorableName(record.name);
}

const char* partTypeName(std::int32_t type) {
    switch (type) {
        case PartHeader: return "header";
        case PartText2: return "text 2";
        case PartDependencies: return "dependencies";
        case PartFileArchive: return "file archive";
        case PartSignature: return "signature";
        case PartArchitecture: return "architecture";
        case PartConflicts: return "conflicts";
        case PartBundleHeader: return "bundle header";
        case PartProvides: return "provides";
        case PartDisabledMembers: return "disabled members";
        case PartKeepImage: return "keep image";
        case PartNote: return "note";
        case PartText24: return "text 24";
        default: return "unknown";
    }
}

std::string faultText(const PackageFault& fault) {
    std::string where = partText(fault.partType, fault.offset);
    switch (fault.kind) {
        case PackageFault::CutPath: return where + ": an entry's path is cut short";
        case PackageFault::EntryPath:
            return where + ": the entry \"" + shown(fault.path) +
                   "\" names no file below /flash (empty, a directory, \".\" or \"..\", or a line break)";
        case PackageFault::CutContent: return where + ": the content of " + shown(fault.path) + " is cut short";
        case PackageFault::CreateFailed:
            return "could not create " + shown(fault.path) + ": " + std::strerror(fault.error);
        case PackageFault::NoSignature:
            return fault.partType < 0 ? "no signature part: the file ends where it is due"
                                      : where + " stands where the signature part is due";
        case PackageFault::Signature:
            switch (fault.signature) {
                case SignatureCheck::TooShort: return where + ": holds fewer than 68 bytes";
                case SignatureCheck::Cut: return where + ": cut short";
                case SignatureCheck::DigestMismatch:
                    return where + ": its digest does not match the signed range (altered or damaged)";
                case SignatureCheck::CommitmentMismatch:
                    return where + (fault.unsignedFields
                                        ? ": not signed (r and v are zero); sign it with 'vpa sign'"
                                        : ": r and v do not hold under the key (signed with another key, or altered)");
                case SignatureCheck::NotHashing:
                case SignatureCheck::Good: break;
            }
            break;
        case PackageFault::None: break;
    }
    return where;
}

std::string offeredFileObjection(const std::string& path) {
    OfferedPackage offered;
    const ReadFault read = readOfferedFile(offered, path);
    return read.kind == ReadFault::None ? std::string() : readFaultText(read, offered, path);
}

FileVerdict checkPackageFile(const std::string& path, const TrustedKey* key, PackageSink& sink) {
    FileVerdict verdict;
    OfferedPackage offered;
    const ReadFault read = readOfferedFile(offered, path);
    if (read.kind != ReadFault::None) {
        verdict.objections.push_back(readFaultText(read, offered, path));
        return verdict;
    }

    std::ifstream input(path, std::ios::binary);
    PackageFile file(input, true);
    for (const std::uint16_t type : StreamParts) file.want(type);
    if (file.nextPart() != PartBundleHeader) {
        checkPackage(file, key, sink, verdict);
        return verdict;
    }

    PackageRecord bundle;
    if (!readStreamHeader(bundle, file)) {
        verdict.objections.push_back(headerFaultText(bundle, file.partStart() - PartHeaderSize));
        return verdict;
    }
    if (file.currentType() == PartKeepImage) file.nextPart();
    if (file.currentType() == PartDisabledMembers) {
        std::vector<Dependency> names;
        readDependencyList(file, names);
        file.nextPart();
    }
    // Members are taken while a header part follows, as the installer does.
    bool any = false;
    while (file.currentType() == PartHeader) {
        const std::uint32_t at = file.partStart();
        if (checkPackage(file, key, sink, verdict)) {
            any = true;
        } else if (file.currentType() == PartHeader && file.partStart() == at) {
            file.nextPart();
            skipToNextMember(file);
        }
    }
    if (!any && verdict.objections.empty()) verdict.objections.push_back("the bundle holds no member to install");
    return verdict;
}

}  // namespace velmora
