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
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "package/byte_order.h"
#include "package/package_format.h"
#include "package/package_reader.h"
#include "package/package_stream.h"
#include "key_file.h"
#include "package/package_check.h"
#include "package_sinks.h"

namespace velmora {

const char* const InspectHelp =
    "usage: vpa inspect [--key FILE.pub] FILE\n"
    "\n"
    "Shows a package or bundle file: the file header, every part with its\n"
    "offset and size, the metadata the installer reads (name, version, build\n"
    "time, flags, architecture, note, dependencies, provides, conflicts, keep\n"
    "image, bundle members), the file archive of each package (mode, processor\n"
    "group, size, path; entries that are not regular files are marked, the\n"
    "installer passes over them) and its signature (digest, r, v).\n"
    "\n"
    "The file is read with the installer's own readers, as it reads an upload;\n"
    "with --key the signatures are checked under that key too ('vpa help\n"
    "verify'), without it their digests only.\n"
    "\n"
    "Exit status: 0 when the installer would take the file; 1 otherwise, each\n"
    "objection on standard error with the part, its offset and the rule; 2 for\n"
    "a wrong command line.\n";

namespace {

const char* const Command = "inspect";


struct SignatureView {
    std::uint32_t size = 0;
    SignatureCheck check = SignatureCheck::TooShort;
    std::uint8_t fields[SignatureSize] = {};
    std::uint8_t computed[Sha1::DigestSize] = {};
};

struct PartView {
    std::int32_t type = 0;
    std::uint32_t offset = 0;  // of the part header
    std::uint32_t size = 0;
};

// Every part in file order, and the signature of each package (in the
// order of their header parts; none for a package without one).
struct Walk {
    std::vector<PartView> parts;
    std::vector<std::optional<SignatureView>> signatures;
    std::vector<Dependency> disabledMembers;
};

// The entries of each package, as the installer's reader meets them.
class ListingSink : public DiscardSink {
public:
    struct Listed {
        std::string label;
        std::vector<ArchiveEntry> entries;
    };
    void package(const PackageRecord& record) override { packages.push_back({recordLabel(record), {}}); }
    void seen(const ArchiveEntry& entry) override {
        if (!packages.empty()) packages.back().entries.push_back(entry);
    }
    std::vector<Listed> packages;
};

std::string hex(const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
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

// Walks every part, hashing as the installer does, for the list of parts
// and the fields of each signature.
Walk walkParts(PackageFile& file) {
    Walk walk;
    PackageStreamBuf& buffer = file.packageBuffer();
    for (std::int32_t type = buffer.nextPart(); type >= 0; type = buffer.nextPart()) {
        walk.parts.push_back({type, buffer.partStart() - PartHeaderSize, buffer.partSize()});
        if (type == PartHeader) walk.signatures.emplace_back();
        if (type == PartDisabledMembers) {
            file.clear();
            readDependencyList(file, walk.disabledMembers);
        }
        if (type != PartSignature || walk.signatures.empty() || walk.signatures.back()) continue;
        SignatureView& signature = walk.signatures.back().emplace();
        signature.size = buffer.partSize();
        signature.check = buffer.checkSignature(nullptr, signature.fields);
        std::copy(buffer.lastDigest(), buffer.lastDigest() + Sha1::DigestSize, signature.computed);
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

void printPackageContents(const ListingSink::Listed* listed, const std::optional<SignatureView>& signature,
                          const char* indent) {
    if (listed != nullptr) {
        std::printf("%s  Files (%zu):\n", indent, listed->entries.size());
        for (const ArchiveEntry& entry : listed->entries) {
            const bool regular = (entry.mode & 0xF000) == 0x8000;
            std::printf("%s    %s %07o group %u %10u  %s%s\n", indent, modeString(entry.mode).c_str(),
                        static_cast<unsigned>(entry.mode), static_cast<unsigned>(entry.group), entry.size,
                        printable(entry.path).c_str(), regular ? "" : "  (not installed: not a regular file)");
        }
    }
    if (!signature) {
        std::printf("%s  Signature: none\n", indent);
        return;
    }
    std::printf("%s  Signature (%u bytes):\n", indent, signature->size);
    if (signature->check == SignatureCheck::TooShort || signature->check == SignatureCheck::Cut) {
        std::printf("%s    too short: %u of %u bytes\n", indent, signature->size, SignatureSize);
        return;
    }
    const bool matches = signature->check == SignatureCheck::Good;
    std::printf("%s    Digest:   %s (%s)\n", indent, hex(signature->fields, 20).c_str(),
                matches ? "matches the signed range" : "does NOT match the signed range");
    if (!matches) std::printf("%s    Computed: %s\n", indent, hex(signature->computed, 20).c_str());
    std::printf("%s    r:        %s\n", indent, hex(signature->fields + 20, 16).c_str());
    std::printf("%s    v:        %s\n", indent, hex(signature->fields + 36, 32).c_str());
}

}  // namespace

int runInspect(const std::vector<std::string>& args) {
    static const std::vector<OptionRule> rules = {{"--key", true}};
    std::string error;
    auto parsed = parseOptions(args, rules, error);
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
    std::optional<PublicKeyMaterial> key;
    if (auto keyPath = parsed->value("--key")) {
        key = loadPublicKey(*keyPath, error);
        if (!key) {
            commandError(Command, error);
            return ExitFailure;
        }
    }
    const std::string& path = parsed->operands[0];
    if (!isInputFile(Command, path)) return ExitFailure;

    std::ifstream input(path, std::ios::binary);
    PackageFile file(input, true);
    std::printf("File: %s\n", printable(path).c_str());
    const bool overlay = file.magic() == OverlayMagic;
    if (file.magic() == PackageMagic || overlay) {
        std::printf("Magic: 0x%08x (%s)\n", file.magic(), overlay ? "overlay package" : "package");
        std::printf("Length: %u\n", file.totalLength() - FileHeaderSize);
    }
    const Walk walk = walkParts(file);
    if (!walk.parts.empty()) std::printf("Parts:\n    offset  type  %-18s %10s\n", "name", "size");
    for (const PartView& part : walk.parts) {
        std::printf("%10u  %4d  %-18s %10u\n", part.offset, part.type, partTypeName(part.type), part.size);
    }

    std::optional<TrustedKey> trusted;
    if (key) trusted = TrustedKey{key->publicKey.data(), &key->constants};
    ListingSink listing;
    const FileVerdict verdict = checkPackageFile(path, trusted ? &*trusted : nullptr, listing);
    OfferedPackage offered;
    if (readPackageFile(offered, path)) {
        printMetadata(offered, "");
        std::vector<const PackageInfo*> packages;
        if (offered.isBundle) {
            std::printf("  Disabled members:");
            for (const Dependency& entry : walk.disabledMembers) std::printf(" %s", printable(entry.name).c_str());
            std::printf("%s\n", walk.disabledMembers.empty() ? " none" : "");
            std::printf("  Members (%zu):\n", offered.members.size());
            for (const auto& member : offered.members) packages.push_back(member.get());
        } else {
            packages.push_back(&offered);
        }
        const char* indent = offered.isBundle ? "    " : "";
        for (std::size_t i = 0; i < packages.size(); ++i) {
            if (offered.isBundle) printMetadata(*packages[i], indent);
            const ListingSink::Listed* listed = i < listing.packages.size() ? &listing.packages[i] : nullptr;
            const std::optional<SignatureView> none;
            printPackageContents(listed, i < walk.signatures.size() ? walk.signatures[i] : none, indent);
        }
    }
    std::fflush(stdout);
    for (const std::string& objection : verdict.objections) commandError(Command, path + ": " + objection);
    return verdict.objections.empty() ? ExitSuccess : ExitFailure;
}

}  // namespace velmora
