#pragma once
// Composing package files byte for byte from plain descriptions: the same
// code makes the packages of the `vpa` tool and the packages (sound or
// deliberately broken) of the tests.
//
// Byte strings (package images, part data, file contents) are std::string.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/package_format.h"
#include "package/package_hash.h"
#include "pdb/version.h"
#include "planning/package_record.h"

namespace velmora {

// One entry of the file archive. Directories and symbolic links are entries
// too, told apart by the type bits of their mode (as in st_mode).
struct FileEntry {
    std::uint16_t mode = 0100644;    // type bits 0xF000 and permission bits
    std::uint8_t processorGroup = 0; // 0: every processor; 1-4: only that group
    std::string path;                // as installed, normally beginning with "/"
    std::string content;             // the file's bytes; a link's target; empty for a directory
};

FileEntry regularFile(std::string path, std::string content, std::uint16_t permissions = 0644,
                      std::uint8_t processorGroup = 0);
FileEntry directoryEntry(std::string path, std::uint16_t permissions = 0755);
FileEntry symlinkEntry(std::string path, std::string target);

// A part the builder would not write by itself (an unknown type, or a known
// one with hand-made data), put just before the first part of type `before`
// (after all the others when no such part is written).
struct ExtraPart {
    std::uint16_t type = 0;
    std::string data;
    std::uint16_t before = PartSignature;
};

// Where the secret nonce k of each signature comes from.
enum class NonceSource {
    SystemRandom,  // getrandom: a fresh k for every signature; what the tool signs with
    Derived,       // a hash of the private scalar and the digest: the same package is
                   // signed the same way every time, for reproducible test packages
};

// The signer's key: the private scalar and the package-hash constants that
// go with the installer build it signs for. Without one (a null key) the
// signature part carries the digest of the signed range and zeros for r
// and v.
struct SigningKey {
    std::array<std::uint8_t, 32> privateScalar{};
    PackageHashConstants constants{};
    NonceSource nonceSource = NonceSource::SystemRandom;
};

struct PackageRecipe {
    // At most 15 characters for the installer's sake; a longer name is stored
    // cut to 16 bytes (16 bytes have no terminator), for tests of odd names.
    std::string name;
    Version version = 0;
    std::uint32_t buildTime = 0;
    std::uint32_t flags = 0;  // FlagBootImage, FlagNoMetadata
    // 32: no flags word; 36: the flags word; 40: 4 more ignored bytes. Other
    // sizes cut the header short or pad it with zero bytes.
    std::uint32_t headerSize = 36;

    std::optional<std::string> text24;  // type 24
    std::optional<std::string> arch;    // type 16; the installer assumes "i386" without it
    std::optional<std::string> text2;   // type 2
    std::optional<std::string> note;    // type 23
    // An empty list writes no part.
    std::vector<Dependency> deps;
    std::vector<Dependency> provides;
    std::vector<Dependency> conflicts;
    bool keepImage = false;  // type 21, with keepImageData as its data
    std::string keepImageData;
    bool overlay = false;  // overlay magic in the file header

    bool withArchive = true;  // type 4, written even for an empty file list
    std::vector<FileEntry> files;
    bool withSignature = true;           // type 9
    std::uint32_t signatureSize = SignatureSize;  // shorter cuts the fields, longer pads with zeros
    std::vector<ExtraPart> extraParts;
};

struct BundleRecipe {
    // The bundle's own header and metadata parts (written with a type 18
    // header); its files, archive and signature settings are not used.
    PackageRecipe bundle;
    std::vector<std::string> disabledMembers;  // type 20 when not empty
    std::vector<std::string> members;          // complete member images, file header included
};

struct Part {
    std::uint16_t type = 0;
    std::string data;
};

// Where a part sits in an image: offset of its 6-byte header, and the size
// its header claims (which may run past the end of a damaged image).
struct PartLocation {
    std::uint16_t type = 0;
    std::size_t offset = 0;
    std::uint32_t size = 0;
    std::size_t dataOffset() const { return offset + PartHeaderSize; }
};

// The complete package image, signed with key when one is given.
std::string buildPackage(const PackageRecipe& recipe, const SigningKey* key = nullptr);

// A bundle: header 18, the bundle's metadata, 21, 20, then every member's
// parts as they are (each member keeps its own signature).
std::string buildBundle(const BundleRecipe& recipe);

// The parts of a package in file order, the signature part holding zeros.
std::vector<Part> packageParts(const PackageRecipe& recipe);

// File header and parts, back to back; the length field covers the parts.
std::string assembleImage(std::uint32_t magic, const std::vector<Part>& parts);

// Part data encoders.
std::string encodePackageHeader(const PackageRecipe& recipe);
std::string encodeDependencyList(const std::vector<Dependency>& list);
std::string encodeDependencyList(const std::vector<Dependency>& list, std::uint16_t count);
std::string encodeArchiveEntries(const std::vector<FileEntry>& files);  // uncompressed
std::optional<std::string> zlibCompress(const std::string& data);
// The 68 signature bytes for a digest: the digest, then r and v made with
// key (zeros without one), the nonce taken from the key's nonce source.
// False when the key cannot sign or no random bytes can be had; r and v are
// zeros then.
bool signatureFields(const std::uint8_t digest[20], const SigningKey* key,
                     std::array<std::uint8_t, SignatureSize>& fields);

// Parts of an image, walked from offset 8 until the bytes run out or a part
// claims more than there is (that part is still listed).
std::vector<PartLocation> locateParts(const std::string& image);
std::optional<PartLocation> findPart(const std::string& image, std::uint16_t type, std::size_t occurrence = 0);

// Writes the signature of every package in the image: each type 9 part gets
// the SHA-1 of the range from the last type 1 part header through its own
// header, and r and v from key. Returns the number of signatures written
// (a signature that the key could not make is written unsigned and not
// counted).
std::size_t signImage(std::string& image, const SigningKey* key);

// Deliberate damage, for tests of broken packages. Those returning bool fail
// when the image has no such part.
void flipByte(std::string& image, std::size_t offset, std::uint8_t mask = 0xFF);
void cutImage(std::string& image, std::size_t length);
void setMagic(std::string& image, std::uint32_t magic);
void setFileLength(std::string& image, std::uint32_t length);
void fixFileLength(std::string& image);  // the length of the bytes actually there
bool setPartSize(std::string& image, std::uint16_t type, std::uint32_t size);
bool setDependencyCount(std::string& image, std::uint16_t type, std::uint16_t count);
bool removePart(std::string& image, std::uint16_t type);  // also fixes the file length

}  // namespace velmora
