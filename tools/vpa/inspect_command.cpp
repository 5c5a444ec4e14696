// vpa inspect: everything a package file holds, read through the
// installer's own package stream, metadata readers and inflating stream, so
// that the tool sees a file exactly as the installer does.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "package/byte_order.h"
#include "package/package_format.h"
#include "package/package_reader.h"
#include "package/package_stream.h"
#include "storage/inflate_stream.h"

namespace velmora {

const char* const InspectHelp =
    "usage: vpa inspect FILE\n"
    "\n"
    "Shows a package or bundle file: the file header, every part with its\n"
    "offset and size, the metadata the installer reads (name, version, build\n"
    "time, flags, architecture, note, dependencies, provides, conflicts, keep\n"
    "image, bundle members), the file archive of each package (mode, processor\n"
    "group, size, path) and its signature (digest, r, v), with whether the\n"
    "digest matches the signed range.\n"
    "\n"
    "Exits with 1 and a message on standard error when the file is damaged:\n"
    "not a package, a length that differs from the file's size, a part that\n"
    "runs past the end, unreadable metadata, a cut archive entry, a missing\n"
    "signature or a digest that does not match.\n";

namespace {

const char* const Command = "inspect";

// Longest symbolic-link target shown; the rest is skipped.
constexpr std::uint32_t LinkTargetLimit = 4096;

struct ListedEntry {
    std::uint16_t mode = 0;
    std::uint8_t group = 0;
    std::uint32_t size = 0;
    std::string path;
    std::string linkTarget;
};

struct SignatureView {
    bool present = false;
    bool complete = false;  // 68 bytes were there
    bool matches = false;
    std::uint32_t size = 0;
    std::uint8_t fields[SignatureSize] = {};
    std::uint8_t computed[Sha1::DigestSize] = {};
};

// One package of the file (a bundle's own leading parts form the first).
struct PackageView {
    std::string name;
    bool isBundle = false;
    bool hasArchive = false;
    std::vector<ListedEntry> entries;
    SignatureView signature;
};

struct PartView {
    std::int32_t type = 0;
    std::uint32_t offset = 0;  // of the part header
    std::uint32_t size = 0;
};

struct Walk {
    std::vector<PartView> parts;
    std::vector<PackageView> packages;
    std::vector<Dependency> disabledMembers;
    std::vector<std::string> problems;
};

const char* partName(std::int32_t type) {
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
        default: return "unknown (skipped)";
    }
}

std::string hex(const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

// Texts from a package may hold anything; control bytes are shown escaped.
std::string printable(const std::string& text) {
    std::string shown;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string modeString(std::uint16_t mode) {
    std::string text;
    switch (mode & 0xF000) {
        case 0x8000: text = "-"; break;
        case 0x4000: text = "d"; break;
        case 0xA000: text = "l"; break;
        case 0x2000: text = "c"; break;
        case 0x6000: text = "b"; break;
        case 0x1000: text = "p"; break;
        case 0xC000: text = "s"; break;
        default: text = "?"; break;
    }
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) ? letters[bit] : '-';
    auto special = [&](std::size_t at, std::uint16_t flag, char withExec, char withoutExec) {
        if (mode & flag) text[at] = text[at] == 'x' ? withExec : withoutExec;
    };
    special(3, 04000, 's', 'S');
    special(6, 02000, 's', 'S');
    special(9, 01000, 't', 'T');
    return text;
}

std::string timeText(std::uint32_t seconds) {
    std::time_t when = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[64] = "?";
    if (gmtime_r(&when, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string boundsText(const Dependency& entry) {
    std::string text = entry.name;
    if (entry.min != 0) text += std::string(" >= ") + versionText(entry.min);
    if (entry.max != 0) text += std::string(entry.min != 0 ? "," : "") + " <= " + versionText(entry.max);
    return text;
}

// Lists the entries of the current archive part as the installer unpacks
// them: 30-byte headers and paths through the inflating stream, contents
// skipped. The installer tolerates an archive that ends inside an entry
// header; a cut path or content makes the package broken.
void listArchive(PackageFile& file, PackageView& package, std::vector<std::string>& problems) {
    InflateStream inflated(file);
    for (;;) {
        std::uint8_t header[30];
        inflated.read(reinterpret_cast<char*>(header), sizeof header);
        if (inflated.gcount() != static_cast<std::streamsize>(sizeof header)) return;
        ListedEntry entry;
        entry.mode = loadLe16(header);
        entry.group = header[23];
        entry.size = loadLe32(header + 24);
        entry.path.resize(loadLe16(header + 28));
        inflated.read(entry.path.data(), static_cast<std::streamsize>(entry.path.size()));
        if (inflated.gcount() != static_cast<std::streamsize>(entry.path.size())) {
            problems.push_back("archive of " + package.name + ": an entry's path is cut short");
            return;
        }
        std::uint32_t toSkip = entry.size;
        if ((entry.mode & 0xF000) == 0xA000) {
            entry.linkTarget.resize(std::min(entry.size, LinkTargetLimit));
            inflated.read(entry.linkTarget.data(), static_cast<std::streamsize>(entry.linkTarget.size()));
            entry.linkTarget.resize(static_cast<std::size_t>(inflated.gcount()));
            toSkip -= static_cast<std::uint32_t>(entry.linkTarget.size());
        }
        bool cut = inflated.fail();
        if (!cut && toSkip > 0) cut = !inflated.seekg(toSkip, std::ios_base::cur);
        package.entries.push_back(std::move(entry));
        if (cut) {
            problems.push_back("archive of " + package.name + ": the content of " +
                               printable(package.entries.back().path) + " is cut short");
            return;
        }
    }
}

// Reads the first bytes of a header part for the package's name.
std::string headerName(PackageFile& file) {
    char name[PackageNameSize] = {};
    file.clear();
    file.read(name, PackageNameSize);
    return std::string(name, strnlen(name, static_cast<std::size_t>(file.gcount())));
}

// Walks every part with the installer's package stream, hashing as the
// installer does, so that each signature's digest is checked against the
// very range the installer would compute.
Walk walkParts(PackageFile& file, std::uint64_t fileSize) {
    Walk walk;
    PackageStreamBuf& buffer = file.packageBuffer();
    for (;;) {
        std::int32_t type = buffer.nextPart();
        if (type < 0) break;
        PartView part{type, buffer.partStart() - PartHeaderSize, buffer.partSize()};
        walk.parts.push_back(part);
        if (std::uint64_t{buffer.partStart()} + part.size > fileSize) {
            walk.problems.push_back("part " + std::to_string(type) + " at offset " + std::to_string(part.offset) +
                                    " claims " + std::to_string(part.size) + " bytes, more than the file holds");
            break;
        }
        file.clear();
        if (type == PartHeader || type == PartBundleHeader) {
            PackageView package;
            package.isBundle = type == PartBundleHeader;
            package.name = headerName(file);
            walk.packages.push_back(std::move(package));
            continue;
        }
        if (walk.packages.empty()) continue;
        PackageView& package = walk.packages.back();
        if (type == PartFileArchive) {
            package.hasArchive = true;
            listArchive(file, package, walk.problems);
        } else if (type == PartDisabledMembers) {
            if (!readDependencyList(file, walk.disabledMembers))
                walk.problems.push_back("the list of disabled members cannot be read");
        } else if (type == PartSignature) {
            SignatureView& signature = package.signature;
            signature.present = true;
            signature.size = part.size;
            signature.matches = buffer.readSignature(signature.fields);
            signature.complete = part.size >= SignatureSize;
            std::copy(buffer.lastDigest(), buffer.lastDigest() + Sha1::DigestSize, signature.computed);
        }
    }
    return walk;
}

void printMetadata(const PackageInfo& info, const char* indent) {
    std::printf("%s%s %s %s\n", indent, info.isBundle ? "Bundle" : "Package", printable(info.name).c_str(),
                versionText(info.version));
    std::printf("%s  Version:       %s (0x%08x)\n", indent, versionText(info.version), info.version);
    std::printf("%s  Build time:    %u (%s)\n", indent, info.buildTime, timeText(info.buildTime).c_str());
    std::printf("%s  Flags:         0x%08x%s%s\n", indent, info.flags,
                (info.flags & FlagBootImage) ? " boot-image" : "", (info.flags & FlagNoMetadata) ? " no-metadata" : "");
    std::printf("%s  Architecture:  %s\n", indent, printable(info.arch).c_str());
    if (!info.note.empty()) std::printf("%s  Note:          %s\n", indent, printable(info.note).c_str());
    if (!info.partText24.empty()) std::printf("%s  Text 24:       %s\n", indent, printable(info.partText24).c_str());
    if (!info.partText2.empty()) std::printf("%s  Text 2:        %s\n", indent, printable(info.partText2).c_str());
    const std::pair<const char*, const std::vector<Dependency>*> lists[] = {
        {"Depends:   ", &info.deps}, {"Provides:  ", &info.provides}, {"Conflicts: ", &info.conflicts}};
    for (const auto& [title, list] : lists) {
        for (const Dependency& entry : *list) {
            std::printf("%s  %s    %s", indent, title, printable(boundsText(entry)).c_str());
            if (list == &info.provides) std::printf(" (priority %d)", entry.priority);
            std::printf("\n");
        }
    }
    std::printf("%s  Keep image:    %s\n", indent, info.keepsImage ? "yes" : "no");
}

void printPackageContents(const PackageView& package, const char* indent) {
    if (package.hasArchive) {
        std::printf("%s  Files (%zu):\n", indent, package.entries.size());
        for (const ListedEntry& entry : package.entries) {
            std::printf("%s    %s %07o group %u %10u  %s", indent, modeString(entry.mode).c_str(),
                        static_cast<unsigned>(entry.mode), static_cast<unsigned>(entry.group), entry.size,
                        printable(entry.path).c_str());
            if ((entry.mode & 0xF000) == 0xA000) std::printf(" -> %s", printable(entry.linkTarget).c_str());
            std::printf("\n");
        }
    } else {
        std::printf("%s  Files: no file archive\n", indent);
    }
    const SignatureView& signature = package.signature;
    if (!signature.present) {
        std::printf("%s  Signature: none\n", indent);
        return;
    }
    std::printf("%s  Signature (%u bytes):\n", indent, signature.size);
    if (!signature.complete) {
        std::printf("%s    too short: %u of %u bytes\n", indent, signature.size, SignatureSize);
        return;
    }
    std::printf("%s    Digest:   %s (%s)\n", indent, hex(signature.fields, 20).c_str(),
                signature.matches ? "matches the signed range" : "does NOT match the signed range");
    if (!signature.matches) std::printf("%s    Computed: %s\n", indent, hex(signature.computed, 20).c_str());
    std::printf("%s    r:        %s\n", indent, hex(signature.fields + 20, 16).c_str());
    std::printf("%s    v:        %s\n", indent, hex(signature.fields + 36, 32).c_str());
}

// Problems the installer would refuse the package for, beyond the walk's own.
void checkSignatures(const Walk& walk, std::vector<std::string>& problems) {
    for (const PackageView& package : walk.packages) {
        if (package.isBundle) continue;
        const std::string label = "package " + printable(package.name);
        if (!package.signature.present) {
            problems.push_back(label + " has no signature part");
        } else if (!package.signature.complete) {
            problems.push_back(label + ": its signature part is shorter than 68 bytes");
        } else if (!package.signature.matches) {
            problems.push_back(label + ": the signature's digest does not match the signed range");
        }
    }
}

}  // namespace

int runInspect(const std::vector<std::string>& args) {
    std::string error;
    auto parsed = parseOptions(args, {}, error);
    if (!parsed) {
        commandError(Command, error + " (see 'vpa help inspect')");
        return ExitUsage;
    }
    if (parsed->help) {
        std::fputs(InspectHelp, stdout);
        return ExitSuccess;
    }
    if (parsed->operands.size() != 1) {
        commandError(Command, "needs exactly one package file (see 'vpa help inspect')");
        return ExitUsage;
    }
    const std::string& path = parsed->operands[0];
    struct stat status {};
    std::ifstream input(path, std::ios::binary);
    if (::stat(path.c_str(), &status) != 0 || !input) {
        commandError(Command, path + ": cannot open: " + std::strerror(errno));
        return ExitFailure;
    }
    if (!S_ISREG(status.st_mode)) {
        commandError(Command, path + ": not a regular file");
        return ExitFailure;
    }
    const auto fileSize = static_cast<std::uint64_t>(status.st_size);

    PackageFile file(input, true);
    std::printf("File: %s\n", path.c_str());
    const char* kind = file.magic() == PackageMagic ? "package" : file.magic() == OverlayMagic ? "overlay package" : "";
    if (*kind == '\0') {
        std::fflush(stdout);
        char reason[64];
        if (fileSize < FileHeaderSize) {
            std::snprintf(reason, sizeof reason, "shorter than a file header");
        } else {
            std::snprintf(reason, sizeof reason, "magic 0x%08x", file.magic());
        }
        commandError(Command, path + ": not a package file (" + reason + ")");
        return ExitFailure;
    }
    std::printf("Magic: 0x%08x (%s)\n", file.magic(), kind);
    // totalLength is length + 8 in 32 bits; undo that to see the field.
    const std::uint32_t length = file.totalLength() - FileHeaderSize;
    const std::uint64_t claimed = std::uint64_t{length} + FileHeaderSize;
    std::printf("Length: %u (file size %llu)\n", length, static_cast<unsigned long long>(fileSize));

    Walk walk = walkParts(file, fileSize);
    std::printf("Parts:\n    offset  type  %-18s %10s\n", "name", "size");
    for (const PartView& part : walk.parts) {
        std::printf("%10u  %4d  %-18s %10u\n", part.offset, part.type, partName(part.type), part.size);
    }

    std::vector<std::string> problems;
    if (claimed != fileSize) {
        problems.push_back("the header's length + 8 (" + std::to_string(claimed) + ") differs from the file's size (" +
                           std::to_string(fileSize) + ")");
    }
    problems.insert(problems.end(), walk.problems.begin(), walk.problems.end());

    // The metadata as the installer's reader of offered files sees it.
    OfferedPackage offered;
    const bool readable = readPackageFile(offered, path);
    if (!readable) problems.push_back("broken package: the installer cannot read its metadata");
    checkSignatures(walk, problems);

    std::size_t view = 0;
    if (readable) {
        printMetadata(offered, "");
        if (offered.isBundle) {
            std::printf("  Disabled members:");
            for (const Dependency& entry : walk.disabledMembers) std::printf(" %s", printable(entry.name).c_str());
            std::printf("%s\n", walk.disabledMembers.empty() ? " none" : "");
            std::printf("  Members (%zu):\n", offered.members.size());
            ++view;  // the bundle's leading parts
            for (const auto& member : offered.members) {
                printMetadata(*member, "    ");
                if (view < walk.packages.size()) printPackageContents(walk.packages[view++], "    ");
            }
        } else if (!walk.packages.empty()) {
            printPackageContents(walk.packages[view++], "");
        }
    }
    // Packages the metadata reader did not reach (or all, when it failed).
    for (; view < walk.packages.size(); ++view) {
        if (walk.packages[view].isBundle) continue;
        std::printf("Package %s (from its header part):\n", printable(walk.packages[view].name).c_str());
        printPackageContents(walk.packages[view], "");
    }
    std::fflush(stdout);

    for (const std::string& problem : problems) commandError(Command, path + ": " + problem);
    return problems.empty() ? ExitSuccess : ExitFailure;
}

}  // namespace velmora
