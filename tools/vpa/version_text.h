#pragma once
// Reading version text as people write it ("6.1", "6.1.3", "3.20rc2",
// "5.0beta", "3.20alpha1"): the inverse of versionText for the kinds
// the tool produces.

#include <optional>
#include <string>
#include <string_view>

#include "pdb/version.h"
#include "planning/package_record.h"

namespace velmora {

// The packed version of the text, or nothing when the text is not exactly
// major.minor followed by an optional ".patch" or a pre-release word
// ("alpha", "beta", "rc") with an optional number; every number 0-255.
std::optional<Version> parseVersionText(std::string_view text);

// A bound of a dependency: "", "0" or a version text; "" and "0" give 0
// (unbounded).
std::optional<Version> parseVersionBound(std::string_view text);

// A package name as the tool accepts it: what the installer can store (1
// to 16 bytes, no slash, not beginning with a dot), and no blank or control
// character either (names are words of the database's files).
bool isValidPackageName(std::string_view name);

// A dependency entry written "name", "name:min", "name:min:max" and, when
// withPriority, "name:min:max:priority"; each bound as parseVersionBound
// takes it. Nothing (with the reason in error) for malformed text.
std::optional<Dependency> parseDependencyText(std::string_view text, bool withPriority, std::string& error);

}  // namespace velmora
