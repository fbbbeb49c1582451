// Mode pages and speeds: MODE SENSE (10), MODE SELECT (10), SET CD SPEED and
// SET STREAMING.

#include <vector>

#include "vdrive/ModePages.h"
#include "vdrive/Recorder.h"
#include "vdrive/RecorderInternal.h"

namespace qnzb::vdrive {

using namespace detail;

namespace {

constexpr size_t HeaderLength = 8;  // mode parameter header (10)
constexpr size_t BlockDescriptorLength = 8;

} // namespace

SpeedReport Recorder::Speeds(bool defaults) const {
  const Identity id = Presented();
  const bool dvd = state_.Medium.Present() && !state_.Medium.IsCd();
  // A drive that writes nothing has no write speed to report.
  static const std::vector<uint16_t> none;
  const auto& writeTable = !id.Writes() ? none : dvd ? id.DvdWriteSpeeds : id.CdWriteSpeeds;
  const auto& readTable = dvd ? id.DvdReadSpeeds : id.CdReadSpeeds;
  SpeedReport speeds;
  speeds.MaxRead = readTable.empty() ? 0 : readTable.front();
  speeds.MaxWrite = writeTable.empty() ? 0 : writeTable.front();
  speeds.CurrentRead = defaults ? speeds.MaxRead : EffectiveReadSpeed();
  speeds.CurrentWrite = defaults || writeTable.empty() ? speeds.MaxWrite : EffectiveWriteSpeed();
  speeds.WriteSpeeds = writeTable;
  return speeds;
}

Reply Recorder::ModeSense(const Command& c) {
  const bool noBlockDescriptor = c.Bit(1, 3);
  const uint8_t control = static_cast<uint8_t>(c.Byte(2) >> 6);  // current, changeable, default, saved
  const uint8_t page = c.Byte(2) & 0x3F;
  const uint8_t subpage = c.Byte(3);
  if (control == 3)
    return Check(sense::SavingParametersNotSupported, {SenseKeySpecific::Kind::FieldPointer, true, 2, 7, 0});
  const Identity id = Presented();
  if (control == 2 && !id.DefaultPages)
    return CdbError(2, 7);
  if (subpage != 0 && !(page == 0x3F && subpage == 0xFF))
    return CdbError(3);
  const SpeedReport speeds = Speeds(control == 2);

  BeWriter w(HeaderLength);
  size_t at = HeaderLength;
  if (id.BlockDescriptor && !noBlockDescriptor) {
    w.U16(6, BlockDescriptorLength);
    w.U24(at + 5, BlockSize);
    at += BlockDescriptorLength;
  }
  bool any = false;
  auto append = [&](std::span<const uint8_t> bytes) {
    w.Bytes(at, bytes);
    at += bytes.size();
    any = true;
  };
  // A read-only drive has no write parameters page.
  if ((page == 0x05 || page == 0x3F) && !id.ReadOnly) {
    const WriteParamsPage p = control == 1 ? WriteParamsChangeable(id) : control == 2 ? DefaultWriteParams()
                                                                                      : state_.WriteParams;
    append(p);
  }
  if (page == 0x2A || page == 0x3F)
    append(CapabilitiesPage(id, speeds, preventRemoval_, control == 1));
  if ((page == 0x30 || page == 0x3F) && id.Page30)
    append(Page30(control == 2 || page30Protection_, control == 1));
  if (!any)
    return CdbError(2);
  w.Reserve(at);
  w.U16(0, static_cast<uint32_t>(at - 2));
  return SendIn(c, w.bytes(), c.U16(7));
}

Reply Recorder::ModeSelect(const Command& c) {
  if (!c.Bit(1, 4))
    return CdbError(1, 4);  // pages must follow the page format
  if (c.Bit(1, 0))
    return CdbError(1, 0);  // nothing can be saved
  const uint16_t length = c.U16(7);
  if (length == 0)
    return Good();
  if (c.Out.size() < length)
    return DataPhase();
  const std::span<const uint8_t> list = c.Out.first(length);
  if (length < HeaderLength)
    return Check(sense::ParameterListLengthError);
  BeReader r(list);
  const uint16_t descriptorLength = r.U16(6);
  if (descriptorLength != 0 && descriptorLength != BlockDescriptorLength)
    return ParamError(6);
  size_t at = HeaderLength + descriptorLength;
  if (at > length)
    return Check(sense::ParameterListLengthError);
  if (descriptorLength) {
    const uint32_t blockLength = r.U24(HeaderLength + 5);
    if (blockLength != 0 && blockLength != BlockSize)
      return ParamError(HeaderLength + 5);
  }

  const Identity id = Presented();
  WriteParamsPage writeParams = state_.WriteParams;
  bool protection = page30Protection_;
  while (at < length) {
    if (length - at < 2)
      return Check(sense::ParameterListLengthError);
    const uint8_t code = list[at];
    if (code & 0x80)
      return ParamError(at, 7);  // PS is reserved in MODE SELECT
    if (code & 0x40)
      return ParamError(at, 6);  // no subpages
    const size_t pageLength = 2 + static_cast<size_t>(list[at + 1]);
    if (at + pageLength > length)
      return Check(sense::ParameterListLengthError);
    const std::span<const uint8_t> page = list.subspan(at, pageLength);
    if (code == 0x05 && !id.ReadOnly) {
      if (pageLength != WriteParamsLength)
        return ParamError(at + 1);
      WriteParamsPage candidate;
      std::copy(page.begin(), page.end(), candidate.begin());
      if (auto bad = CheckWriteParams(candidate, writeParams, id))
        return ParamError(at + *bad);
      // Session-at-once on CD needs a cue sheet, which this drive does not
      // take (no CD Mastering feature): refusing the write type here makes
      // hosts fall back to track-at-once before they write anything.
      if (DecodeWriteMode(candidate).WriteType == 2 && state_.Medium.Present() && state_.Medium.IsCd())
        return ParamError(at + 2, 3);
      writeParams = candidate;
    } else if (code == 0x2A) {
      // Nothing of the capabilities page can be changed: only its own
      // contents are accepted back.
      const std::vector<uint8_t> current = CapabilitiesPage(id, Speeds(false), preventRemoval_, false);
      if (pageLength != current.size())
        return ParamError(at + 1);
      for (size_t i = 2; i < pageLength; ++i)
        if (page[i] != current[i])
          return ParamError(at + i);
    } else if (code == 0x30 && id.Page30) {
      if (pageLength != Page30Length)
        return ParamError(at + 1);
      for (size_t i = 2; i < pageLength; ++i)
        if ((page[i] & (i == 2 ? 0xFE : 0xFF)) != 0)
          return ParamError(at + i);
      protection = page[2] & 0x01;
    } else {
      return ParamError(at);
    }
    at += pageLength;
  }
  // Write parameters and speeds alone don't mark the state for saving: a
  // host sets them before every job and passes through other values on the
  // way (probing the write types), so a mere query would rewrite the file.
  // They are saved with the next change of the disc.
  state_.WriteParams = writeParams;
  page30Protection_ = protection;
  return Good();
}

Reply Recorder::SetCdSpeed(const Command& c) {
  if ((c.Byte(1) & 0x03) > 1)
    return CdbError(1);  // rotational control: CLV or CAV only
  state_.ReadSpeed = c.U16(2);
  state_.WriteSpeed = c.U16(4);
  return Good();
}

Reply Recorder::SetStreaming(const Command& c) {
  if (c.Byte(8) != 0)
    return CdbError(8);  // only the performance descriptor
  const uint16_t length = c.U16(9);
  if (length == 0)
    return Good();
  if (c.Out.size() < length)
    return DataPhase();
  constexpr size_t DescriptorLength = 28;
  if (length < DescriptorLength)
    return Check(sense::ParameterListLengthError);
  BeReader r(c.Out.first(length));
  if (r.Bit(0, 2)) {  // RDD: back to the drive's defaults
    state_.ReadSpeed = 0xFFFF;
    state_.WriteSpeed = 0xFFFF;
    return Good();
  }
  if (r.U32(4) > r.U32(8))
    return ParamError(4);  // start after end
  const uint32_t readTime = r.U32(16);
  const uint32_t writeTime = r.U32(24);
  if (readTime == 0)
    return ParamError(16);
  if (writeTime == 0)
    return ParamError(24);
  // Sizes are KB and times ms, so size * 1000 / time is KB/s.
  auto speed = [](uint32_t size, uint32_t time) {
    const uint64_t kbs = static_cast<uint64_t>(size) * 1000 / time;
    return static_cast<uint16_t>(kbs >= 0xFFFF ? 0xFFFE : (kbs == 0 ? 1 : kbs));
  };
  state_.ReadSpeed = speed(r.U32(12), readTime);
  state_.WriteSpeed = speed(r.U32(20), writeTime);
  return Good();
}

} // namespace qnzb::vdrive
