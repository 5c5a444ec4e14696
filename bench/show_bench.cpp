// Loading the catalogue and listing it (what `installer --show` does after
// entering its root) over package databases of 10, 100 and 1,000 installed
// packages, each keeping its image, with tiny images and with 1 MiB images
// (and 16 MiB ones for the two smaller counts).
// Parts nobody reads are passed by seeking, so the time should follow the
// number of packages and not the size of their images.
//
// The databases are generated once per configuration in a tmpfs
// (/dev/shm, or $SHOW_BENCH_DIR) and removed at exit.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "package_builder.h"
#include "pdb/package_db.h"
#include "run/installer.h"
#include "run/listing.h"
#include "run/repository.h"

namespace velmora {
namespace {

constexpr Version kVersion = 100754944;  // 6.1

std::string scratchBase() {
    const char* chosen = std::getenv("SHOW_BENCH_DIR");
    return chosen ? chosen : "/dev/shm";
}

// An installed package as it is kept in the database: its image, plus a big
// archive part for the large case (raw bytes: the loader never reads it).
std::string packageImage(const std::string& name, std::size_t archiveBytes) {
    PackageRecipe recipe;
    recipe.name = name;
    recipe.version = kVersion;
    recipe.buildTime = 1300000000;
    recipe.note = "benchmark package " + name;
    recipe.deps = {Dependency{"stavel", 100689408, 0, 0}, Dependency{"libc", 0, 0, 0}};
    recipe.keepImage = true;
    if (archiveBytes == 0) {
        recipe.files = {regularFile("/bin/" + name, "#!/bin/sh\n")};
    } else {
        recipe.withArchive = false;
        std::string archive(archiveBytes, '\0');
        for (std::size_t i = 0; i < archive.size(); ++i) archive[i] = static_cast<char>((i * 2654435761u) >> 13);
        recipe.extraParts = {ExtraPart{PartFileArchive, std::move(archive), PartSignature}};
    }
    return buildPackage(recipe);
}

class Databases {
public:
    ~Databases() {
        std::error_code ignored;
        for (const auto& [key, root] : roots_) std::filesystem::remove_all(root, ignored);
    }

    // The root of a database of count packages with images of about
    // archiveBytes each, made on first use.
    const std::string& root(int count, std::size_t archiveBytes) {
        const auto key = std::make_pair(count, archiveBytes);
        auto found = roots_.find(key);
        if (found != roots_.end()) return found->second;

        std::string pattern = scratchBase() + "/show-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        const std::string root = pattern;
        std::filesystem::create_directories(root + "/ram/pdb");
        std::filesystem::create_directories(root + "/rw/pckg/.images");
        for (int i = 0; i < count; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "pkg%04d", i);
            const std::string dir = root + "/flash/var/pdb/" + name;
            std::filesystem::create_directories(dir);
            std::ofstream(dir + "/image", std::ios::binary) << packageImage(name, archiveBytes);
        }
        return roots_.emplace(key, root).first->second;
    }

private:
    std::map<std::pair<int, std::size_t>, std::string> roots_;
};

Databases& databases() {
    static Databases all;
    return all;
}

// Sends standard output (the listing) to /dev/null while it lives.
class SilencedOutput {
public:
    SilencedOutput() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~SilencedOutput() {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    SilencedOutput(const SilencedOutput&) = delete;
    SilencedOutput& operator=(const SilencedOutput&) = delete;

private:
    int saved_ = -1;
};

void BM_LoadAndList(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::size_t archiveBytes = static_cast<std::size_t>(state.range(1)) * 1024;
    const std::string& root = databases().root(count, archiveBytes);

    DbPaths paths;
    paths.dbRoot = root + "/flash/var/pdb/";
    paths.scheduleRoot = root + "/ram/pdb/";
    paths.flashRoot = root + "/flash";
    paths.bootImage = root + "/flash/bootimage";
    paths.imageStore = root + "/rw/pckg/.images/";
    setDbPaths(paths);

    Installer& installer = Installer::instance();
    {
        SilencedOutput silenced;
        for (auto _ : state) {
            loadRepository(installer, true, "powerpc");
            listPackages(installer);
            state.PauseTiming();
            if (installer.packages.size() != static_cast<std::size_t>(count)) state.SkipWithError("wrong record count");
            installer.packages.clear();
            state.ResumeTiming();
        }
    }
    state.counters["per_package"] =
        benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
    setDbPaths({});
}

BENCHMARK(BM_LoadAndList)
    ->ArgNames({"packages", "archive_kib"})
    ->ArgsProduct({{10, 100, 1000}, {0, 1024}})
    ->Args({10, 16384})
    ->Args({100, 16384})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora
