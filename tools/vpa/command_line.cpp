#include "command_line.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace velmora {

bool ParsedOptions::has(std::string_view name) const {
    for (const auto& option : options) {
        if (option.first == name) return true;
    }
    return false;
}

std::optional<std::string> ParsedOptions::value(std::string_view name) const {
    std::optional<std::string> found;
    for (const auto& option : options) {
        if (option.first == name) found = option.second;
    }
    return found;
}

std::vector<std::string> ParsedOptions::values(std::string_view name) const {
    std::vector<std::string> found;
    for (const auto& option : options) {
        if (option.first == name) found.push_back(option.second);
    }
    return found;
}

std::optional<ParsedOptions> parseOptions(const std::vector<std::string>& args, const std::vector<OptionRule>& rules,
                                          std::string& error) {
    ParsedOptions parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            parsed.help = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (std::size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            inlineValue = arg.substr(equals + 1);
        }
        const OptionRule* recipe = nullptr;
        for (const OptionRule& candidate : rules) {
            if (candidate.name == name) recipe = &candidate;
        }
        if (recipe == nullptr) {
            error = "unknown option '" + name + "'";
            return std::nullopt;
        }
        std::string longName(recipe->alias.empty() ? recipe->name : recipe->alias);
        if (!recipe->takesValue) {
            if (inlineValue) {
                error = "option '" + name + "' takes no value";
                return std::nullopt;
            }
            parsed.options.emplace_back(longName, std::string());
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = "option '" + name + "' needs a value";
                return std::nullopt;
            }
            inlineValue = args[++i];
        }
        parsed.options.emplace_back(longName, *inlineValue);
    }
    return parsed;
}

std::optional<unsigned long> parseUnsigned(std::string_view text, unsigned long max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned long value = 0;
    auto [end, result] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || result != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<long> parseSigned(std::string_view text, long min, long max) {
    long value = 0;
    auto [end, result] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result != std::errc() || end != text.data() + text.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> buildTimeOption(const std::optional<std::string>& text) {
    if (text) {
        auto value = parseUnsigned(*text, 0xFFFFFFFFul);
        if (!value) return std::nullopt;
        return static_cast<std::uint32_t>(*value);
    }
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        if (auto value = parseUnsigned(epoch, 0xFFFFFFFFul)) return static_cast<std::uint32_t>(*value);
    }
    return static_cast<std::uint32_t>(std::time(nullptr));
}

bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string& error, unsigned mode) {
    std::string temporary = path + ".XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file private; a package is an ordinary file.
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
    if (::close(fd) != 0) ok = false;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool isInputFile(const char* command, const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        commandError(command, "cannot open " + path + ": " + std::strerror(errno));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        commandError(command, path + ": not a regular file");
        return false;
    }
    return true;
}

std::string printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace velmora
