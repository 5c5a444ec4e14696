#pragma once
// Fixed numbers of the package file format: magics, part types and sizes.

#include <cstdint>

namespace velmora {

inline constexpr std::uint32_t PackageMagic = 0xBAD0F11E;
inline constexpr std::uint32_t OverlayMagic = 0xA1100FFB;

inline constexpr std::uint32_t FileHeaderSize = 8;
inline constexpr std::uint32_t PartHeaderSize = 6;
inline constexpr std::uint32_t PackageHeaderSize = 32;  // without the optional flags word
inline constexpr std::uint32_t PackageNameSize = 16;
inline constexpr std::uint32_t DependencyEntrySize = 32;
inline constexpr std::uint32_t SignatureSize = 68;  // digest 20, r 16, v 32

enum PartType : std::uint16_t {
    PartHeader = 1,
    PartText2 = 2,
    PartDependencies = 3,
    PartFileArchive = 4,
    PartSignature = 9,
    PartArchitecture = 16,
    PartConflicts = 17,
    PartBundleHeader = 18,
    PartProvides = 19,
    PartDisabledMembers = 20,
    PartKeepImage = 21,
    PartNote = 23,
    PartText24 = 24,
};

}  // namespace velmora
