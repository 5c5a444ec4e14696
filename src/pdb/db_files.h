#pragma once
// Readers and writers of the package database's small text files, kept
// apart from the file system so that they can be tested and fuzzed on
// plain streams.
//
// The database lives on flash and may be damaged or half-written, so the
// readers accept any bytes: words and lines are read with a cap (an
// over-long one is consumed without being kept), numbers are whole words of
// decimal digits that fit their type, and nothing is allocated beyond what
// the input actually holds. A stream that is not open reads as empty.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "pdb/version.h"
#include "planning/package_record.h"

namespace velmora {

// Longest word (a name or a number) that is kept; package names are at
// most 15 bytes, so anything near this is damage.
inline constexpr std::size_t kMaxDbWord = 255;
// Longest "files" line, without its "\n", that is kept; longer lines are
// dropped.
inline constexpr std::size_t kMaxDbPath = 4096;

enum class WordRead { None, Word, TooLong };

// Skips white space and reads one word of at most cap bytes. None: the
// input ended first. TooLong: a word was there but longer than cap; it has
// been consumed and word is left empty.
WordRead readWord(std::istream& in, std::string& word, std::size_t cap);

// Reads up to the next "\n" (consumed, not kept) or the end of the input.
// False when nothing was left to read. A line longer than cap is consumed
// whole and comes back with tooLong set and line empty.
bool readLine(std::istream& in, std::string& line, std::size_t cap, bool& tooLong);

// Decimal digits only, no sign, no overflow.
bool parseUnsigned(std::string_view text, std::uint32_t& value);
// An optional "-" and decimal digits, within the signed 32-bit range.
bool parseSigned(std::string_view text, std::int32_t& value);

// "version": two unsigned numbers, assigned as they are read. False when
// either is missing or unreadable.
bool readVersionFile(std::istream& in, Version& version, std::uint32_t& buildTime);

// "deps" and "conflicts" (name, min, max) or "provides" (and a signed
// priority). Complete entries are appended until no further name can be
// read. False when an entry was cut short or damaged: the list ends there.
bool readDependencyFile(std::istream& in, bool withPriority, std::vector<Dependency>& out);

// A path read from "files" may be kept: it has no NUL byte, no ".."
// component (removal would leave /flash) and names something below /flash
// rather than /flash itself.
bool isKeepablePath(std::string_view path);

// "files": one path per line; empty lines, over-long lines and paths that
// are not keepable are skipped; a path gets a leading "/" if it has none.
void readFilesFile(std::istream& in, std::set<std::string>& files);

// "disabled": true (user-forced) unless its first line is exactly "auto".
bool readDisabledFile(std::istream& in);

// The schedule: its first word "uninstall", "enable" or "disable", or None.
PendingAction readScheduleFile(std::istream& in);

void writeVersionFile(std::ostream& out, Version version, std::uint32_t buildTime);
void writeDependencyFile(std::ostream& out, const std::vector<Dependency>& list, bool withPriority);
// Paths in set order, one leading "/" removed. Empty paths are skipped, and
// so are paths with a line break, which would read back as other paths.
void writeFilesFile(std::ostream& out, const std::set<std::string>& files);

}  // namespace velmora
