#pragma once
// The media the virtual recorder takes: their MMC profiles, names and nominal
// capacities. A DVD-RW is one physical kind in two recording modes
// (sequential, profile 0014h, and restricted overwrite, 0013h); which one is
// loaded is part of the disc state, not of the kind.

#include <cstdint>
#include <optional>
#include <string_view>

namespace qnzb::vdrive {

enum class MediumKind : uint8_t { None, CdR, CdRw, DvdMinusR, DvdMinusRw, DvdPlusR, DvdPlusRw, DvdRam };

// MMC profile numbers (GET CONFIGURATION, current profile).
inline constexpr uint16_t ProfileNone = 0x0000;
inline constexpr uint16_t ProfileCdRom = 0x0008;
inline constexpr uint16_t ProfileCdR = 0x0009;
inline constexpr uint16_t ProfileCdRw = 0x000A;
inline constexpr uint16_t ProfileDvdRom = 0x0010;
inline constexpr uint16_t ProfileDvdMinusR = 0x0011;
inline constexpr uint16_t ProfileDvdRam = 0x0012;
inline constexpr uint16_t ProfileDvdMinusRwRestricted = 0x0013;
inline constexpr uint16_t ProfileDvdMinusRwSequential = 0x0014;
inline constexpr uint16_t ProfileDvdPlusRw = 0x001A;
inline constexpr uint16_t ProfileDvdPlusR = 0x001B;

// Nominal user capacities in 2048-byte blocks.
inline constexpr uint32_t CdCapacity80Min = 359'849;   // lead-out at 79:59:74
inline constexpr uint32_t DvdCapacity = 2'295'104;      // DVD±R, DVD±RW, 4.7 GB
inline constexpr uint32_t DvdRamCapacity = 2'236'704;   // DVD-RAM, 4.7 GB

struct MediumTraits {
  MediumKind Kind;
  std::string_view Name;         // our name, as `vdrive insert` takes it: "cd-r"
  std::string_view DisplayName;  // "CD-R"
  bool Cd;
  bool Blankable;   // BLANK applies (CD-RW, DVD-RW)
  bool Erasable;    // READ DISC INFORMATION erasable bit
  bool RandomWritable;  // DVD+RW, DVD-RAM
  uint32_t NominalCapacity;
};

[[nodiscard]] const MediumTraits& Traits(MediumKind kind);

// What `vdrive insert NAME` loads: a blank disc of a kind, in the state a new
// disc of that name comes in. Names: cd-r, cd-rw, dvd-r, dvd-rw (sequential),
// dvd-rw-ro (restricted overwrite, fully formatted), dvd+r, dvd+rw
// (unformatted), dvd+rw-formatted, dvd-ram (formatted); "none" is the empty
// tray. Case-insensitive.
struct MediumChoice {
  MediumKind Kind = MediumKind::None;
  bool Formatted = false;
  bool Restricted = false;
};
[[nodiscard]] std::optional<MediumChoice> ParseMediumName(std::string_view name);
// The names ParseMediumName accepts, space-separated, for help texts.
[[nodiscard]] std::string_view MediumNames();

} // namespace qnzb::vdrive
