// Feeds arbitrary bytes to every reader of the package database's text
// files and checks that what a reader accepts is written back in a form
// that reads the same.

#include <cstdint>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pdb/db_files.h"

namespace {

using namespace velmora;

void check(bool condition) {
    if (!condition) std::abort();
}

std::istringstream streamOf(const std::string& bytes) {
    return std::istringstream(bytes, std::ios::in | std::ios::binary);
}

bool sameList(const std::vector<Dependency>& a, const std::vector<Dependency>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].min != b[i].min || a[i].max != b[i].max ||
            a[i].priority != b[i].priority) {
            return false;
        }
    }
    return true;
}

void checkList(const std::string& bytes, bool withPriority) {
    auto in = streamOf(bytes);
    std::vector<Dependency> list;
    readDependencyFile(in, withPriority, list);
    for (const Dependency& entry : list) {
        check(!entry.name.empty() && entry.name.size() <= kMaxDbWord);
        if (!withPriority) check(entry.priority == 0);
    }
    std::ostringstream out;
    writeDependencyFile(out, list, withPriority);
    auto again = streamOf(out.str());
    std::vector<Dependency> back;
    check(readDependencyFile(again, withPriority, back));
    check(sameList(list, back));
}

void checkVersion(const std::string& bytes) {
    auto in = streamOf(bytes);
    Version version = 0;
    std::uint32_t buildTime = 0;
    if (!readVersionFile(in, version, buildTime)) return;
    std::ostringstream out;
    writeVersionFile(out, version, buildTime);
    auto again = streamOf(out.str());
    Version versionBack = 0;
    std::uint32_t buildTimeBack = 0;
    check(readVersionFile(again, versionBack, buildTimeBack));
    check(version == versionBack && buildTime == buildTimeBack);
}

std::set<std::string> filesRoundTrip(const std::set<std::string>& files) {
    std::ostringstream out;
    writeFilesFile(out, files);
    auto in = streamOf(out.str());
    std::set<std::string> back;
    readFilesFile(in, back);
    return back;
}

// Leading slashes collapsed: "//x" and "/x" name the same file below /flash.
std::set<std::string> collapsed(const std::set<std::string>& files) {
    std::set<std::string> result;
    for (const std::string& path : files) {
        std::size_t start = path.find_first_not_of('/');
        result.insert("/" + (start == std::string::npos ? std::string() : path.substr(start)));
    }
    return result;
}

void checkFiles(const std::string& bytes) {
    auto in = streamOf(bytes);
    std::set<std::string> files;
    readFilesFile(in, files);
    for (const std::string& path : files) {
        check(path.size() <= kMaxDbPath + 1 && path.front() == '/' && isKeepablePath(path));
    }
    // Writing drops one leading "/", so "//x" comes back as "/x": the same
    // file. Every path must come back naming the same file.
    std::set<std::string> back = filesRoundTrip(files);
    check(collapsed(back) == collapsed(files));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    checkVersion(bytes);
    checkList(bytes, false);
    checkList(bytes, true);
    {
        std::string word;
        auto in = streamOf(bytes);
        readWord(in, word, kMaxDbWord);
        check(word.size() <= kMaxDbWord);
    }
    checkFiles(bytes);
    {
        auto in = streamOf(bytes);
        readDisabledFile(in);
    }
    {
        auto in = streamOf(bytes);
        PendingAction action = readScheduleFile(in);
        check(action == None || action == Uninstall || action == Enable || action == Disable);
    }
    return 0;
}
