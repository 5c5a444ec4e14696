#pragma once
// Option scanning shared by the vpa commands, and their exit statuses.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailure = 1;  // the work failed: unreadable input, damaged package
inline constexpr int ExitUsage = 2;    // the command line is wrong

struct OptionRule {
    std::string_view name;  // "--name", or a short form "-o"
    bool takesValue = false;
    std::string_view alias = {};  // the long name a short form stands for
};

struct ParsedOptions {
    // In command-line order, each under its long name; repeatable options
    // appear once per use.
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> operands;
    bool help = false;

    bool has(std::string_view name) const;
    // The last value given for name.
    std::optional<std::string> value(std::string_view name) const;
    std::vector<std::string> values(std::string_view name) const;
};

// Scans args against the options a command knows. "--name=value" and
// "--name value" are both accepted; "--" ends the options; "-h" and
// "--help" set help. Unknown options and missing values: nothing, with the
// reason in error.
std::optional<ParsedOptions> parseOptions(const std::vector<std::string>& args, const std::vector<OptionRule>& rules,
                                          std::string& error);

// Numbers of the command line: decimal, or hexadecimal after "0x".
std::optional<unsigned long> parseUnsigned(std::string_view text, unsigned long max);
std::optional<long> parseSigned(std::string_view text, long min, long max);

// The build time of --build-time, or without it $SOURCE_DATE_EPOCH (for
// reproducible builds), else the current time; nothing for malformed text.
std::optional<std::uint32_t> buildTimeOption(const std::optional<std::string>& text);

// Writes bytes to path through a temporary file beside it, so that a failed
// run leaves no half-written package; the file gets the permissions mode
// (a private key is written 0600). False with the reason in error.
bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string& error,
                         unsigned mode = 0644);

// Prints "vpa CMD: message" on standard error.
void commandError(const char* command, const std::string& message);

// True when path names a regular file; otherwise says why, naming it.
bool isInputFile(const char* command, const std::string& path);

// Text for a terminal: control and non-ASCII bytes and backslashes as \xNN.
std::string printable(std::string_view text);

}  // namespace velmora
