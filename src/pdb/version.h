#pragma once
// Packed version numbers: major.minor, a kind letter and a number in one
// unsigned word, so that plain unsigned comparison orders releases.

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

using Version = std::uint32_t;

struct PackageInfo;

// Text form of a version ("6.1", "6.1.3", "3.20rc2", "5.0beta"). The text
// lives in one shared buffer that the next call overwrites.
const char* versionText(Version version);

// name-version, always ("stavel-6.1", "stavel-0.0").
std::string recordLabel(const PackageInfo& package);

// The name alone when the version is 0, otherwise name-version.
std::string requirementLabel(std::string_view name, Version version);

}  // namespace velmora
