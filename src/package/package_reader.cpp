#include "package/package_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "package/byte_order.h"
#include "package/package_format.h"

namespace velmora {

namespace {

constexpr std::uint32_t TextChunk = 4096;

bool readBytes(PackageFile& file, std::uint8_t* bytes, std::uint32_t count) {
    file.read(reinterpret_cast<char*>(bytes), count);
    return !file.fail();
}

// A name field: up to 16 bytes, ending at the first zero byte.
std::string nameField(const std::uint8_t* bytes) {
    const auto* text = reinterpret_cast<const char*>(bytes);
    return std::string(text, strnlen(text, PackageNameSize));
}

// The name becomes a path component in the database and the image store.
bool usableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Reads the current part whole as text. The size field is only a claim, so
// the text grows chunk by chunk with what actually arrives; a part cut short
// leaves the file failed and the text holding what was there.
void readText(PackageFile& file, std::string& text) {
    text.clear();
    std::uint32_t left = file.partSize();
    char chunk[TextChunk];
    while (left > 0) {
        const std::uint32_t ask = std::min(left, TextChunk);
        file.read(chunk, ask);
        text.append(chunk, static_cast<std::size_t>(file.gcount()));
        if (file.fail()) return;
        left -= ask;
    }
}

}  // namespace

bool readDependencyList(PackageFile& file, std::vector<Dependency>& list) {
    std::uint8_t countBytes[2];
    if (!readBytes(file, countBytes, sizeof countBytes)) return false;
    const std::uint32_t count = loadLe16(countBytes);
    // The count is a claim: the whole entries that are there are kept, and
    // a list that promised more is still damaged.
    const std::uint32_t present = std::min(count, file.partRemaining() / DependencyEntrySize);
    for (std::uint32_t i = 0; i < present; ++i) {
        std::uint8_t entry[DependencyEntrySize];
        if (!readBytes(file, entry, DependencyEntrySize)) return false;
        Dependency dependency;
        dependency.name = nameField(entry);
        dependency.min = loadLe32(entry + 16);
        dependency.max = loadLe32(entry + 24);
        dependency.priority = static_cast<std::int32_t>(loadLe32(entry + 28));
        list.push_back(std::move(dependency));
    }
    return present == count;
}

bool readPackageHeader(PackageInfo& record, PackageFile& file) {
    const std::int32_t type = file.currentType();
    if (type != PartHeader && type != PartBundleHeader) return false;
    record.isBundle = type == PartBundleHeader;

    std::uint8_t header[PackageHeaderSize];
    if (!readBytes(file, header, PackageHeaderSize)) return false;
    record.name = nameField(header);
    record.version = loadLe32(header + 16);
    record.buildTime = loadLe32(header + 20);
    if (!usableName(record.name)) return false;
    if (file.partRemaining() >= 4) {
        std::uint8_t flags[4];
        if (readBytes(file, flags, sizeof flags)) record.flags = loadLe32(flags);
    }
    file.nextPart();

    // The metadata parts are looked for in this order only; one that comes
    // after a later one of the list is passed over.
    if (file.currentType() == PartText24) {
        readText(file, record.partText24);
        file.nextPart();
    }
    if (file.currentType() == PartArchitecture) {
        readText(file, record.arch);
        file.nextPart();
    } else {
        record.arch = "i386";
    }
    if (file.currentType() == PartText2) {
        readText(file, record.partText2);
        file.nextPart();
    }
    if (file.currentType() == PartNote) {
        readText(file, record.note);
        file.nextPart();
    }
    const std::pair<std::int32_t, std::vector<Dependency>*> lists[] = {
        {PartDependencies, &record.deps},
        {PartProvides, &record.provides},
        {PartConflicts, &record.conflicts},
    };
    for (const auto& [listType, list] : lists) {
        if (file.currentType() != listType) continue;
        if (!readDependencyList(file, *list)) return false;
        file.nextPart();
    }
    // The caller moves past the keep-image part.
    if (file.currentType() == PartKeepImage) record.keepsImage = true;
    return true;
}

ReadFault readOfferedFile(OfferedPackage& offered, const std::string& path) {
    offered.path = path;
    offered.headerPath = path;

    // Nothing here uses the digest: without hashing, the parts nobody reads
    // (the archive above all) are passed by seeking instead of read and
    // hashed, which would double the cost of an upgrade of a big package.
    std::ifstream input(path, std::ios::binary);
    PackageFile file(input, false);
    offered.packageLength = file.totalLength();
    // Where the reader stood when it gave up.
    auto fault = [&file](ReadFault::Kind kind) {
        return ReadFault{kind, file.currentType(), file.partStart() - PartHeaderSize};
    };
    if (file.bad()) return ReadFault{ReadFault::NotAPackage, -1, 0};

    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && static_cast<std::uint64_t>(status.st_size) != offered.packageLength)
        return ReadFault{ReadFault::Length, -1, 0};
    offered.overlay = file.isOverlay();

    for (std::uint32_t type : {PartBundleHeader, PartHeader, PartText24, PartArchitecture, PartText2, PartNote,
                               PartDependencies, PartProvides, PartConflicts, PartKeepImage})
        file.want(type);
    file.nextPart();
    if (!readPackageHeader(offered, file)) return fault(ReadFault::Header);
    if (!offered.isBundle) return {};

    if (file.currentType() == PartKeepImage) file.nextPart();
    while (file.currentType() == PartHeader) {
        auto member = std::make_unique<PackageInfo>();
        if (!readPackageHeader(*member, file)) return fault(ReadFault::Header);
        offered.members.push_back(std::move(member));
        if (file.currentType() == PartKeepImage) file.nextPart();
    }
    return offered.members.empty() ? ReadFault{ReadFault::NoMember, -1, 0} : ReadFault{};
}

bool readPackageFile(OfferedPackage& offered, const std::string& path) {
    return readOfferedFile(offered, path).kind == ReadFault::None;
}

}  // namespace velmora
