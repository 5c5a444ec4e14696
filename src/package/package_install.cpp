#include "package/package_install.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <istream>

#include "package/byte_order.h"
#include "package/install_messages.h"
#include "package/package_format.h"
#include "package/package_stream.h"
#include "pdb/db_files.h"
#include "pdb/package_db.h"
#include "planning/package_record.h"
#include "run/message_log.h"
#include "storage/change_set.h"
#include "storage/flash_device.h"
#include "storage/inflate_stream.h"

namespace velmora {
namespace {

constexpr std::uint32_t kCopyPiece = 16384;
constexpr std::uint32_t kKeepImageStep = 4096;
constexpr std::uint32_t kPathPiece = 256;
constexpr std::size_t kEntryHeaderSize = 30;
constexpr std::uint16_t kTypeBits = 0xF000;
constexpr std::uint16_t kRegularFile = 0x8000;

struct ProcessorVersionOverride {
    bool active = false;
    std::optional<std::uint32_t> value;
};

ProcessorVersionOverride& processorVersionOverride() {
    static ProcessorVersionOverride substitute;
    return substitute;
}

std::optional<std::uint32_t> readProcessorVersion() {
    const ProcessorVersionOverride& substitute = processorVersionOverride();
    if (substitute.active) return substitute.value;
#if defined(__powerpc__) || defined(__PPC__)
    std::uint32_t pvr;
    __asm__ volatile("mfpvr %0" : "=r"(pvr));
    return pvr;
#else
    return std::nullopt;
#endif
}

// The path field may claim up to 64 KiB; it is taken in small pieces so that
// no more is kept than actually arrives.
bool readEntryPath(std::istream& in, std::uint32_t length, std::string& path) {
    path.clear();
    char piece[kPathPiece];
    while (length > 0) {
        const std::uint32_t ask = std::min(length, kPathPiece);
        in.read(piece, ask);
        if (static_cast<std::uint32_t>(in.gcount()) != ask) return false;
        path.append(piece, ask);
        length -= ask;
    }
    return true;
}

// Writes all of data to fd; false with errno set when the file takes less.
bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::string progressLabel(const PackageRecord& record) {
    std::string label = "installing ";
    if (record.disabled && record.bundleRef.name.empty()) label += " (disabled) ";
    label += displayLabel(record);
    return label;
}

void showProgressOf(const std::string& label, PackageFile& file) {
    // The bytes of the package read so far: everything before the current
    // part's data and what has been taken of it.
    const std::uint32_t position = file.partStart() + (file.partSize() - file.partRemaining());
    showProgress(label, position, file.totalLength());
}

PackageFault faultOf(PackageFault::Kind kind, int error = 0) {
    PackageFault fault;
    fault.kind = kind;
    fault.error = error;
    return fault;
}

// Streams one entry's content into the file fd and closes it; a fault
// otherwise.
PackageFault copyContent(std::istream& in, int fd, std::uint32_t size) {
    char buffer[kCopyPiece];
    PackageFault fault;
    while (size > 0 && fault.kind == PackageFault::None) {
        const std::uint32_t step = std::min(size, kCopyPiece);
        in.read(buffer, step);
        if (static_cast<std::uint32_t>(in.gcount()) != step) {
            fault = faultOf(PackageFault::CutContent);
        } else if (!writeAll(fd, buffer, step)) {
            // The write's error is the one to report, not the close's.
            fault = faultOf(PackageFault::CreateFailed, errno);
        }
        size -= step;
    }
    if (::close(fd) != 0 && fault.kind == PackageFault::None) fault = faultOf(PackageFault::CreateFailed, errno);
    return fault;
}

// Staging into the run's change set.
class ChangeSetSink : public EntrySink {
public:
    ChangeSetSink(ChangeSet& changes, const PackageRecord& record, PackageFile& file)
        : changes_(changes), file_(file), label_(progressLabel(record)) {}
    int create(const std::string& belowFlash, std::uint32_t size, std::uint16_t mode) override {
        return createReplacement(changes_, dbPaths().flashRoot + belowFlash, size, mode);
    }
    void progress() override { showProgressOf(label_, file_); }

private:
    ChangeSet& changes_;
    PackageFile& file_;
    // The bar moves after every file; its label stays.
    const std::string label_;
};

}  // namespace

std::string pathBelowFlash(const PackageRecord& record, std::string_view entryPath) {
    std::string path;
    if (record.disabled) {
        path += "/x/";
        path += record.name;
    }
    if (entryPath.empty() || entryPath.front() != '/') path += '/';
    path += entryPath;
    return path;
}

bool namesFileBelowFlash(std::string_view entryPath) {
    if (!isKeepablePath(entryPath) || entryPath.find('\n') != std::string_view::npos) return false;
    const std::size_t slash = entryPath.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? entryPath : entryPath.substr(slash + 1);
    return !last.empty() && last != "." && last != "..";
}

unsigned processorGroupFor(std::uint32_t pvr, unsigned (*flashBit16)()) {
    const std::uint32_t model = pvr & ~std::uint32_t{0xFF};
    const std::uint32_t family = (pvr >> 16) & 0xFF;
    if (model == 0x80211000 || model == 0x80212100) return flashBit16() == 16 ? 2 : 4;
    if (family == 0x20 || family == 0x21) return 2;
    if (family == 0x83 || family == 0x84 || family == 0x85) return 1;
    if ((pvr >> 16) == 0x1302) return 3;
    return 0;
}

unsigned processorGroup() {
    const std::optional<std::uint32_t> pvr = readProcessorVersion();
    return pvr ? processorGroupFor(*pvr, flashControlBit16) : 0;
}

void setProcessorVersionSubstitute(std::optional<std::uint32_t> value) {
    processorVersionOverride() = {true, value};
}

void clearProcessorVersionSubstitute() { processorVersionOverride() = {}; }

void showInstallProgress(const PackageRecord& record, PackageFile& file) {
    showProgressOf(progressLabel(record), file);
}

bool EntrySink::takesGroup(unsigned group) { return group == processorGroup(); }

PackageFault extractArchive(PackageRecord& record, PackageFile& file, EntrySink& sink) {
    // Pulls the archive part's data through the package file, so the
    // compressed bytes are hashed on their way.
    InflateStream inflate(file);
    std::uint8_t header[kEntryHeaderSize];
    ArchiveEntry entry;
    for (;;) {
        if (inflate.bad() || inflate.fail()) return {};
        inflate.read(reinterpret_cast<char*>(header), kEntryHeaderSize);
        // The inflated data ended at, or inside, an entry header.
        if (inflate.fail()) return {};

        entry.mode = loadLe16(header);
        entry.group = header[23];
        entry.size = loadLe32(header + 24);
        if (!readEntryPath(inflate, loadLe16(header + 28), entry.path)) return faultOf(PackageFault::CutPath);
        if (!namesFileBelowFlash(entry.path)) {
            PackageFault fault = faultOf(PackageFault::EntryPath);
            fault.path = entry.path;
            return fault;
        }
        sink.seen(entry);
        if ((entry.mode & kTypeBits) != kRegularFile || (entry.group != 0 && !sink.takesGroup(entry.group))) {
            inflate.seekg(entry.size, std::ios::cur);
            continue;
        }

        const std::string below = pathBelowFlash(record, entry.path);
        // Content goes out in whole pieces straight to the file.
        const int out = sink.create(below, entry.size, entry.mode);
        PackageFault fault = out < 0 ? faultOf(PackageFault::CreateFailed, errno) : PackageFault{};
        if (out >= 0) {
            record.files.insert(below);
            fault = copyContent(inflate, out, entry.size);
        }
        if (fault.kind != PackageFault::None) {
            fault.path = entry.path;
            return fault;
        }
        sink.progress();
    }
}

PackageFault readPackageBody(PackageRecord& record, PackageFile& file, EntrySink& sink, const TrustedKey* key) {
    if (file.currentType() == PartKeepImage) {
        // Read in steps so that the bar moves; the bytes are hashed and
        // copied like any others.
        std::uint32_t left = file.partSize();
        while (left > 0) {
            sink.progress();
            const std::uint32_t step = std::min(left, kKeepImageStep);
            left -= step;
            file.seekg(step, std::ios::cur);
            // Cut short: the next part cannot be found, which fails below.
            if (file.fail()) break;
        }
        file.nextPart();
    }

    if (file.currentType() == PartFileArchive) {
        // The stream mode writes such an image whole as the boot image.
        const bool bootImageWhole = std::getenv("bootimage") != nullptr && (record.flags & FlagBootImage) != 0;
        if (!bootImageWhole) {
            PackageFault fault = extractArchive(record, file, sink);
            if (fault.kind != PackageFault::None) {
                fault.partType = PartFileArchive;
                fault.offset = file.partStart() - PartHeaderSize;
                return fault;
            }
        }
        file.nextPart();
    }

    PackageFault fault;
    fault.partType = file.currentType();
    fault.offset = file.partStart() - PartHeaderSize;
    if (file.currentType() != PartSignature) {
        fault.kind = PackageFault::NoSignature;
        return fault;
    }
    std::uint8_t fields[SignatureSize];
    fault.signature = file.packageBuffer().checkSignature(key, fields);
    if (fault.signature != SignatureCheck::Good) {
        fault.kind = PackageFault::Signature;
        fault.unsignedFields = std::all_of(fields + 20, fields + SignatureSize, [](std::uint8_t b) { return b == 0; });
        return fault;
    }
    file.nextPart();
    return {};
}

bool installPackageFile(PackageRecord& record, ChangeSet& changes, PackageFile& file) {
    showInstallProgress(record, file);
    const bool overlay = file.isOverlay();
    if (!overlay && !prepareRecordDir(record, changes)) return false;

    ChangeSetSink sink(changes, record, file);
    const TrustedKey key = builtInKey();
    const PackageFault fault = readPackageBody(record, file, sink, &key);
    if (fault.kind == PackageFault::CreateFailed) {
        errno = fault.error;
        reportCreateFailure(record, fault.path);
        return false;
    }
    if (fault.kind != PackageFault::None) {
        reportBrokenPackage(record);
        return false;
    }
    if (!overlay && !saveRecord(record, changes)) return false;
    if ((record.flags & FlagBootImage) != 0) {
        std::ofstream marker;
        openReplacement(marker, changes, dbPaths().flashRoot + "/UPGRADED", 1, 0);
        marker.close();
    }
    // A bundle is reported as a whole by its installer.
    if (!record.bundleRef.name.empty()) return true;
    setStatus("");
    reportInfo("installed %s%s", record.disabled ? "(disabled) " : "", recordLabel(record).c_str());
    return true;
}

}  // namespace velmora
