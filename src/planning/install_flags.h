#pragma once
// The install flags of a run and the outcome bits of admission share one
// set of values: a flag allows the outcome of the same value.

#include <cstdint>

namespace velmora {

using InstallFlags = std::uint32_t;
using AdmissionOutcome = std::uint32_t;

// Install flags.
inline constexpr InstallFlags AllowUpgrade = 0x01;
inline constexpr InstallFlags AllowDowngrade = 0x02;
inline constexpr InstallFlags AllowIncompatible = 0x08;
inline constexpr InstallFlags AllowConflicting = 0x10;
inline constexpr InstallFlags Reinstall = 0x20;

// Admission outcome bits.
inline constexpr AdmissionOutcome Upgrade = 0x01;
inline constexpr AdmissionOutcome Downgrade = 0x02;
inline constexpr AdmissionOutcome Incompatible = 0x08;
inline constexpr AdmissionOutcome Conflicting = 0x10;
inline constexpr AdmissionOutcome SameVersion = 0x20;

}  // namespace velmora
