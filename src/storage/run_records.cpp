#include "storage/run_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <utility>
#include <vector>

#include "storage/change_set.h"
#include "storage/file_helpers.h"

namespace velmora {
namespace {

constexpr const char* kRegisterName = ".staged";
constexpr const char* kDowngradeName = ".downgrade";
constexpr unsigned kMaxRegisterEntries = 100000;

struct RecordState {
    std::string dir;
    std::set<std::string> notedDirs;  // directories registered by this run
    std::string lastNoted;
    bool registerMade = false;
    unsigned nextEntry = 0;
    std::uint32_t random = 0;
};

RecordState& state() {
    static RecordState records;
    return records;
}

std::string registerDir() { return state().dir + kRegisterName; }



std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) return names;
    while (const dirent* entry = ::readdir(handle)) {
        if (std::string_view(entry->d_name) != "." && std::string_view(entry->d_name) != "..") {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(handle);
    return names;
}

std::string readLinkText(const std::string& path) {
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return "";
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// The files a pending manifest would still move into place.
std::set<std::string> manifestSources() {
    std::set<std::string> sources;
    ChangeSet pending;
    loadManifest(pending, kManifestPath);
    for (const auto& [target, op] : pending.ops) {
        if (op.kind == FileOpKind::Move || op.kind == FileOpKind::MoveTemp) sources.insert(collapsedPath(op.source));
    }
    return sources;
}

bool anyExists(const std::set<std::string>& paths) {
    for (const std::string& path : paths) {
        struct stat st {};
        if (isStagedName(path) && ::lstat(path.c_str(), &st) == 0) return true;
    }
    return false;
}

void removeRegister() {
    const std::string dir = registerDir();
    for (const std::string& name : entriesOf(dir)) ::unlink((dir + "/" + name).c_str());
    ::rmdir(dir.c_str());
    state().registerMade = false;
    state().notedDirs.clear();
    state().lastNoted.clear();
}

}  // namespace

void setRecordDir(std::string dir) {
    state() = RecordState{};
    state().dir = std::move(dir);
}

const std::string& recordDir() { return state().dir; }

bool isStagedName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.size() - start == 9 && path.compare(start, 3, "tmp") == 0;
}

std::string collapsedPath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out += c;
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

void noteStagingDir(const std::string& dir) {
    RecordState& records = state();
    if (records.dir.empty() || dir == records.lastNoted) return;
    records.lastNoted = dir;
    if (!records.notedDirs.insert(dir).second) return;
    if (!records.registerMade) {
        makeDirs(registerDir());
        records.registerMade = true;
    }
    // Entries of a run whose manifest is pending may still be there.
    while (records.nextEntry < kMaxRegisterEntries) {
        const std::string entry = registerDir() + "/" + std::to_string(records.nextEntry++);
        if (::symlink(dir.c_str(), entry.c_str()) == 0 || errno != EEXIST) break;
    }
}

std::string stagedNameIn(const std::string& dir) {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    noteStagingDir(dir);
    std::uint32_t& random = state().random;
    if (random == 0) {
        random = static_cast<std::uint32_t>(::getpid()) * 2654435761u ^ static_cast<std::uint32_t>(std::time(nullptr));
        random |= 1;
    }
    std::string name = dir + "/tmp";
    for (int i = 0; i < 6; ++i) {
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        name += kLetters[random % (sizeof kLetters - 1)];
    }
    return name;
}

bool manifestPending() {
    struct stat st {};
    return ::lstat(kManifestPath, &st) == 0;
}

bool hasStagingRecords() {
    if (state().dir.empty()) return false;
    return !entriesOf(registerDir()).empty();
}

void removeStagedLeftovers(const std::set<std::string>& keep) {
    if (state().dir.empty()) return;
    const bool pending = manifestPending();
    const std::set<std::string> needed = pending ? manifestSources() : std::set<std::string>{};
    std::set<std::string> noted;
    const std::string dir = registerDir();
    for (const std::string& entry : entriesOf(dir)) {
        const std::string stagingDir = readLinkText(dir + "/" + entry);
        if (!stagingDir.empty()) noted.insert(stagingDir);
    }
    for (const std::string& stagingDir : noted) {
        for (const std::string& name : entriesOf(stagingDir)) {
            const std::string path = stagingDir + "/" + name;
            if (!isStagedName(path)) continue;
            const std::string collapsed = collapsedPath(path);
            if (keep.count(collapsed) != 0 || needed.count(collapsed) != 0) continue;
            struct stat st {};
            if (::lstat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
                ::unlink(path.c_str());
            }
        }
    }
    if (!pending || !anyExists(needed)) removeRegister();
}

void removeUnfinishedRecords() {
    if (state().dir.empty()) return;
    // Files that were being written whole when the run stopped.
    for (const std::string& path :
         {std::string(kManifestPath) + ".new", state().dir + ".journal.new", state().dir + ".schedule.new"}) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    }
}

void dropStagingRegister(bool manifestConsumed) {
    if (state().dir.empty()) return;
    // A manifest whose staged files are gone (carried out already) needs no
    // register to find them.
    if (!manifestConsumed && manifestPending() && anyExists(manifestSources())) return;
    removeRegister();
}

bool keepDowngradePermission() {
    if (state().dir.empty()) return true;
    const int fd = ::open((state().dir + kDowngradeName).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return errno == ENOENT;  // no database: no run to complete
    ::close(fd);
    return true;
}

bool downgradePermitted() {
    if (state().dir.empty()) return false;
    struct stat st {};
    return ::lstat((state().dir + kDowngradeName).c_str(), &st) == 0;
}

void dropDowngradePermission() {
    if (state().dir.empty()) return;
    ::unlink((state().dir + kDowngradeName).c_str());
}

}  // namespace velmora
