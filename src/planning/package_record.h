#pragma once
// Package metadata and the two kinds of object that carry it: a catalogue
// record of an installed or stored package, and an offered package file.

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pdb/version.h"

namespace velmora {

// One entry of a requirement, provision or conflict list, and the bundle
// reference of a record. A bound of 0 means unbounded.
struct Dependency {
    std::string name;
    Version min = 0;
    Version max = 0;
    std::int32_t priority = 0;
};

enum PendingAction : std::int32_t { None = 0, Uninstall = 1, Enable = 2, Disable = 3 };

struct PackageInfo {
    PackageInfo() = default;
    explicit PackageInfo(std::string packageName) : name(std::move(packageName)) {}
    PackageInfo(const PackageInfo&) = delete;
    PackageInfo& operator=(const PackageInfo&) = delete;
    virtual ~PackageInfo() = default;

    std::string name;
    Version version = 0;
    std::uint32_t buildTime = 0;
    std::uint32_t flags = 0;  // bit 0: boot image; bit 1: no metadata files in the database
    std::string partText24;
    std::string arch = "i386";
    std::string partText2;
    std::string note;
    bool keepsImage = false;
    std::vector<Dependency> deps;
    std::vector<Dependency> provides;
    std::vector<Dependency> conflicts;
    bool isBundle = false;
    std::vector<std::unique_ptr<PackageInfo>> members;  // members of an offered bundle
};

// A placeholder record carries all-ones as version and build time; only
// values read from a package header or the database make one.
inline constexpr std::uint32_t kPlaceholderMark = 0xFFFFFFFF;

inline bool isPlaceholder(const PackageInfo& package) {
    return package.version == kPlaceholderMark && package.buildTime == kPlaceholderMark;
}

inline constexpr std::uint32_t FlagBootImage = 0x1;
inline constexpr std::uint32_t FlagNoMetadata = 0x2;

struct PackageRecord : PackageInfo {
    using PackageInfo::PackageInfo;

    std::set<std::string> files;  // paths below /flash, each beginning with "/"
    Dependency bundleRef;          // empty name: installed on its own
    bool disabled = false;
    bool userForced = false;
    PendingAction action = None;
};

struct OfferedPackage : PackageInfo {
    using PackageInfo::PackageInfo;

    std::string path;
    std::string headerPath;  // set to the same path when the header is read
    std::uint32_t packageLength = 0;
    bool overlay = false;
};

}  // namespace velmora
