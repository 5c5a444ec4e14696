#include "pdb/version.h"

#include <cstdio>

#include "planning/package_record.h"

namespace velmora {

const char* versionText(Version version) {
    static char buffer[80];
    unsigned major = version >> 24;
    unsigned minor = (version >> 16) & 0xFF;
    unsigned kind = (version >> 8) & 0xFF;
    unsigned number = version & 0xFF;
    if (kind == 'f') {
        if (number == 0) {
            std::snprintf(buffer, sizeof buffer, "%u.%u", major, minor);
        } else {
            std::snprintf(buffer, sizeof buffer, "%u.%u.%u", major, minor, number);
        }
        return buffer;
    }
    const char* suffix = kind == 'a' ? "alpha" : kind == 'b' ? "beta" : kind == 'c' ? "rc" : "";
    if (number == 0) {
        std::snprintf(buffer, sizeof buffer, "%u.%u%s", major, minor, suffix);
    } else {
        std::snprintf(buffer, sizeof buffer, "%u.%u%s%u", major, minor, suffix, number);
    }
    return buffer;
}

std::string recordLabel(const PackageInfo& package) {
    std::string label = package.name;
    label += '-';
    label += versionText(package.version);
    return label;
}

std::string requirementLabel(std::string_view name, Version version) {
    std::string label(name);
    if (version != 0) {
        label += '-';
        label += versionText(version);
    }
    return label;
}

}  // namespace velmora
