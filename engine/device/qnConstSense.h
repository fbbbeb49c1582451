#pragma once
// Texts of the additional sense codes: the upper-case wordings of the SCSI and
// MMC assignments for the (ASC, ASCQ) pairs recorders report, as the command
// executor appends them to a failed command's error text. Texts are shown to
// users exactly as written in the table.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qnzb {

struct TSenseText {
  uint8_t Asc;
  uint8_t Ascq;
  const char* Text;
};

// The whole table, ordered by ASC then ASCQ.
[[nodiscard]] std::span<const TSenseText> SenseTexts();

// The text of a pair, or nullptr when the pair has none.
[[nodiscard]] const char* FindSenseText(uint8_t Asc, uint8_t Ascq);

// The text of a pair; a pair without a text gives both numbers in decimal
// joined by "," (ASC 3Ah, ASCQ 05h gives "58,5").
[[nodiscard]] std::string SenseCodeText(uint8_t Asc, uint8_t Ascq);

} // namespace qnzb
