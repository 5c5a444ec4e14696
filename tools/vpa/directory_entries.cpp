#include "directory_entries.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace velmora {

namespace {

std::string systemError(const std::string& path) { return path + ": " + std::strerror(errno); }

}  // namespace

bool readWholeFile(const std::string& path, std::string& content, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = systemError(path);
        return false;
    }
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    content = out.str();
    return true;
}

namespace {

bool readLinkTarget(const std::string& path, std::string& target, std::string& error) {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            error = systemError(path);
            return false;
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            target.assign(buffer, 0, static_cast<std::size_t>(length));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Depth first, each directory's names in byte order: a directory comes
// right before its contents.
bool collect(const std::string& root, const std::string& relative, std::vector<FileEntry>& entries,
             std::string& error) {
    std::string directory = root + relative;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        error = systemError(directory);
        return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        errno = readError;
        error = systemError(directory);
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = relative + "/" + name;
        std::string full = root + path;
        struct stat info {};
        if (::lstat(full.c_str(), &info) != 0) {
            error = systemError(full);
            return false;
        }
        FileEntry entry;
        entry.mode = static_cast<std::uint16_t>(info.st_mode & 0xFFFF);
        entry.path = path;
        if (S_ISREG(info.st_mode)) {
            if (!readWholeFile(full, entry.content, error)) return false;
        } else if (S_ISLNK(info.st_mode)) {
            if (!readLinkTarget(full, entry.content, error)) return false;
        } else if (!S_ISDIR(info.st_mode)) {
            error = full + ": not a regular file, directory or symbolic link";
            return false;
        }
        if (entry.content.size() > 0xFFFFFFFFu || entry.path.size() > 0xFFFF) {
            error = full + ": too large for a package";
            return false;
        }
        // The installer makes directories itself and passes over their entries.
        if (S_ISDIR(info.st_mode)) {
            if (!collect(root, path, entries, error)) return false;
            continue;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

}  // namespace

std::optional<std::vector<FileEntry>> collectDirectoryEntries(const std::string& root, std::string& error) {
    std::string base = root;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (base == "/") base.clear();
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0) {
        error = systemError(root);
        return std::nullopt;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = root + ": not a directory";
        return std::nullopt;
    }
    std::vector<FileEntry> entries;
    if (!collect(base, "", entries, error)) return std::nullopt;
    return entries;
}

}  // namespace velmora
