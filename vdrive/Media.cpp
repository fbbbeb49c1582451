#include "vdrive/Media.h"

#include <array>
#include <cctype>
#include <string>

namespace qnzb::vdrive {

namespace {

constexpr std::array<MediumTraits, 8> AllTraits{{
    {MediumKind::None, "none", "NONE", false, false, false, false, 0},
    {MediumKind::CdR, "cd-r", "CD-R", true, false, false, false, CdCapacity80Min},
    {MediumKind::CdRw, "cd-rw", "CD-RW", true, true, true, false, CdCapacity80Min},
    {MediumKind::DvdMinusR, "dvd-r", "DVD-R", false, false, false, false, DvdCapacity},
    {MediumKind::DvdMinusRw, "dvd-rw", "DVD-RW", false, true, true, false, DvdCapacity},
    {MediumKind::DvdPlusR, "dvd+r", "DVD+R", false, false, false, false, DvdCapacity},
    {MediumKind::DvdPlusRw, "dvd+rw", "DVD+RW", false, false, true, true, DvdCapacity},
    {MediumKind::DvdRam, "dvd-ram", "DVD-RAM", false, false, true, true, DvdRamCapacity},
}};

} // namespace

const MediumTraits& Traits(MediumKind kind) {
  for (const MediumTraits& t : AllTraits)
    if (t.Kind == kind)
      return t;
  return AllTraits[0];
}

std::optional<MediumChoice> ParseMediumName(std::string_view name) {
  std::string lower;
  for (char c : name)
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "dvd-rw-ro")
    return MediumChoice{MediumKind::DvdMinusRw, true, true};
  if (lower == "dvd+rw-formatted")
    return MediumChoice{MediumKind::DvdPlusRw, true, false};
  for (const MediumTraits& t : AllTraits) {
    if (t.Name == lower) {
      // DVD-RAM comes formatted; the other kinds come blank.
      return MediumChoice{t.Kind, t.Kind == MediumKind::DvdRam, false};
    }
  }
  return std::nullopt;
}

std::string_view MediumNames() {
  return "cd-r cd-rw dvd-r dvd-rw dvd-rw-ro dvd+r dvd+rw dvd+rw-formatted dvd-ram none";
}

} // namespace qnzb::vdrive
