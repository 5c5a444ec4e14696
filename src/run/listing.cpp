#include "run/listing.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "run/installer.h"

namespace velmora {
namespace {

// Pads text to width on the right; a longer text is written whole and
// pushes the rest of the line along.
void field(std::string& line, std::string_view text, std::size_t width) {
    line += text;
    if (text.size() < width) line.append(width - text.size(), ' ');
}

}  // namespace

void listPackages(Installer& installer) {
    std::string out;
    field(out, "Name", 16);
    out += "    ";
    field(out, "Version", 13);
    out += ' ';
    field(out, "Built", 20);
    field(out, "Note", 40);
    out += '\n';
    out.append(94, '-');
    out += '\n';

    for (const auto& record : installer.packages) {
        char date[128] = "";
        std::time_t built = static_cast<std::time_t>(record->buildTime);
        std::tm calendar{};
        if (gmtime_r(&built, &calendar)) {
            if (std::strftime(date, sizeof date, "%b/%d/%Y %H:%M:%S", &calendar) == 0) date[0] = '\0';
        }
        field(out, record->name, 16);
        out += ' ';
        out += record->disabled ? 'X' : ' ';
        out += record->bundleRef.name.empty() ? "  " : "B ";
        field(out, versionText(record->version), 13);
        out += ' ';
        field(out, date, 20);
        out += ' ';
        field(out, record->note, 40);
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

}  // namespace velmora
