#pragma once
// The virtual recorder: a software MMC-5 CD/DVD recorder with its medium.
// It executes one CDB at a time with the host's data buffer and answers with
// a SCSI status and fixed-format sense data, as a drive on the bus does:
// INQUIRY, TEST UNIT READY, REQUEST SENSE, MODE SENSE/SELECT (10) with pages
// 05h, 2Ah and 30h, GET CONFIGURATION, READ DISC/TRACK INFORMATION, READ
// TOC/PMA/ATIP (formats 0, 1, 2, 4), READ DISC STRUCTURE, READ CAPACITY,
// READ FORMAT CAPACITIES, READ (10), WRITE (10), SYNCHRONIZE CACHE, CLOSE TRACK/SESSION, BLANK,
// FORMAT UNIT, RESERVE TRACK, SEND OPC INFORMATION, SET CD SPEED, SET
// STREAMING, SEND DVD STRUCTURE, READ BUFFER CAPACITY, START STOP UNIT,
// PREVENT/ALLOW MEDIUM REMOVAL and REZERO UNIT. Anything else is refused with
// ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
//
// Time comes from a tick source (milliseconds), so tests drive it with a
// virtual clock. By default every command completes at once; the real-time
// mode (Timing::RealTime) models the drive buffer and the durations of
// blanking, formatting and closing. The recorder never blocks: a slow
// command without the Immed bit completes at once in either mode.
//
// All members are thread-safe; commands and management calls are executed
// one after another.

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/SimulatedDevice.h"
#include "vdrive/Activity.h"
#include "vdrive/BlockStore.h"
#include "vdrive/FolderLock.h"
#include "vdrive/StateFile.h"

namespace qnzb::vdrive {

namespace detail {
struct Command;
struct Reply;
} // namespace detail

class Recorder final : public SimulatedDevice {
public:
  // A drive whose disc lives in memory: nothing persists. `ticks` empty:
  // the steady wall clock.
  explicit Recorder(DriveState state = {}, TickSource ticks = {});
  // A drive kept in the state directory `dir`: loads the state found there
  // (none: defaults and a blank CD-R), keeps the disc's blocks in the
  // directory's image and saves the state after every command that changed
  // it, except WRITE (saved when a track starts, then every few MiB or
  // second of writing, and with the next flush, close or eject, or when the
  // drive is destroyed), so a killed writer leaves its track recorded nearly
  // as far as it got. Saving leaves the file alone while the state in it is
  // unchanged. While the tray is locked (PREVENT ALLOW MEDIUM REMOVAL) the
  // drive holds the directory's FolderLock. When another process rewrites the state file, the
  // drive reloads it before its next command, as if the disc had been
  // changed; that state also wins over changes this drive had not saved yet.
  // Empty with `error` set when the state is invalid (nothing on disk is
  // touched then) or the image can't be opened.
  [[nodiscard]] static std::unique_ptr<Recorder> Open(const std::string& dir, std::string& error, TickSource ticks = {});
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  [[nodiscard]] ScsiOutcome Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction,
                                    std::span<uint8_t> sense) override;

  // The operator's hands. Insert loads a new disc as ParseMediumName
  // describes it (`capacity` 0: nominal) and closes the tray; the previous
  // disc and its blocks are gone. Remove takes the disc out (tray closed,
  // empty).
  void Insert(const MediumChoice& choice, uint32_t capacity = 0);
  void Remove();
  void SetFaultPlan(const FaultPlan& plan);
  void SetConfig(const DriveConfig& config);

  // A copy of the whole persistent state.
  [[nodiscard]] DriveState State() const;
  // Buffer underruns counted in the real-time mode since the drive started.
  [[nodiscard]] uint32_t Underruns() const;
  // Reads blocks as recorded, bypassing the command interface (tests compare
  // discs block by block). False on an I/O error.
  [[nodiscard]] bool ReadBlocks(uint32_t lba, std::span<uint8_t> out);
  // Saves now (persistent drives; true for in-memory ones).
  [[nodiscard]] bool Save(std::string& error);

private:
  using Command = detail::Command;
  using Reply = detail::Reply;

  Recorder(DriveState state, std::unique_ptr<BlockStore> store, std::unique_ptr<StateDirectory> dir, TickSource ticks);

  Reply Dispatch(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction);
  Reply InjectFault(FaultKind kind);
  // Applies the corrupt rules due for a WRITE of `count` blocks at `lba`
  // just stored from `data`. False on an I/O error.
  [[nodiscard]] bool StoreCorrupted(uint32_t lba, uint32_t count, std::span<const uint8_t> data);
  void ReloadIfChanged();
  void SaveIfDirty();
  void MediumChanged();
  [[nodiscard]] uint64_t Now() const;
  [[nodiscard]] std::optional<Reply> NotReady();
  [[nodiscard]] std::optional<Reply> BusyOnly();
  [[nodiscard]] bool DriveWrites(const Disc& disc) const;
  // The configured identity as the drive presents it: a read-only drive
  // without its write flags.
  [[nodiscard]] Identity Presented() const;
  // Whether the drive has the command at all.
  [[nodiscard]] bool Answers(uint8_t opcode) const;
  [[nodiscard]] WriteMode Mode() const;
  [[nodiscard]] bool TestWriteActive() const;
  [[nodiscard]] Disc& Target();
  [[nodiscard]] uint16_t EffectiveWriteSpeed() const;
  [[nodiscard]] uint16_t EffectiveReadSpeed() const;
  // Page 2Ah's speeds for the loaded medium's class; `defaults`: as the drive
  // starts (current = maximum).
  [[nodiscard]] SpeedReport Speeds(bool defaults) const;

  // Commands, by topic: Recorder.cpp (state, sense, tray), RecorderInfo.cpp
  // (identification and disc information), RecorderModes.cpp (mode pages and
  // speeds), RecorderMedia.cpp (reading, recording, blanking, formatting).
  Reply TestUnitReady(const Command& c);
  Reply RequestSense(const Command& c);
  Reply StartStopUnit(const Command& c);
  Reply PreventAllow(const Command& c);
  Reply Inquiry(const Command& c);
  Reply GetConfiguration(const Command& c);
  Reply ReadDiscInformation(const Command& c);
  Reply ReadTrackInformation(const Command& c);
  Reply ReadToc(const Command& c);
  Reply FullToc(const Command& c);
  Reply ReadDiscStructure(const Command& c);
  Reply ReadCapacity(const Command& c);
  Reply ReadFormatCapacities(const Command& c);
  Reply ReadBufferCapacity(const Command& c);
  Reply ModeSense(const Command& c);
  Reply ModeSelect(const Command& c);
  Reply SetCdSpeed(const Command& c);
  Reply SetStreaming(const Command& c);
  Reply Read10(const Command& c);
  Reply Write10(const Command& c);
  Reply SynchronizeCache(const Command& c);
  Reply CloseTrackSession(const Command& c);
  Reply ReserveTrack(const Command& c);
  Reply Blank(const Command& c);
  Reply FormatUnit(const Command& c);
  Reply SendOpcInformation(const Command& c);
  Reply SendDvdStructure(const Command& c);

  mutable std::mutex mutex_;
  DriveState state_;
  std::unique_ptr<BlockStore> store_;
  std::unique_ptr<StateDirectory> dir_;
  TickSource ticks_;
  bool dirty_ = false;
  // Written since the last save: a running burn is saved every few MiB or
  // every second, whichever comes first.
  uint32_t unsavedBlocks_ = 0;
  uint64_t lastSave_ = 0;
  // Real-time mode: when the head is done with the reads sent so far (µs).
  uint64_t readsDoneAtUs_ = 0;
  uint32_t nextReadLba_ = UINT32_MAX;  // where the streamed reads go on
  std::unique_ptr<FolderLock> trayLock_;
  BackgroundActivity activity_;
  WriteBuffer buffer_;
  // A test write records into this copy of the disc, never the real one.
  std::optional<Disc> simulation_;
  bool preventRemoval_ = false;
  std::string serial_;
  bool page30Protection_ = true;
  std::optional<SenseCode> unitAttention_;
};

} // namespace qnzb::vdrive
