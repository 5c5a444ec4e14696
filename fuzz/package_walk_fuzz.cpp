// Walks a package file part by part the way the installer's readers do, with
// hashing on (and a copy output) and off (seeking the source).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <sstream>

#include "memory_source.h"
#include "package/package_format.h"
#include "package/package_reader.h"
#include "package/package_stream.h"
#include "storage/inflate_stream.h"

namespace {

using namespace velmora;

void check(bool condition) {
    if (!condition) std::abort();
}

// Pokes at the current part the way a careless reader might.
void fiddle(PackageFile& file, std::uint32_t seed) {
    char buffer[64];
    switch (seed % 5) {
        case 0:
            file.read(buffer, seed % sizeof buffer);
            break;
        case 1:
            file.get();
            file.unget();
            file.get();
            break;
        case 2:
            file.seekg(static_cast<std::streamoff>(seed % 97), std::ios::cur);
            file.seekg(static_cast<std::streamoff>(seed % 13));
            break;
        case 3: {
            InflateStream archive(file);
            archive.read(buffer, sizeof buffer);
            archive.seekg(static_cast<std::streamoff>(seed % 5000), std::ios::cur);
            break;
        }
        default:
            file.readsome(buffer, sizeof buffer);
            file.tellg();
            break;
    }
}

void walk(const std::uint8_t* data, std::size_t size, bool hashing) {
    fuzz::MemorySource memory(data, size);
    std::istream source(&memory);
    std::stringbuf copy;
    PackageFile file(source, hashing, hashing ? &copy : nullptr);
    for (std::uint32_t type : {18, 1, 24, 16, 2, 23, 3, 19, 17, 21, 20, 4, 9}) file.want(type);

    std::uint32_t seed = static_cast<std::uint32_t>(size);
    std::int32_t type = file.nextPart();
    for (int guard = 0; type != -1 && guard < 100000; ++guard) {
        seed = seed * 1103515245u + 12345u;
        if (type == PartHeader || type == PartBundleHeader) {
            PackageInfo info;
            type = readPackageHeader(info, file) ? file.currentType() : file.nextPart();
            continue;
        }
        if (type == PartDependencies || type == PartProvides || type == PartConflicts || type == PartDisabledMembers) {
            std::vector<Dependency> list;
            readDependencyList(file, list);
            check(list.size() * 32 <= file.partSize());
        } else if (type == PartSignature) {
            file.verifySignature();
        } else {
            fiddle(file, seed >> 8);
        }
        if (file.fail() && !file.bad()) file.clear();
        type = file.nextPart();
    }
    if (hashing) {
        // Every byte taken from the source reaches the copy, once, in order;
        // only a cut-short file or part header at the very end is not copied.
        const std::string copied = copy.str();
        check(copied.size() <= memory.consumed() && memory.consumed() - copied.size() < 8);
        check(std::memcmp(copied.data(), data, copied.size()) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    walk(data, size, true);
    walk(data, size, false);
    return 0;
}
