#pragma once
// Sense data as SPC-3 defines it: the sense keys, the additional sense codes
// the drives and the engine deal in, and the fixed-format sense data
// (response code 70h/71h) with its encoder and decoder; descriptor-format
// sense data (72h/73h) is turned into the fixed format. Key, ASC and ASCQ
// stay separate fields everywhere. The status bytes are in
// platform/ScsiStatus.h.
//
// Shared with the virtual recorder, which includes nothing else of the engine:
// keep it free of engine dependencies.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/ScsiStatus.h"

namespace qnzb {

// Sense keys (byte 2, bits 0-3).
inline constexpr uint8_t SenseKeyNoSense = 0x00;
inline constexpr uint8_t SenseKeyRecoveredError = 0x01;
inline constexpr uint8_t SenseKeyNotReady = 0x02;
inline constexpr uint8_t SenseKeyMediumError = 0x03;
inline constexpr uint8_t SenseKeyHardwareError = 0x04;
inline constexpr uint8_t SenseKeyIllegalRequest = 0x05;
inline constexpr uint8_t SenseKeyUnitAttention = 0x06;
inline constexpr uint8_t SenseKeyDataProtect = 0x07;
inline constexpr uint8_t SenseKeyBlankCheck = 0x08;
inline constexpr uint8_t SenseKeyAbortedCommand = 0x0B;

struct SenseCode {
  uint8_t Key = SenseKeyNoSense;
  uint8_t Asc = 0;
  uint8_t Ascq = 0;
  friend constexpr bool operator==(const SenseCode&, const SenseCode&) = default;
};

// The conditions MMC recorders report, by name.
namespace sense {
inline constexpr SenseCode NoSense{SenseKeyNoSense, 0x00, 0x00};
// NOT READY
inline constexpr SenseCode BecomingReady{SenseKeyNotReady, 0x04, 0x01};
inline constexpr SenseCode FormatInProgress{SenseKeyNotReady, 0x04, 0x04};
inline constexpr SenseCode OperationInProgress{SenseKeyNotReady, 0x04, 0x07};
inline constexpr SenseCode LongWriteInProgress{SenseKeyNotReady, 0x04, 0x08};
inline constexpr SenseCode MediumNotPresent{SenseKeyNotReady, 0x3A, 0x00};
inline constexpr SenseCode MediumNotPresentTrayClosed{SenseKeyNotReady, 0x3A, 0x01};
inline constexpr SenseCode MediumNotPresentTrayOpen{SenseKeyNotReady, 0x3A, 0x02};
// MEDIUM ERROR
inline constexpr SenseCode WriteError{SenseKeyMediumError, 0x0C, 0x00};
inline constexpr SenseCode UnrecoveredReadError{SenseKeyMediumError, 0x11, 0x00};
inline constexpr SenseCode MediumNotFormatted{SenseKeyMediumError, 0x30, 0x10};
// ILLEGAL REQUEST
inline constexpr SenseCode ParameterListLengthError{SenseKeyIllegalRequest, 0x1A, 0x00};
inline constexpr SenseCode InvalidCommandOperationCode{SenseKeyIllegalRequest, 0x20, 0x00};
inline constexpr SenseCode LbaOutOfRange{SenseKeyIllegalRequest, 0x21, 0x00};
inline constexpr SenseCode InvalidAddressForWrite{SenseKeyIllegalRequest, 0x21, 0x02};
inline constexpr SenseCode InvalidFieldInCdb{SenseKeyIllegalRequest, 0x24, 0x00};
inline constexpr SenseCode InvalidFieldInParameterList{SenseKeyIllegalRequest, 0x26, 0x00};
inline constexpr SenseCode CommandSequenceError{SenseKeyIllegalRequest, 0x2C, 0x00};
inline constexpr SenseCode IncompatibleMediumInstalled{SenseKeyIllegalRequest, 0x30, 0x00};
inline constexpr SenseCode CannotWriteIncompatibleFormat{SenseKeyIllegalRequest, 0x30, 0x05};
inline constexpr SenseCode SavingParametersNotSupported{SenseKeyIllegalRequest, 0x39, 0x00};
inline constexpr SenseCode MediumRemovalPrevented{SenseKeyIllegalRequest, 0x53, 0x02};
inline constexpr SenseCode IllegalModeForThisTrack{SenseKeyIllegalRequest, 0x64, 0x00};
inline constexpr SenseCode NoMoreTrackReservationsAllowed{SenseKeyIllegalRequest, 0x72, 0x05};
// UNIT ATTENTION
inline constexpr SenseCode MediumMayHaveChanged{SenseKeyUnitAttention, 0x28, 0x00};
inline constexpr SenseCode PowerOnReset{SenseKeyUnitAttention, 0x29, 0x00};
// DATA PROTECT
inline constexpr SenseCode WriteProtected{SenseKeyDataProtect, 0x27, 0x00};
// BLANK CHECK: reading where nothing was recorded.
inline constexpr SenseCode EndOfDataDetected{SenseKeyBlankCheck, 0x00, 0x05};
// ABORTED COMMAND: the host offered less data than the command transfers.
inline constexpr SenseCode DataPhaseError{SenseKeyAbortedCommand, 0x4B, 0x00};
} // namespace sense

// Fixed-format sense data: 18 bytes (additional sense length 10).
inline constexpr size_t FixedSenseLength = 18;

// The sense-key specific field (bytes 15-17) when SKSV is set: for ILLEGAL
// REQUEST the field pointer (which byte and bit of the CDB or parameter list
// is wrong), for NOT READY the progress of the running operation.
struct SenseKeySpecific {
  enum class Kind : uint8_t { None, FieldPointer, Progress };
  Kind What = Kind::None;
  bool InCdb = true;           // FieldPointer: C/D bit (CDB, else parameter list)
  uint16_t Byte = 0;           // FieldPointer: the byte in error
  int8_t Bit = -1;             // FieldPointer: the bit in error, -1 when not given
  uint16_t Progress = 0;       // Progress: fraction done, in 1/65536
};

struct FixedSense {
  SenseCode Code;
  bool InformationValid = false;
  uint32_t Information = 0;
  SenseKeySpecific Specific;
};

// Writes the sense data into `out`, truncated to its size; returns the number
// of bytes written (at most FixedSenseLength).
constexpr size_t EncodeFixedSense(const FixedSense& sense, std::span<uint8_t> out) {
  uint8_t bytes[FixedSenseLength] = {};
  bytes[0] = static_cast<uint8_t>(0x70 | (sense.InformationValid ? 0x80 : 0x00));
  bytes[2] = static_cast<uint8_t>(sense.Code.Key & 0x0F);
  bytes[3] = static_cast<uint8_t>(sense.Information >> 24);
  bytes[4] = static_cast<uint8_t>(sense.Information >> 16);
  bytes[5] = static_cast<uint8_t>(sense.Information >> 8);
  bytes[6] = static_cast<uint8_t>(sense.Information);
  bytes[7] = static_cast<uint8_t>(FixedSenseLength - 8);
  bytes[12] = sense.Code.Asc;
  bytes[13] = sense.Code.Ascq;
  const SenseKeySpecific& s = sense.Specific;
  if (s.What == SenseKeySpecific::Kind::FieldPointer) {
    bytes[15] = static_cast<uint8_t>(0x80 | (s.InCdb ? 0x40 : 0x00) |
                                     (s.Bit >= 0 ? 0x08 | (s.Bit & 0x07) : 0x00));
    bytes[16] = static_cast<uint8_t>(s.Byte >> 8);
    bytes[17] = static_cast<uint8_t>(s.Byte);
  } else if (s.What == SenseKeySpecific::Kind::Progress) {
    bytes[15] = 0x80;
    bytes[16] = static_cast<uint8_t>(s.Progress >> 8);
    bytes[17] = static_cast<uint8_t>(s.Progress);
  }
  const size_t n = out.size() < FixedSenseLength ? out.size() : FixedSenseLength;
  for (size_t i = 0; i < n; ++i)
    out[i] = bytes[i];
  return n;
}

// Key, ASC and ASCQ of fixed-format sense data (response code 70h or 71h, the
// valid bit ignored). Empty when the bytes are too short to hold a key or
// carry another response code. ASC and ASCQ read as 0 when the additional
// sense length does not reach them.
constexpr std::optional<SenseCode> DecodeFixedSense(std::span<const uint8_t> data) {
  if (data.size() < 3 || (data[0] & 0x7E) != 0x70)
    return std::nullopt;
  SenseCode code;
  code.Key = static_cast<uint8_t>(data[2] & 0x0F);
  const size_t available = data.size() < 8 ? 8 : 8 + static_cast<size_t>(data[7]);
  if (data.size() > 12 && available > 12)
    code.Asc = data[12];
  if (data.size() > 13 && available > 13)
    code.Ascq = data[13];
  return code;
}

// Turns descriptor-format sense data (response code 72h current, 73h
// deferred) in `sense` into fixed-format data in place, so that every reader
// finds the key in byte 2, ASC and ASCQ in bytes 12 and 13: the information,
// command-specific and sense-key specific descriptors and the stream
// commands flags carry over, the rest is dropped. True when it converted;
// fixed-format and other data stay as they are. Descriptors that run past
// the buffer are ignored.
constexpr bool DescriptorSenseToFixed(std::span<uint8_t> sense) {
  if (sense.size() < 4 || ((sense[0] & 0x7F) != 0x72 && (sense[0] & 0x7F) != 0x73))
    return false;
  uint8_t fixed[FixedSenseLength] = {};
  fixed[0] = (sense[0] & 0x7F) == 0x73 ? 0x71 : 0x70;
  fixed[2] = static_cast<uint8_t>(sense[1] & 0x0F);
  fixed[7] = static_cast<uint8_t>(FixedSenseLength - 8);
  fixed[12] = sense[2];
  fixed[13] = sense[3];
  const size_t end = sense.size() < 8 ? sense.size() : std::min<size_t>(sense.size(), 8 + size_t{sense[7]});
  for (size_t at = 8; at + 2 <= end;) {
    const uint8_t type = sense[at];
    const size_t length = 2 + size_t{sense[at + 1]};
    if (at + length > end)
      break;
    const std::span<const uint8_t> d = sense.subspan(at, length);
    if (type == 0x00 && length >= 12) {
      // Information: 8 bytes; the fixed format holds the low 4 of them.
      const bool fits = d[4] == 0 && d[5] == 0 && d[6] == 0 && d[7] == 0;
      for (size_t i = 0; i < 4; ++i)
        fixed[3 + i] = d[8 + i];
      if ((d[2] & 0x80) && fits)
        fixed[0] |= 0x80;
    } else if (type == 0x01 && length >= 12) {
      for (size_t i = 0; i < 4; ++i)
        fixed[8 + i] = d[8 + i];
    } else if (type == 0x02 && length >= 7) {
      for (size_t i = 0; i < 3; ++i)
        fixed[15 + i] = d[4 + i];
    } else if (type == 0x04 && length >= 4) {
      // Stream commands: FILEMARK, EOM and ILI as the fixed format's byte 2.
      fixed[2] = static_cast<uint8_t>(fixed[2] | (d[3] & 0xE0));
    }
    at += length;
  }
  for (size_t i = 0; i < sense.size(); ++i)
    sense[i] = i < FixedSenseLength ? fixed[i] : 0;
  return true;
}

} // namespace qnzb
