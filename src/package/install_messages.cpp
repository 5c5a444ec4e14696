#include "package/install_messages.h"

#include <cerrno>
#include <cstring>

#include "planning/package_record.h"
#include "run/message_log.h"

namespace velmora {

void reportBrokenPackage(const PackageRecord& record) {
    reportError("installation of %s failed: broken package", displayLabel(record).c_str());
}

void reportCreateFailure(const PackageRecord& record, const std::string& what) {
    // Taken first: building the label may allocate and touch errno.
    const int error = errno;
    const std::string label = displayLabel(record);
    if (error == ENOSPC) {
        reportError("installation of %s failed: disk is too small", label.c_str());
    } else if (error == EIO) {
        reportError("installation of %s failed: disk error", label.c_str());
    } else {
        reportError("installation of %s failed: could not create %s: %s", label.c_str(), what.c_str(),
                    std::strerror(error));
    }
}

}  // namespace velmora
