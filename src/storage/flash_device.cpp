#include "storage/flash_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

namespace velmora {
namespace {

constexpr const char* kMtdDevice = "/dev/mtd0";
constexpr const char* kFlashDevice = "/dev/flash";

const FlashDeviceSubstitute* activeSubstitute = nullptr;

// What the substitute's device does with one request; -1 for a refusal.
int substituteRequest(const FlashDeviceSubstitute& device, const char* path, unsigned long request,
                      void* argument) {
    if (std::strcmp(path, kMtdDevice) == 0) {
        if (request != kMemGetInfoRequest || device.mtdRequestFails) return -1;
        MtdInfo info{};
        info.eraseSize = device.eraseSize;
        std::memcpy(argument, &info, sizeof info);
        return 0;
    }
    if (request == kFlashControlRequest) {
        return device.controlRefused ? -1 : device.controlAnswer;
    }
    if (request == kBoardMinimumRequest) {
        BoardQuery query;
        std::memcpy(&query, argument, sizeof query);
        device.calls.back().query = query;
        if (device.minimumRefused || query.queryClass != kBoardQueryClass ||
            query.item != kBoardQueryMinimum) {
            return -1;
        }
        query.result = device.boardMinimum;
        std::memcpy(argument, &query, sizeof query);
        return 0;
    }
    return -1;
}

// Opens path, makes one request and closes it. False when the device
// cannot be opened; otherwise answer holds the request's return value.
bool deviceRequest(const char* path, int openFlags, unsigned long request, void* argument,
                   int& answer) {
    if (const FlashDeviceSubstitute* device = activeSubstitute) {
        bool present = std::strcmp(path, kMtdDevice) == 0 ? device->mtdPresent : device->flashPresent;
        if (!present) return false;
        device->calls.push_back(FlashDeviceCall{path, openFlags, request, {}});
        answer = substituteRequest(*device, path, request, argument);
        return true;
    }
    int fd = ::open(path, openFlags | O_CLOEXEC);
    if (fd < 0) return false;
    answer = ::ioctl(fd, request, argument);
    ::close(fd);
    return true;
}

}  // namespace

bool largeEraseBlocks() {
    MtdInfo info{};
    int answer = -1;
    if (!deviceRequest(kMtdDevice, O_RDONLY, kMemGetInfoRequest, &info, answer)) return false;
    return answer >= 0 && info.eraseSize == kLargeEraseBlock;
}

unsigned flashControlBit16() {
    int answer = 0;
    // The request carries no data: its argument is 0.
    if (!deviceRequest(kFlashDevice, O_RDONLY, kFlashControlRequest, nullptr, answer)) return 0;
    return static_cast<unsigned>(answer) & 16u;
}

Version boardMinimumVersion() {
    BoardQuery query{};
    query.queryClass = kBoardQueryClass;
    query.item = kBoardQueryMinimum;
    query.result = 0;
    int answer = 0;
    // The driver's return value is not examined: a refusal leaves the
    // preset 0, which means no minimum.
    deviceRequest(kFlashDevice, O_RDWR, kBoardMinimumRequest, &query, answer);
    return query.result;
}

void setFlashDeviceSubstitute(const FlashDeviceSubstitute* substitute) {
    activeSubstitute = substitute;
}

}  // namespace velmora
