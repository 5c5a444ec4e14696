#include "pdb/db_files.h"

#include <charconv>
#include <streambuf>

namespace velmora {
namespace {

using Traits = std::char_traits<char>;

// White space as the C locale sees it, whatever the process locale is.
bool isSpace(Traits::int_type c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits only, at most limit; false on anything else or overflow.
bool parseMagnitude(std::string_view text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty()) return false;
    std::uint64_t result = 0;
    for (char c : text) {
        if (!isDigit(c)) return false;
        result = result * 10 + static_cast<std::uint64_t>(c - '0');
        if (result > limit) return false;
    }
    value = result;
    return true;
}

bool readUnsignedWord(std::istream& in, std::uint32_t& value) {
    std::string word;
    return readWord(in, word, kMaxDbWord) == WordRead::Word && parseUnsigned(word, value);
}

template <typename Integer>
void writeNumber(std::ostream& out, Integer value) {
    char text[16];
    auto result = std::to_chars(text, text + sizeof text, value);
    out.write(text, result.ptr - text);
}

}  // namespace

WordRead readWord(std::istream& in, std::string& word, std::size_t cap) {
    word.clear();
    std::streambuf* buffer = in.rdbuf();
    if (!in.good() || buffer == nullptr) return WordRead::None;
    Traits::int_type c = buffer->sgetc();
    while (!Traits::eq_int_type(c, Traits::eof()) && isSpace(c)) c = buffer->snextc();
    if (Traits::eq_int_type(c, Traits::eof())) {
        in.setstate(std::ios::eofbit);
        return WordRead::None;
    }
    bool tooLong = false;
    while (!Traits::eq_int_type(c, Traits::eof()) && !isSpace(c)) {
        if (word.size() < cap) {
            word.push_back(Traits::to_char_type(c));
        } else {
            tooLong = true;
        }
        c = buffer->snextc();
    }
    if (Traits::eq_int_type(c, Traits::eof())) in.setstate(std::ios::eofbit);
    if (tooLong) {
        word.clear();
        return WordRead::TooLong;
    }
    return WordRead::Word;
}

bool readLine(std::istream& in, std::string& line, std::size_t cap, bool& tooLong) {
    line.clear();
    tooLong = false;
    std::streambuf* buffer = in.rdbuf();
    if (!in.good() || buffer == nullptr) return false;
    Traits::int_type c = buffer->sbumpc();
    if (Traits::eq_int_type(c, Traits::eof())) {
        in.setstate(std::ios::eofbit);
        return false;
    }
    while (!Traits::eq_int_type(c, Traits::eof()) && Traits::to_char_type(c) != '\n') {
        if (line.size() < cap) {
            line.push_back(Traits::to_char_type(c));
        } else {
            tooLong = true;
        }
        c = buffer->sbumpc();
    }
    if (Traits::eq_int_type(c, Traits::eof())) in.setstate(std::ios::eofbit);
    if (tooLong) line.clear();
    return true;
}

bool parseUnsigned(std::string_view text, std::uint32_t& value) {
    std::uint64_t magnitude = 0;
    if (!parseMagnitude(text, 0xFFFFFFFFu, magnitude)) return false;
    value = static_cast<std::uint32_t>(magnitude);
    return true;
}

bool parseSigned(std::string_view text, std::int32_t& value) {
    bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    std::uint64_t magnitude = 0;
    if (!parseMagnitude(text, negative ? 0x80000000u : 0x7FFFFFFFu, magnitude)) return false;
    // Two's complement of the magnitude, without a signed overflow for -2^31.
    value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                     : static_cast<std::int32_t>(magnitude);
    return true;
}

bool readVersionFile(std::istream& in, Version& version, std::uint32_t& buildTime) {
    return readUnsignedWord(in, version) && readUnsignedWord(in, buildTime);
}

bool readDependencyFile(std::istream& in, bool withPriority, std::vector<Dependency>& out) {
    for (;;) {
        Dependency entry;
        switch (readWord(in, entry.name, kMaxDbWord)) {
        case WordRead::None:
            return true;
        case WordRead::TooLong:
            return false;
        case WordRead::Word:
            break;
        }
        if (!readUnsignedWord(in, entry.min) || !readUnsignedWord(in, entry.max)) return false;
        if (withPriority) {
            std::string word;
            if (readWord(in, word, kMaxDbWord) != WordRead::Word || !parseSigned(word, entry.priority)) {
                return false;
            }
        }
        out.push_back(std::move(entry));
    }
}

bool isKeepablePath(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return false;
    bool namesSomething = false;
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        std::string_view component = path.substr(0, slash);
        if (component == "..") return false;
        if (!component.empty() && component != ".") namesSomething = true;
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return namesSomething;
}

void readFilesFile(std::istream& in, std::set<std::string>& files) {
    std::string line;
    bool tooLong = false;
    while (readLine(in, line, kMaxDbPath, tooLong)) {
        if (tooLong || line.empty()) continue;
        if (line.front() != '/') line.insert(line.begin(), '/');
        if (isKeepablePath(line)) files.insert(line);
    }
}

bool readDisabledFile(std::istream& in) {
    std::string line;
    bool tooLong = false;
    readLine(in, line, kMaxDbWord, tooLong);
    return tooLong || line != "auto";
}

PendingAction readScheduleFile(std::istream& in) {
    std::string word;
    if (readWord(in, word, kMaxDbWord) != WordRead::Word) return None;
    if (word == "uninstall") return Uninstall;
    if (word == "enable") return Enable;
    if (word == "disable") return Disable;
    return None;
}

void writeVersionFile(std::ostream& out, Version version, std::uint32_t buildTime) {
    writeNumber(out, version);
    out.put(' ');
    writeNumber(out, buildTime);
    out.put('\n');
}

void writeDependencyFile(std::ostream& out, const std::vector<Dependency>& list, bool withPriority) {
    for (const Dependency& entry : list) {
        out << entry.name;
        out.put(' ');
        writeNumber(out, entry.min);
        out.put(' ');
        writeNumber(out, entry.max);
        if (withPriority) {
            out.put(' ');
            writeNumber(out, entry.priority);
        }
        out.put('\n');
    }
}

void writeFilesFile(std::ostream& out, const std::set<std::string>& files) {
    for (const std::string& path : files) {
        if (path.empty() || path.find('\n') != std::string::npos) continue;
        std::string_view stored = path;
        if (stored.front() == '/') stored.remove_prefix(1);
        out.write(stored.data(), static_cast<std::streamsize>(stored.size()));
        out.put('\n');
    }
}

}  // namespace velmora
