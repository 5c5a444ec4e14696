// The floor for a whole install: the least work that puts a package's files
// on disk. It finds the file archive of a package file, inflates it through
// the installer's own InflateStream (4096-byte steps, 16384-byte reads) and
// writes every regular file with open/write/close. It neither hashes nor
// verifies the signature, keeps no database entry, shows no progress.
//
//   install_floor PACKAGE DESTDIR            staged (the default)
//   install_floor --direct PACKAGE DESTDIR   in place
//
// Staged, as the installer does for a package whose directories are new:
// every file is written to a temporary file in DESTDIR, and when the archive
// has been read the directories are made and each file renamed into place.
// In place: the directories are made as they come and each file is written
// at its target, with no rename.
//
// Exit status 0 on success, 1 on a failure (reported on standard error).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "package/byte_order.h"
#include "package/package_format.h"
#include "storage/inflate_stream.h"

namespace {

using namespace velmora;

constexpr std::uint32_t kCopyPiece = 16384;
constexpr std::size_t kEntryHeaderSize = 30;

bool fail(const char* what, const std::string& path) {
    std::fprintf(stderr, "install_floor: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
    return false;
}

// Leaves the stream at the first byte of the file archive's data.
bool seekToArchive(std::ifstream& in) {
    std::uint8_t header[FileHeaderSize];
    if (!in.read(reinterpret_cast<char*>(header), FileHeaderSize)) return false;
    const std::uint32_t magic = loadLe32(header);
    if (magic != PackageMagic && magic != OverlayMagic) return false;
    for (;;) {
        std::uint8_t part[PartHeaderSize];
        if (!in.read(reinterpret_cast<char*>(part), PartHeaderSize)) return false;
        if (loadLe16(part) == PartFileArchive) return true;
        if (!in.seekg(loadLe32(part + 2), std::ios::cur)) return false;
    }
}

class DirectoryMaker {
public:
    bool makeParents(const std::string& path) {
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0) return true;
        return make(path.substr(0, slash));
    }

private:
    bool make(const std::string& dir) {
        if (made_.count(dir) != 0) return true;
        if (::mkdir(dir.c_str(), 0755) != 0) {
            if (errno == ENOENT) {
                if (!makeParents(dir) || ::mkdir(dir.c_str(), 0755) != 0) return fail("mkdir", dir);
            } else if (errno != EEXIST) {
                return fail("mkdir", dir);
            }
        }
        made_.insert(dir);
        return true;
    }

    std::set<std::string> made_;
};

bool writeFile(std::istream& in, const std::string& path, std::uint32_t size, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) return fail("open", path);
    char buffer[kCopyPiece];
    while (size > 0) {
        const std::uint32_t step = size < kCopyPiece ? size : kCopyPiece;
        if (!in.read(buffer, step)) {
            std::fprintf(stderr, "install_floor: archive ends inside %s\n", path.c_str());
            ::close(fd);
            return false;
        }
        if (::write(fd, buffer, step) != static_cast<ssize_t>(step)) {
            ::close(fd);
            return fail("write", path);
        }
        size -= step;
    }
    if (::close(fd) != 0) return fail("close", path);
    return true;
}

int run(bool direct, const char* packagePath, const std::string& dest) {
    std::ifstream package(packagePath, std::ios::in | std::ios::binary);
    if (!package.is_open() || !seekToArchive(package)) {
        std::fprintf(stderr, "install_floor: %s: no file archive found\n", packagePath);
        return 1;
    }
    InflateStream inflate(package);
    DirectoryMaker dirs;
    std::vector<std::pair<std::string, std::string>> staged;  // temporary file, target
    std::string path;
    std::uint8_t header[kEntryHeaderSize];

    for (;;) {
        if (!inflate.read(reinterpret_cast<char*>(header), kEntryHeaderSize)) break;
        const std::uint16_t mode = loadLe16(header);
        const std::uint32_t dataSize = loadLe32(header + 24);
        const std::uint16_t nameLength = loadLe16(header + 28);
        path.resize(nameLength);
        if (!inflate.read(path.data(), nameLength)) {
            std::fprintf(stderr, "install_floor: archive ends inside a path\n");
            return 1;
        }
        if ((mode & 0xF000) != 0x8000) {
            inflate.seekg(dataSize, std::ios::cur);
            continue;
        }
        std::string target = dest;
        if (path.empty() || path.front() != '/') target += '/';
        target += path;
        const mode_t permissions = mode & 07777;
        if (direct) {
            if (!dirs.makeParents(target) || !writeFile(inflate, target, dataSize, permissions)) return 1;
        } else {
            std::string temporary = dest + "/tmp" + std::to_string(staged.size());
            if (!writeFile(inflate, temporary, dataSize, permissions)) return 1;
            staged.emplace_back(std::move(temporary), std::move(target));
        }
    }

    for (const auto& [temporary, target] : staged) {
        if (!dirs.makeParents(target)) return 1;
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            fail("rename", target);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool direct = false;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--direct") == 0) {
        direct = true;
        ++first;
    }
    if (argc - first != 2) {
        std::fprintf(stderr, "usage: install_floor [--direct] PACKAGE DESTDIR\n");
        return 2;
    }
    return run(direct, argv[first], argv[first + 1]);
}
