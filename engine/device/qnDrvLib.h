#pragma once
// The device component: the base of the burner component. This part is its
// shell: the debug message channel through which the whole engine reports
// progress and errors, the verbose switch, and the lock the recording threads
// share. The device list, command execution and drive commands build on it.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/device/AspiTypes.h"
#include "engine/runtime/Component.h"
#include "engine/runtime/CriticalSection.h"
#include "engine/runtime/DateTime.h"
#include "platform/DriveLock.h"

namespace qnzb {

// (Sender, Message, mType). Raised on the thread that sends the message: the
// main thread, the writing thread or the blanking thread. A receiver must
// accept lines from any of them.
using TOnDebugMsg = std::function<void(TObject* Sender, const std::string& Message, uint8_t mType)>;

class TSCSIDevice : public TComponent {
public:
  explicit TSCSIDevice(TComponent* owner);
  ~TSCSIDevice() override;

  // Calls OnDebugMessage with (this, Message, mType) when it is assigned.
  // Filters nothing and adds nothing: verbose callers check DoDebug themselves.
  void SendDebugMessage(const std::string& Message, uint8_t mType);

  // The lock the read-ahead cache and the writing thread share.
  [[nodiscard]] TCriticalSection& Lock() const { return *lock_; }

  TOnDebugMsg OnDebugMessage;
  // Verbose messages are sent only while this is true.
  bool DoDebug = false;

  // ==== The selected device ====
  // Its address (254 in all three: none selected), its INQUIRY data and the
  // quirk the capabilities depend on. Set by the device list's selection.
  uint8_t HaId = 254;
  uint8_t Target = 254;
  uint8_t Lun = 254;
  alignas(4) std::array<uint8_t, 128> InquiryData{};
  bool QuirkUnderrunFree = false;

  // ==== Command execution ====
  // Runs one request on the selected device. The caller has zeroed the block
  // and filled the CDB, SRB_CDBLen, SRB_Flags (40h no data, 48h data in, 50h
  // data out), the buffer and its length; the executor fills in the address,
  // the event and the sense length (the whole sense area), clears a data-in
  // buffer, and (for a manager library) puts the unit into CDB byte 1; the
  // pass-through back end addresses the unit itself. TimeoutMs, raised to
  // 10 s, bounds the command: the pass-through back end hands it to the
  // system; with SRB_EVENT_NOTIFY the executor waits (through the clock seam)
  // that long and aborts a request still pending, which then ends with
  // status 04h, host status 09h. A manager library works on a copy of the
  // request and its data: one that refuses the abort gets two seconds (real
  // time, with a log line) to let go, after which the copy is left to it, so
  // the caller's request and buffer are never written after the return.
  // Descriptor-format sense comes back as fixed-format sense.
  // Returns 1 when the request went to the transport (its outcome is in
  // SRB_Status), SS_ILLEGAL_MODE (E2h), request untouched, when the
  // transport is not initialised or no device is selected. Sets
  // LastErrorText, LastSense, TargetBusy, TransportFailed and
  // LastTransferred; may send the report line of a failed first command. Not
  // reentrant per component.
  [[nodiscard]] uint8_t ExecuteCommand(SRB_ExecSCSICmd& Request, int32_t TimeoutMs);
  // The report line of a request ("<<< " + name, flags, address, CDB, the
  // first data bytes, statuses, sense and LastErrorText).
  [[nodiscard]] std::string CommandReport(const SRB_ExecSCSICmd& Request) const;

  // Empty after a good command; else the status or sense-key text, then
  // " (" + the ASC/ASCQ text + ")" when the sense data has additional bytes.
  std::string LastErrorText;
  // The sense area and spare byte of the last failed request; zero otherwise.
  std::array<uint8_t, SENSE_LEN + 1> LastSense{};
  // The last command failed with target status BUSY.
  bool TargetBusy = false;
  // The last command failed without an answer of the drive: the transport
  // or the host reported an error (SRB_HaStat set, a manager status above
  // 04h, or no status and no sense at all), or it timed out. Such a failure
  // is never a busy drive.
  bool TransportFailed = false;
  // Data bytes the last command moved: what the pass-through back end
  // reports (the buffer length less the residual); with a manager library,
  // which reports none, the buffer length of a command that succeeded and 0
  // otherwise.
  uint32_t LastTransferred = 0;
  // Set by the first command that reaches the report check.
  bool FirstCommandChecked = false;

  // ==== Command wrappers ====
  // One per MMC command. Each builds its CDB, runs it through ExecuteCommand
  // and returns true when the request ended with status 1; the reason of a
  // failure is in LastErrorText and LastSense. A buffer that can't be
  // described by the CDB's length field (or is smaller than the reply the
  // command asks for) is refused before anything is sent: false with
  // LastErrorText "INVALID REQUEST". Buffers are used in place for the
  // duration of the call.
  bool TestUnitReady(int32_t TimeoutMs);
  bool RezeroUnit();
  // Up to 255 bytes of sense data.
  bool RequestSense(std::span<uint8_t> Buffer);
  // The parameter list (at most the shared small buffer) goes out with the
  // CDB's byte 1 as given (FmtData, CmpList, format code).
  bool FormatUnit(uint8_t Byte1, std::span<const uint8_t> ParamList);
  // 128 bytes of INQUIRY data into InquiryData.
  bool Inquiry();
  // Eject: open the tray; else load the medium.
  bool StartStopUnit(bool Eject);
  bool AllowMediumRemoval(bool Allow);
  // The 248-byte capacity list; Buffer must hold at least 248 bytes.
  bool ReadFormatCapacities(std::span<uint8_t> Buffer);
  // The last LBA and the block length.
  bool ReadCapacity(uint32_t& LastLba, uint32_t& BlockLength);
  // Buffer.size() bytes from Lba on.
  // ForceUnitAccess: from the medium, never from the drive's cache.
  bool Read10(uint32_t Lba, uint16_t Blocks, std::span<uint8_t> Buffer, bool ForceUnitAccess = false);
  // Flags as the caller gives them (normally 50h). A request still pending
  // after a successful hand-over also counts as written.
  bool Write10(uint32_t Lba, uint16_t Blocks, uint8_t Flags, std::span<const uint8_t> Buffer);
  bool SynchronizeCache(int32_t TimeoutMs, bool Immed);
  // Buffer of at most 255 bytes.
  bool ReadTocPmaAtip(uint8_t Format, std::span<uint8_t> Buffer, uint8_t Number, bool Msf, uint8_t Control);
  // StartFeature and the buffer below 256.
  bool GetConfiguration(uint8_t Rt, uint16_t StartFeature, std::span<uint8_t> Buffer);
  // Buffer of at most 255 bytes.
  bool ReadDiscInformation(std::span<uint8_t> Buffer);
  // The 40-byte track information of Track (a track number) into TrackInfo,
  // as the drive sends it (big-endian).
  bool ReadTrackInformation(uint32_t Track);
  bool ReserveTrack(uint32_t Blocks);
  bool SendOpcInformation();
  // At most 255 bytes, sent from the shared mode buffer.
  bool ModeSelect10(std::span<const uint8_t> Data);
  // Reads Length bytes of the page (Defaults: default values, else current
  // ones) into the shared mode buffer; Dest is zeroed and, on success,
  // receives as much of them as it holds.
  bool ModeSense10(uint8_t Page, std::span<uint8_t> Dest, bool Defaults, uint16_t Length);
  // Finalize: close the disc (function 5); else CloseTrack: the invisible
  // track (function 1, track FFh); else the session (function 2).
  bool CloseTrackSession(bool CloseTrack, bool Immed, bool Finalize);
  bool CloseTrackSession(bool Immed, uint8_t Function, uint8_t B3, uint8_t B4, uint8_t B5);
  // Sets DeviceBufferSize and DeviceFreeBufferSize (0 when it fails).
  bool ReadBufferCapacity();
  bool SendCueSheet(std::span<const uint8_t> Buffer);
  // BLANK with the immediate bit; BlankType 0-6.
  bool Blank(uint8_t Type);
  bool SetStreaming(std::span<const uint8_t> Buffer);
  // Speeds in KB/s; 0 is sent as FFFFh (the drive's maximum).
  bool SetCdSpeed(uint16_t ReadKBps, uint16_t WriteKBps);
  bool SendDvdStructure(uint8_t Format, std::span<const uint8_t> Buffer);

  // The last READ TRACK INFORMATION reply (big-endian, as sent).
  alignas(4) std::array<uint8_t, 40> TrackInfo{};

  // ==== Capabilities and speeds ====
  // Reads mode page 2Ah (defaults, then current values), page 30h and the
  // DVD+R/+RW and DVD-R/-RW features into Capabilities, CapsPage and the
  // maximum speeds; the bits come from the current values when the drive
  // refuses the defaults. A drive that writes no medium has write speeds of
  // 0. False when the current page can't be read.
  bool ReadCapabilities();
  // Each runs ReadCapabilities first; 0 when it failed. KB/s.
  [[nodiscard]] uint16_t MaxWriteSpeed();
  [[nodiscard]] uint16_t MaxReadSpeed();
  [[nodiscard]] uint16_t CurrentWriteSpeed();

  // Mode page 2Ah from its page code on; the speed and buffer fields (bytes
  // 8-9, 12-13, 14-15, 18-19, 20-21) in host order after ReadCapabilities.
  alignas(4) std::array<uint8_t, 516> CapsPage{};
  uint32_t Capabilities = 0;  // Cap* bits
  uint16_t DeviceMaxWriteSpeed = 0;  // KB/s
  uint16_t DeviceMaxReadSpeed = 0;   // KB/s
  // Bytes, from READ BUFFER CAPACITY; written by the writing thread while a
  // front end shows them.
  std::atomic<uint32_t> DeviceBufferSize = 0;
  std::atomic<uint32_t> DeviceFreeBufferSize = 0;
  uint16_t ReadSpeed = 0;  // KB/s, 0 the maximum; sent with every SET CD SPEED
  [[nodiscard]] uint16_t WriteSpeed() const { return writeSpeed_; }
  // Sends SET CD SPEED (ReadSpeed, value) and keeps the value whether or not
  // the drive took it. 0 means the maximum.
  void SetWriteSpeed(uint16_t value);

  // The write speeds the drive accepts, as the speed choice offers them:
  // "Max" (0) first, then, probing down from MaxWriteSpeed in steps of 176
  // KB/s (CD) or 700 KB/s (DVD), every distinct speed the drive reports back
  // after it was set ("40X (7,056 KB/s)", "8.0X (11,080 KB/s)"). Leaves the
  // drive at the last speed probed. Dvd: a DVD medium is loaded.
  struct TSpeedEntry {
    std::string Text;
    uint16_t KBps = 0;
  };
  [[nodiscard]] std::vector<TSpeedEntry> WriteSpeedList(bool Dvd);

  // ==== Disc, track and session information ====
  // Every query degrades to 0 (DiscStatus: -1) instead of failing; the
  // reason of a failed command is in LastErrorText. One thread at a time.

  // The loaded medium's kind (0-14, see MediaKindNames): the current profile
  // of GET CONFIGURATION, else the ATIP's disc type, else the erasable bit of
  // the disc information, else CD-ROM when the unit is ready at all.
  [[nodiscard]] uint8_t MediaKind();
  // The disc information's erasable bit; without it, by the medium kind
  // (which is then stored in CurrentMediaKind).
  [[nodiscard]] bool IsErasable();
  // -1 when READ DISC INFORMATION fails, else 0 empty, 1 open, 2 closed, 3 other.
  [[nodiscard]] int16_t DiscStatus();
  // Complete sessions: an empty last session is not counted, and neither is
  // one a failed, aborted or killed burn left unfinished (see
  // UnfinishedSession). A drive without READ DISC INFORMATION: the last
  // complete session of the table of contents.
  [[nodiscard]] uint16_t SessionCount();
  // A last session left incomplete (or damaged) by a burn that did not end:
  // its number, its last track, where it starts and the blocks written into
  // it up to the next writable address.
  struct TUnfinishedSession {
    uint16_t Session = 0;
    uint16_t LastTrack = 0;
    uint32_t Start = 0;
    uint32_t Written = 0;
  };
  // False when the last session is complete or empty, or the disc keeps no
  // sessions.
  [[nodiscard]] bool UnfinishedSession(TUnfinishedSession& Found);
  // Closes that session, as a drive's recovery does, so that the next one
  // follows it: the track, then the session, with the disc left open. True
  // when the disc then has no unfinished session.
  [[nodiscard]] bool CloseUnfinishedSession();
  // Blocks of 2048 bytes.
  [[nodiscard]] uint32_t UsedSpace();
  [[nodiscard]] uint32_t FreeSpace();
  [[nodiscard]] uint32_t DiscSize();
  // The ISO 9660 volume size of the last volume descriptor between LBA 32
  // and 16; 0 when there is none.
  [[nodiscard]] uint32_t ReadVolumeSize();
  // Start and size in blocks of track Track (numbered from 1; sessions and
  // tracks correspond one to one): from READ TRACK INFORMATION, or, on a
  // drive that refuses it (read-only drives need not have it), from the
  // table of contents, which knows the tracks of complete sessions. There
  // the last track runs to the lead-out; an earlier one to the next track,
  // less what closing its session left: on CD the lead-out, lead-in and
  // pre-gap, on DVD the border after the end of the session's volume. False
  // (0 and 0) when neither tells.
  bool TrackExtent(uint32_t Track, uint32_t& Start, uint32_t& Size);
  // The capacity READ FORMAT CAPACITIES reports for 2048-byte blocks (the
  // block length is always 2048).
  bool ReadFormatCapacities(uint32_t& Capacity, uint32_t& BlockLength);
  // Sends the recording time as the DVD time stamp structure (format 0Fh).
  bool SendTimeStamp(TDateTime When);

  // What GetDiscInfo reports.
  struct TDisc {
    bool MediumPresent = false;  // the unit became ready
    uint32_t Capacity = 0;       // blocks
    uint32_t RecordedSize = 0;   // blocks
    uint32_t BlockLength = 0;
    uint8_t FirstSession = 0;
    uint8_t LastSession = 0;
    uint8_t Reserved = 0;
    uint8_t Status = 0;          // 0 empty, 1 open, 2 closed, 3 other
    uint16_t Profile = 0;        // current profile of GET CONFIGURATION
    std::string MediaText;
    bool Erasable = false;
  };
  // Fills Disc from the drive. When the unit does not become ready, Disc is
  // left as the caller passed it.
  void GetDiscInfo(TDisc& Disc);

  // Fields of the last READ TRACK INFORMATION reply, in host order.
  [[nodiscard]] uint32_t TrackStart() const;
  [[nodiscard]] uint32_t TrackNextWritable() const;
  [[nodiscard]] uint32_t TrackFreeBlocks() const;
  [[nodiscard]] uint32_t TrackFixedPacketSize() const;
  [[nodiscard]] uint32_t TrackSize() const;
  [[nodiscard]] uint32_t TrackLastRecorded() const;

  // The last READ DISC INFORMATION reply of the space queries; byte 2 holds
  // the disc status, byte 4 the session count, byte 6 the last track number.
  alignas(4) std::array<uint8_t, 56> DiscInformation{};
  // The last ATIP read (READ TOC/PMA/ATIP format 4).
  alignas(4) std::array<uint8_t, 26> Atip{};

  // ==== Write parameters ====
  // Reads mode page 05h, sets it up for a medium kind (write type,
  // multi-session field, track mode, data block type, link and packet size,
  // test write and underrun protection) and sends it back. DVD-RAM takes no
  // page: true without a command. False when the page can't be read or the
  // drive refuses it.
  bool SetWriteParameters(bool TestWrite, bool Underrun, uint8_t Kind);
  // The page as last read and set, from its page code byte on.
  alignas(4) std::array<uint8_t, 54> WriteParamsPage{};
  // Close the disc after the session (no next session allowed). A burner
  // setting; the write parameters read it.
  bool FinalizeDisc = false;

  // ==== Tray and readiness ====
  // Polls until the unit is ready: true when it became ready within TotalMs.
  bool WaitUntilReady(int32_t TotalMs, int32_t IntervalMs);
  // The main window's Load, Eject and Ready buttons: each sends its commands
  // and logs its outcome line; the result says whether it worked. Eject
  // refuses, without a command, a disc the system has mounted:
  // LastErrorText is then "the disc is mounted at PATH: unmount it first".
  bool LoadMedium();
  bool EjectMedium();
  bool CheckReady();
  // The first place the system has the selected drive's disc mounted (the
  // mount table entry of its device node, links followed); empty when it is
  // mounted nowhere or the drive has no device node (the virtual recorder).
  [[nodiscard]] std::string DiscMountPoint();
  // After a blank or a burn: data write parameters (test write and underrun
  // protection off), the slowest write speed, the head to the start, the
  // tray unlocked and loaded. Results are not looked at.
  void ReturnToIdle();

  // ==== Blanking ====
  // Starts erasing a rewritable medium (BlankType 0 complete, 1 quick) and
  // returns whether the drive took the command. Started: Erasing is true
  // until OnEraseDone (on the main thread, WithError false) after the drive
  // became ready again; WithError true, the reason in LastErrorText, when
  // the drive was lost or a DVD+RW still formatted after the erase's time
  // budget. Refused by the drive: OnEraseDone(WithError true) at once. Not ready within 30 s, or a drive that can't be written
  // (DriveWritable, the reason in LastErrorText): false without an event.
  bool StartErase(uint8_t BlankType);
  // Percent done of the running erase; 0 when none runs.
  [[nodiscard]] int32_t EraseProgress() const;
  // (Sender, WithError), on the main thread.
  using TEraseDoneEvent = std::function<void(TObject* Sender, bool WithError)>;
  TEraseDoneEvent OnEraseDone;
  // The BlankType of the last StartErase.
  uint8_t BlankType = 0;

  // ==== Device list and selection ====
  // Starts the transport (pass-through first with PreferSPTI, the ASPI
  // manager library as the fallback, also when the pass-through back end
  // lists no CD/DVD drive) and, when that worked, rebuilds the device list.
  // Never throws; false when no back end could be started.
  bool InitializeTransport(bool PreferSPTI, const std::string& DllPath);
  // SC_HA_INQUIRY of adapter HaId into HaInquiryBlock: the adapter count, or
  // -1 when the query failed. Sets AdapterLimit (a count of 0 gives 7).
  int8_t QueryHostAdapter(uint8_t HaId);
  // Lists every CD/DVD (INQUIRY type 05h) and write-once (04h) device of
  // adapters 0 .. AdapterLimit-1, targets 0-7, units 0-7, as lines
  // "H:T:U,X: " + vendor, product and revision (" (not supported)" added for
  // type 04h). AdapterLimit as it was when the scan began holds for the
  // whole scan and after it, whatever the adapters' own queries answer. The
  // selection stays as it was; LastErrorText is cleared.
  void RefreshDeviceList();
  // Selects the device of a list line (adapter, target and unit are its
  // characters 1, 3 and 5, single digits): loads its identity, sets the
  // quirks, fires OnDeviceChange and probes the write modes. A line that is
  // too short, names no number or no CD/DVD device deselects (254/254/254)
  // and sends "INVALID DEVICE ID / NOT A CD OR DVD DRIVE" (none for "").
  void SelectDevice(const std::string& Id);
  // The drive letter of the selected device; '\0' when it is unknown (with
  // the pass-through back end: '\x7F' when the table has no such drive).
  [[nodiscard]] char DriveLetter();
  // Re-reads the capabilities and the INQUIRY data of the selected device;
  // control bytes of the identification (bytes 8-55) become spaces.
  void LoadDeviceIdentity();
  // Tries the write types RAW, session-at-once and track-at-once in turn
  // with MODE SELECT of page 05h; the drive keeps the last one it took.
  void ProbeWriteModes();
  // Whether the transport has a back end (published on the burner).
  [[nodiscard]] bool ASPIInitialized() const;
  // Whether the selected drive can be written and erased: false, with the
  // reason in Why ("NO WRITE ACCESS TO /dev/sr0"), when the pass-through back
  // end could open it only read-only or not at all. True for a manager
  // library's drives, which the manager answers for.
  [[nodiscard]] bool DriveWritable(std::string& Why);
  // Makes the pass-through back end close drive handles after each command.
  void SetCloseAfterCommand(bool value);
  // Holds the selected drive for this component, keeping this program's other
  // processes apart on it: shared for single commands, exclusive for a write
  // or an erase job, which with the pass-through back end also opens the
  // device exclusively, as burning programs do, so that they keep out too.
  // An exclusive hold waits up to 3 s for the shared holders to finish. False,
  // with Why ("the drive is in use by another program", or "the disc is
  // mounted at PATH: unmount it first"), when the drive can't be held so;
  // the hold is then as it was. True when no device is selected, and for a
  // manager library's drive that names no serial number (nothing to tell it
  // apart by). The hold ends with the component. The first hold after a
  // selection also probes the drive's write modes (ProbeWriteModes).
  [[nodiscard]] bool HoldDrive(bool Exclusive, std::string& Why);
  // An exclusive hold also locks the tray (PREVENT MEDIUM REMOVAL) until the
  // hold ends.
  // Ends an exclusive hold (back to shared) and unlocks the tray; safe from
  // the job's thread.
  void EndExclusiveHold();
  // The drive's unit serial number (INQUIRY page 80h), trimmed; empty when it
  // names none.
  [[nodiscard]] std::string UnitSerialNumber();

  // (Sender): a device was selected.
  using TDeviceChangedEvent = std::function<void(TObject* Sender)>;
  TDeviceChangedEvent OnDeviceChange;
  std::vector<std::string> DeviceList;
  // The list line last passed to SelectDevice; empty when none is selected.
  std::string SelectedId;
  int8_t AdapterLimit = 0;
  SRB_HAInquiry HaInquiryBlock{};
  bool QuirkSlowReady = false;  // extra ready polling (DVR-103/104)
  bool QuirkLinkSize = false;   // page 05h goes out with LS_V set
  // A blank is running; no other command may go to the drive meanwhile.
  std::atomic<bool> Erasing = false;

private:
  friend class TEraseThread;
  std::unique_ptr<TCriticalSection> lock_;
  // This component's hold of the selected drive, and the drive it is for.
  std::unique_ptr<platform::TDriveLock> driveLock_;
  std::string driveLockKey_;
  bool writeModesProbed_ = false;
  // The tray is locked for this component's job.
  std::atomic<bool> trayLocked_ = false;
  [[nodiscard]] bool AcquireHold(bool Exclusive, std::string& Why);
  // The running erase's percentage, published by its thread.
  std::atomic<int32_t> eraseProgress_ = 0;
  // The erase thread still uses this component (until its report runs).
  std::atomic<bool> eraseThreadRunning_ = false;

  // The space queries' common start: the medium kind, the write parameters
  // sent as for a closed disc, and the last track number of the disc
  // information (0 when it can't be read).
  uint8_t SpacePreamble(uint8_t& lastTrack);
  // ATIP into Atip; true when the drive answered.
  bool ReadAtip();
  // The volume size of a volume descriptor at Lba; 0 when there is none.
  [[nodiscard]] uint32_t VolumeSizeAt(uint32_t Lba);
  // The blocks READ CAPACITY reports recorded (last LBA + 1); 0 when it
  // fails.
  [[nodiscard]] uint32_t RecordedBlocks();
  // The ATIP's lead-out start in blocks.
  [[nodiscard]] uint32_t AtipLeadOut() const;

  // The device-list steps of the constructor.
  void CreateDeviceList();

  // Refuses a wrapper's bad arguments: false, LastErrorText set.
  bool Refuse();
  // Runs a wrapper's request; true when it ended with status 1.
  bool Run(SRB_ExecSCSICmd& request, int32_t timeoutMs);
  // Whether the last command's reply reached `needed` bytes; else false with
  // LastErrorText saying how short it was.
  bool Arrived(uint32_t needed);

  // Per-component stand-ins for the shared command buffers: mode pages (and
  // the zero data of a blank), and the small replies and parameter lists.
  std::vector<uint8_t> modeBuffer_ = std::vector<uint8_t>(65536);
  alignas(4) std::array<uint8_t, 256> smallBuffer_{};
  uint16_t writeSpeed_ = 0;
};

// Program-wide quirks of the selected drive, set by SelectDevice: extra
// ready polling, and whether the CD session close carries the Immed bit.
extern std::atomic<bool> SlowReadyDrive;
extern std::atomic<bool> CloseImmediate;
// The medium kind found by the last probe (program-wide).
extern std::atomic<uint8_t> CurrentMediaKind;

// Medium kinds: 1-3 are CD media, 4 and above DVD media.
inline constexpr uint8_t MediaUnknown = 0;
inline constexpr uint8_t MediaCdRom = 1;
inline constexpr uint8_t MediaCdR = 2;
inline constexpr uint8_t MediaCdRw = 3;
inline constexpr uint8_t MediaDvdRom = 4;
inline constexpr uint8_t MediaDvdR = 5;
inline constexpr uint8_t MediaDvdRam = 6;
inline constexpr uint8_t MediaDvdRw = 7;
inline constexpr uint8_t MediaDvdRwRestricted = 8;
inline constexpr uint8_t MediaDvdRwSequential = 9;
inline constexpr uint8_t MediaDvdPlusRw = 10;
inline constexpr uint8_t MediaDvdPlusR = 11;
inline constexpr uint8_t MediaDdcdRom = 12;
inline constexpr uint8_t MediaDdcdR = 13;
inline constexpr uint8_t MediaDdcdRw = 14;
[[nodiscard]] constexpr bool IsDvdKind(uint8_t kind) { return kind > MediaCdRw; }
// The names of the medium kinds 0-14.
[[nodiscard]] const std::array<std::string, 15>& MediaKindNames();

// Capabilities bits.
inline constexpr uint32_t CapReadCDR = 0x1;
inline constexpr uint32_t CapReadCDRW = 0x2;
inline constexpr uint32_t CapReadMode2Form = 0x4;
inline constexpr uint32_t CapReadDVD = 0x8;
inline constexpr uint32_t CapReadDVDR = 0x10;
inline constexpr uint32_t CapReadDVDRW = 0x20;
inline constexpr uint32_t CapReadDVDRAM = 0x40;
inline constexpr uint32_t CapReadDVDPR = 0x80;
inline constexpr uint32_t CapReadDVDPRW = 0x100;
inline constexpr uint32_t CapWriteCDR = 0x200;
inline constexpr uint32_t CapWriteCDRW = 0x400;
inline constexpr uint32_t CapWriteTest = 0x800;
inline constexpr uint32_t CapWriteDVDR = 0x1000;
inline constexpr uint32_t CapWriteDVDRW = 0x2000;
inline constexpr uint32_t CapWriteDVDRAM = 0x4000;
inline constexpr uint32_t CapWriteDVDPR = 0x8000;
inline constexpr uint32_t CapWriteDVDPRW = 0x10000;
inline constexpr uint32_t CapUnderrunProtection = 0x40000;
// The bits of the media a drive writes: a drive with none of them writes nothing.
inline constexpr uint32_t CapWriteMedia = CapWriteCDR | CapWriteCDRW | CapWriteDVDR | CapWriteDVDRW | CapWriteDVDRAM |
                                          CapWriteDVDPR | CapWriteDVDPRW;

// The names of the Capabilities bits that have one, in bit order.
struct TCapabilityName {
  uint32_t Bit;
  const char* Name;
};
[[nodiscard]] std::span<const TCapabilityName> CapabilityNames();

// A speed choice's text back to KB/s: "Max" or nothing is 0 (the maximum);
// otherwise the multiple before the first "X" as SpeedFromMultiple converts
// it. A text that names no number gives 0.
[[nodiscard]] uint16_t SpeedFromText(const std::string& Text, bool Dvd);

// A speed as a person types it, strictly: "Max" in any case gives 0 (the
// maximum); decimal digits with an optional fraction and an optional "X" or
// "x" ("16", "16x", "8.0X", "2.5X") give that multiple of 1X when above 0.
// nullopt for any other text: empty, "0X", "-4X", "fast", "1e3X", " 16X".
[[nodiscard]] std::optional<double> SpeedMultipleFromText(std::string_view Text);
// A multiple of 1X in KB/s: times 177 (CD) or 1385 (DVD), rounded half to
// even, at most 65,535 (which SET CD SPEED sends as the maximum). 0 stays 0.
[[nodiscard]] uint16_t SpeedFromMultiple(double Multiple, bool Dvd);
// A speed as the speed list shows it: the multiple of 176.4 KB/s (CD, no
// decimals) or 1385 KB/s (DVD, one decimal), then the KB/s grouped:
// "40X (7,056 KB/s)", "8.0X (11,080 KB/s)".
[[nodiscard]] std::string SpeedText(uint16_t KBps, bool Dvd);
// The multiple alone, as SpeedText shows it: "40X", "8.0X".
[[nodiscard]] std::string SpeedMultipleText(double Multiple, bool Dvd);

// The report names of the opcodes 00h-FEh: 22 characters for the commands
// MMC recorders know, else the opcode as two hexadecimal digits.
[[nodiscard]] const std::array<std::string, 255>& CommandNames();

} // namespace qnzb
