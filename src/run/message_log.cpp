#include "run/message_log.h"

#include <cstdio>
#include <string>
#include <unistd.h>

#include "planning/package_record.h"
#include "run/installer.h"

namespace velmora {
namespace {

constexpr std::size_t kMessageBuffer = 256;
constexpr std::size_t kProgressLine = 77;
constexpr std::size_t kPostlogReserve = 4096;

void writeOut(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void wipeStatusLine() {
    std::fputc('\r', stdout);
    for (int i = 0; i < 79; ++i) std::fputc(' ', stdout);
    std::fputc('\r', stdout);
    std::fflush(stdout);
}

}  // namespace

void report(const char* prefix, const char* format, va_list arguments) {
    Installer& installer = Installer::instance();
    std::string message = prefix ? prefix : "";
    char text[kMessageBuffer];
    std::vsnprintf(text, sizeof text, format, arguments);
    message += text;
    if (installer.quiet) return;

    if (!installer.status.empty()) wipeStatusLine();
    writeOut(message);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (!installer.status.empty()) {
        writeOut(installer.status);
        std::fflush(stdout);
    }
    installer.messages.push_back(std::move(message));
}

void reportError(const char* format, ...) {
    setStatus("");
    va_list arguments;
    va_start(arguments, format);
    report("ERROR: ", format, arguments);
    va_end(arguments);
}

void reportWarning(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report("WARNING: ", format, arguments);
    va_end(arguments);
}

void reportInfo(const char* format, ...) {
    setStatus("");
    va_list arguments;
    va_start(arguments, format);
    report(nullptr, format, arguments);
    va_end(arguments);
}

void setStatus(std::string_view text) {
    Installer& installer = Installer::instance();
    if (installer.quiet || text == installer.status) return;
    writeOut("\x1b[?25l\r");
    writeOut(text);
    for (std::size_t i = text.size(); i < installer.status.size(); ++i) std::fputc(' ', stdout);
    writeOut("\r\x1b[?25h");
    std::fflush(stdout);
    installer.status.assign(text);
}

void showProgress(std::string_view label, std::uint32_t position, std::uint32_t total) {
    std::string line(label);
    line += " [";
    // The bar fills what the label leaves of 77 characters. A label too
    // long, an empty package or a position past the end must not produce a
    // negative width or a division by zero: the bar is clamped instead.
    std::size_t width = line.size() < kProgressLine - 1 ? kProgressLine - 1 - line.size() : 0;
    std::size_t filled = 0;
    if (total == 0 || position >= total) {
        filled = width;
    } else {
        filled = static_cast<std::size_t>(static_cast<std::uint64_t>(position) * width / total);
    }
    line.append(filled, '#');
    line.append(width - filled, ' ');
    line += ']';
    setStatus(line);
}

std::string displayLabel(const PackageRecord& record) {
    if (!record.bundleRef.name.empty()) {
        return requirementLabel(record.bundleRef.name, record.bundleRef.min);
    }
    return recordLabel(record);
}

void reservePostlog(const char* path) {
    Installer& installer = Installer::instance();
    if (std::FILE* previous = std::fopen(path, "r")) {
        std::string line;
        int c;
        while ((c = std::fgetc(previous)) != EOF) {
            if (c == '\n') {
                installer.messages.push_back(line);
                line.clear();
            } else {
                line += static_cast<char>(c);
            }
        }
        // A last line without its line feed was cut short: dropped.
        std::fclose(previous);
    }
    if (std::FILE* reserved = std::fopen(path, "w")) {
        static const char zeros[kPostlogReserve] = {};
        std::fwrite(zeros, 1, sizeof zeros, reserved);
        std::fclose(reserved);
    }
    installer.postlogReserved = true;
}

void writePostlog(const char* path) {
    Installer& installer = Installer::instance();
    if (!installer.postlogReserved && installer.messages.empty()) return;
    std::FILE* log = std::fopen(path, installer.postlogReserved ? "w" : "a");
    if (!log) return;
    sync();
    for (const std::string& message : installer.messages) {
        std::fwrite(message.data(), 1, message.size(), log);
        std::fputc('\n', log);
    }
    std::fclose(log);
}

}  // namespace velmora
