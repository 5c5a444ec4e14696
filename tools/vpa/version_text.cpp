#include "version_text.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/package_format.h"
#include "pdb/package_db.h"

namespace velmora {

namespace {

// Takes one decimal number of 0-255 from the front of text.
std::optional<unsigned> takeNumber(std::string_view& text) {
    std::size_t digits = 0;
    unsigned value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[digits] - '0');
        if (value > 255) {
            return std::nullopt;
        }
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    text.remove_prefix(digits);
    return value;
}

bool takeWord(std::string_view& text, std::string_view word) {
    if (text.substr(0, word.size()) != word) {
        return false;
    }
    text.remove_prefix(word.size());
    return true;
}

Version pack(unsigned major, unsigned minor, unsigned kind, unsigned number) {
    return static_cast<Version>(major) << 24 | static_cast<Version>(minor) << 16 |
           static_cast<Version>(kind) << 8 | static_cast<Version>(number);
}

}  // namespace

std::optional<Version> parseVersionText(std::string_view text) {
    auto major = takeNumber(text);
    if (!major || !takeWord(text, ".")) {
        return std::nullopt;
    }
    auto minor = takeNumber(text);
    if (!minor) {
        return std::nullopt;
    }
    if (text.empty()) {
        return pack(*major, *minor, 'f', 0);
    }
    if (takeWord(text, ".")) {
        auto patch = takeNumber(text);
        if (!patch || !text.empty()) {
            return std::nullopt;
        }
        return pack(*major, *minor, 'f', *patch);
    }
    unsigned kind = 0;
    if (takeWord(text, "alpha")) {
        kind = 'a';
    } else if (takeWord(text, "beta")) {
        kind = 'b';
    } else if (takeWord(text, "rc")) {
        kind = 'c';
    } else {
        return std::nullopt;
    }
    if (text.empty()) {
        return pack(*major, *minor, kind, 0);
    }
    auto number = takeNumber(text);
    if (!number || !text.empty()) {
        return std::nullopt;
    }
    return pack(*major, *minor, kind, *number);
}

std::optional<Version> parseVersionBound(std::string_view text) {
    if (text.empty() || text == "0") {
        return Version{0};
    }
    return parseVersionText(text);
}

bool isValidPackageName(std::string_view name) {
    if (name.size() > PackageNameSize || !isStorableName(name)) return false;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == 0x7F) return false;
    }
    return true;
}

std::optional<Dependency> parseDependencyText(std::string_view text, bool withPriority, std::string& error) {
    std::vector<std::string_view> fields;
    for (;;) {
        std::size_t colon = text.find(':');
        fields.push_back(text.substr(0, colon));
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
    }
    std::size_t maxFields = withPriority ? 4 : 3;
    if (fields.size() > maxFields) {
        error = withPriority ? "expected name:min:max:priority" : "expected name:min:max";
        return std::nullopt;
    }
    Dependency entry;
    entry.name = std::string(fields[0]);
    if (!isValidPackageName(entry.name)) {
        error = "bad package name '" + entry.name + "'";
        return std::nullopt;
    }
    Version* bounds[] = {&entry.min, &entry.max};
    for (std::size_t i = 1; i < fields.size() && i < 3; ++i) {
        auto bound = parseVersionBound(fields[i]);
        if (!bound) {
            error = "bad version '" + std::string(fields[i]) + "'";
            return std::nullopt;
        }
        *bounds[i - 1] = *bound;
    }
    if (entry.max != 0 && entry.min > entry.max) {
        error = "the minimum " + std::string(fields[1]) + " is above the maximum " + std::string(fields[2]);
        return std::nullopt;
    }
    if (fields.size() == 4 && !fields[3].empty()) {
        std::int32_t priority = 0;
        auto [end, result] = std::from_chars(fields[3].data(), fields[3].data() + fields[3].size(), priority);
        if (result != std::errc() || end != fields[3].data() + fields[3].size()) {
            error = "bad priority '" + std::string(fields[3]) + "'";
            return std::nullopt;
        }
        entry.priority = priority;
    }
    return entry;
}

}  // namespace velmora
