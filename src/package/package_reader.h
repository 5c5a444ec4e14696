#pragma once
// Metadata readers of package files: the header and metadata parts of a
// package or bundle, and a whole offered package file.

#include <string>
#include <vector>

#include "package/package_stream.h"
#include "planning/package_record.h"

namespace velmora {

// Reads the current part as a dependency list and appends its entries.
// Does not move to the next part.
bool readDependencyList(PackageFile& file, std::vector<Dependency>& list);

// Reads the header part (type 1 or 18) that is current and the metadata parts
// after it; afterwards the current part is the first wanted part past them.
bool readPackageHeader(PackageInfo& record, PackageFile& file);

// Opens the package file at path, checks its length and reads its metadata
// and, for a bundle, the headers of its members.
bool readPackageFile(OfferedPackage& offered, const std::string& path);

// Why readPackageFile refuses a file.
struct ReadFault {
    enum Kind : std::uint8_t {
        None,
        NotAPackage,  // no package magic, or shorter than a file header
        Length,       // the size on disk differs from the header's length + 8
        Header,       // a header or its metadata cannot be read
        NoMember,     // a bundle without members
    };
    Kind kind = None;
    std::int32_t partType = -1;  // where the reader stood when it gave up
    std::uint32_t offset = 0;    // of that part's header
};

// readPackageFile, telling why it refuses.
ReadFault readOfferedFile(OfferedPackage& offered, const std::string& path);

}  // namespace velmora
