#pragma once
// Progress, information, warnings and errors of a run: formatted, shown
// around the one-line status display, and kept for the postlog.

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

struct PackageRecord;

inline constexpr const char* kPostlogPath = "/flash/postlog";

// Common step of the three report operations; prefix may be null.
void report(const char* prefix, const char* format, va_list arguments);

void reportError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void reportWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void reportInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Draws text on the status line; an empty text wipes it.
void setStatus(std::string_view text);

// Draws a 77-character progress bar for a package being read.
void showProgress(std::string_view label, std::uint32_t position, std::uint32_t total);

// The name under which installation messages name a package: its bundle
// when it belongs to one, else the package itself.
std::string displayLabel(const PackageRecord& record);

// Keeps the previous postlog's lines and holds 4096 bytes of flash for the
// new one until writePostlog replaces it.
void reservePostlog(const char* path = kPostlogPath);
void writePostlog(const char* path = kPostlogPath);

}  // namespace velmora
