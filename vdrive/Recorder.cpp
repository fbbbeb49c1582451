// The recorder's frame: command dispatch, readiness, the fault plan, unit
// attention, persistence, the tray and the sense-reporting commands.

#include "vdrive/Recorder.h"

#include <algorithm>
#include <array>
#include <exception>
#include <filesystem>

#include "platform/PathText.h"
#include "vdrive/RecorderInternal.h"

namespace qnzb::vdrive {

using namespace detail;

namespace {

// What each opcode needs before its handler runs.
enum class Needs : uint8_t { Nothing, NotBusy, Medium };

struct Entry {
  uint8_t Opcode;
  uint8_t Length;  // CDB length of the opcode's group: 6, 10 or 12 bytes
  Needs Ready;
  Reply (Recorder::*Handler)(const Command&);
};

uint16_t Snap(const std::vector<uint16_t>& table, uint16_t requested) {
  if (table.empty())
    return 0;
  if (requested == 0xFFFF)
    return table.front();
  for (uint16_t s : table)
    if (s <= requested)
      return s;
  return table.back();
}

} // namespace

namespace {

// The unit serial number (VPD page 80h) tells drives apart, as a real drive's
// does: programs key their hold on a drive by it. A drive kept in a folder
// is the same drive in every process that opens that folder. One in memory
// names none: no other process can reach it.
std::string UnitSerial(const StateDirectory* dir) {
  if (!dir)
    return {};
  std::error_code ec;
  const auto canonical = std::filesystem::weakly_canonical(dir->Path(), ec);
  const std::string path = ec ? dir->Path() : platform::PathText(canonical);
  uint64_t hash = 14695981039346656037ULL;
  for (const char c : path)
    hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string serial = "VR";
  for (int shift = 36; shift >= 0; shift -= 4)
    serial += digits[(hash >> shift) & 0xF];
  return serial;
}

} // namespace

Recorder::Recorder(DriveState state, TickSource ticks)
    : Recorder(std::move(state), MakeMemoryStore(), nullptr, std::move(ticks)) {}

Recorder::Recorder(DriveState state, std::unique_ptr<BlockStore> store, std::unique_ptr<StateDirectory> dir,
                   TickSource ticks)
    : state_(std::move(state)), store_(std::move(store)), dir_(std::move(dir)),
      ticks_(ticks ? std::move(ticks) : SteadyTicks()) {
  buffer_.SetCapacity(state_.Config.Drive.BufferKb * 1024);
  serial_ = UnitSerial(dir_.get());
  if (state_.Config.Drive.UnitAttention)
    unitAttention_ = sense::PowerOnReset;
}

std::unique_ptr<Recorder> Recorder::Open(const std::string& dir, std::string& error, TickSource ticks) {
  auto directory = std::make_unique<StateDirectory>(dir);
  DriveState state;
  if (!directory->Load(state, error))
    return nullptr;
  auto store = directory->OpenImage(error);
  if (!store)
    return nullptr;
  return std::unique_ptr<Recorder>(
      new Recorder(std::move(state), std::move(store), std::move(directory), std::move(ticks)));
}

Recorder::~Recorder() {
  std::lock_guard lock(mutex_);
  SaveIfDirty();
}

uint64_t Recorder::Now() const {
  return ticks_();
}

ScsiOutcome Recorder::Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction,
                              std::span<uint8_t> sense) {
  std::lock_guard lock(mutex_);
  Reply r;
  try {
    r = Dispatch(cdb, data, direction);
  } catch (const std::exception&) {
    // Only allocation can throw here; a drive in trouble says so.
    r = Check({SenseKeyHardwareError, 0x44, 0x00});  // INTERNAL TARGET FAILURE
  }
  ScsiOutcome out;
  out.Status = r.Status;
  out.Transferred = r.Transferred;
  out.DataOverrun = r.Overrun;
  if (r.Status == ScsiStatusCheckCondition)
    out.SenseLength = static_cast<uint8_t>(EncodeFixedSense(r.Sense, sense));
  return out;
}

Reply Recorder::Dispatch(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction) {
  static constexpr std::array<Entry, 27> Table{{
      {0x00, 6, Needs::Medium, &Recorder::TestUnitReady},
      {0x01, 6, Needs::Medium, &Recorder::TestUnitReady},  // REZERO UNIT: nothing to seek
      {0x03, 6, Needs::Nothing, &Recorder::RequestSense},
      {0x04, 6, Needs::Medium, &Recorder::FormatUnit},
      {0x12, 6, Needs::Nothing, &Recorder::Inquiry},
      {0x1B, 6, Needs::NotBusy, &Recorder::StartStopUnit},
      {0x1E, 6, Needs::Nothing, &Recorder::PreventAllow},
      {0x23, 10, Needs::NotBusy, &Recorder::ReadFormatCapacities},
      {0x25, 10, Needs::Medium, &Recorder::ReadCapacity},
      {0x28, 10, Needs::Medium, &Recorder::Read10},
      {0x2A, 10, Needs::Medium, &Recorder::Write10},
      {0x35, 10, Needs::Medium, &Recorder::SynchronizeCache},
      {0x43, 10, Needs::Medium, &Recorder::ReadToc},
      {0x46, 10, Needs::Nothing, &Recorder::GetConfiguration},
      {0x51, 10, Needs::Medium, &Recorder::ReadDiscInformation},
      {0x52, 10, Needs::Medium, &Recorder::ReadTrackInformation},
      {0x53, 10, Needs::Medium, &Recorder::ReserveTrack},
      {0x54, 10, Needs::Medium, &Recorder::SendOpcInformation},
      {0x55, 10, Needs::Nothing, &Recorder::ModeSelect},
      {0x5A, 10, Needs::Nothing, &Recorder::ModeSense},
      {0x5B, 10, Needs::Medium, &Recorder::CloseTrackSession},
      {0x5C, 10, Needs::Nothing, &Recorder::ReadBufferCapacity},
      {0xA1, 12, Needs::Medium, &Recorder::Blank},
      {0xAD, 12, Needs::Medium, &Recorder::ReadDiscStructure},
      {0xB6, 12, Needs::Nothing, &Recorder::SetStreaming},
      {0xBB, 12, Needs::Nothing, &Recorder::SetCdSpeed},
      {0xBF, 12, Needs::Medium, &Recorder::SendDvdStructure},
  }};

  if (cdb.empty() || cdb.size() > 16)
    return Check(sense::InvalidFieldInCdb);
  ReloadIfChanged();
  const uint8_t opcode = cdb[0];
  auto entry = std::find_if(Table.begin(), Table.end(), [&](const Entry& e) { return e.Opcode == opcode; });
  if (entry == Table.end() || !Answers(opcode))
    return Check(sense::InvalidCommandOperationCode, {SenseKeySpecific::Kind::FieldPointer, true, 0, -1, 0});
  if (cdb.size() < entry->Length)
    return Check(sense::InvalidFieldInCdb);
  // Linked commands and NACA are not supported (control byte bits 0 and 2).
  const uint8_t control = cdb[entry->Length - 1];
  if (control & 0x01)
    return CdbError(static_cast<uint16_t>(entry->Length - 1), 0);
  if (control & 0x04)
    return CdbError(static_cast<uint16_t>(entry->Length - 1), 2);

  Command c;
  c.Cdb = cdb;
  if (direction == ScsiDirection::In)
    c.In = data;
  else if (direction == ScsiDirection::Out)
    c.Out = data;

  std::optional<uint32_t> lba;
  uint32_t blocks = 0;
  if (opcode == 0x28 || opcode == 0x2A) {
    lba = c.U32(2);
    blocks = c.U16(7);
  }
  if (!state_.Faults.Empty()) {
    if (auto fault = state_.Faults.Check(opcode, lba, blocks)) {
      dirty_ = true;
      Reply r = InjectFault(*fault);
      if (opcode != 0x2A)
        SaveIfDirty();
      return r;
    }
    dirty_ = true;  // the rules counted the command
  }
  if (unitAttention_ && opcode != 0x12 && opcode != 0x03 && opcode != 0x46) {
    const SenseCode ua = *unitAttention_;
    unitAttention_.reset();
    return Check(ua);
  }
  if (state_.Config.Time.RealTime)
    buffer_.Drain(Now(), EffectiveWriteSpeed());
  if (entry->Ready == Needs::Medium) {
    if (auto r = NotReady())
      return *r;
  } else if (entry->Ready == Needs::NotBusy) {
    if (auto r = BusyOnly())
      return *r;
  }
  Reply r = (this->*entry->Handler)(c);
  if (opcode != 0x2A)
    SaveIfDirty();
  return r;
}

Reply Recorder::InjectFault(FaultKind kind) {
  switch (kind) {
    case FaultKind::Busy: {
      Reply r;
      r.Status = ScsiStatusBusy;
      return r;
    }
    case FaultKind::LongWrite: return Check(sense::LongWriteInProgress);
    case FaultKind::MediumError: return Check(sense::UnrecoveredReadError);
    case FaultKind::WriteError: return Check(sense::WriteError);
    case FaultKind::TrayOpened:
      state_.TrayOpen = true;
      MediumChanged();
      return Check(sense::MediumNotPresentTrayOpen);
    case FaultKind::MediumRemoved:
      state_.Medium = Disc{};
      state_.TrayOpen = false;
      MediumChanged();
      return Check(sense::MediumNotPresentTrayClosed);
    case FaultKind::Corrupt: break;  // never injected: it alters what Write10 stores
  }
  return Check(sense::WriteError);
}

void Recorder::MediumChanged() {
  simulation_.reset();
  activity_.Cancel();
  buffer_.Flush();
  dirty_ = true;
}

std::optional<Reply> Recorder::BusyOnly() {
  if (auto busy = activity_.Check(Now())) {
    // Sense-key specific progress: how far the operation has come.
    return Check(busy->Sense, {SenseKeySpecific::Kind::Progress, true, 0, -1, busy->Progress});
  }
  return std::nullopt;
}

std::optional<Reply> Recorder::NotReady() {
  if (auto r = BusyOnly())
    return r;
  if (state_.TrayOpen)
    return Check(sense::MediumNotPresentTrayOpen);
  if (!state_.Medium.Present())
    return Check(sense::MediumNotPresentTrayClosed);
  return std::nullopt;
}

void Recorder::ReloadIfChanged() {
  if (!dir_ || !dir_->ChangedOnDisk())
    return;
  DriveState fresh;
  std::string error;
  std::string storeError;
  auto store = dir_->OpenImage(storeError);
  if (!dir_->Load(fresh, error) || !store) {
    // Someone left a state we can't use: present an empty tray and keep
    // their file as it is until the operator acts.
    state_.Medium = Disc{};
    MediumChanged();
    dirty_ = false;
    return;
  }
  state_ = std::move(fresh);
  store_ = std::move(store);
  buffer_.SetCapacity(state_.Config.Drive.BufferKb * 1024);
  MediumChanged();
  dirty_ = false;
  if (state_.Config.Drive.UnitAttention && state_.Medium.Present())
    unitAttention_ = sense::MediumMayHaveChanged;
}

void Recorder::SaveIfDirty() {
  if (!dirty_)
    return;
  dirty_ = false;
  // A state another process wrote since (a disc changed by the operator)
  // wins over what this drive has not saved yet.
  if (!dir_ || dir_->ChangedOnDisk())
    return;
  std::string error;
  if (!dir_->SaveIfChanged(state_, error)) {
    dirty_ = true;  // try again after the next command
    return;
  }
  unsavedBlocks_ = 0;
  lastSave_ = Now();
}

bool Recorder::Save(std::string& error) {
  std::lock_guard lock(mutex_);
  if (!dir_)
    return true;
  if (!dir_->Save(state_, error))
    return false;
  dirty_ = false;
  return true;
}

void Recorder::Insert(const MediumChoice& choice, uint32_t capacity) {
  std::lock_guard lock(mutex_);
  state_.Medium = Disc::New(choice.Kind, capacity, choice.Formatted, choice.Restricted);
  state_.TrayOpen = false;
  (void)store_->Clear();
  MediumChanged();
  if (state_.Config.Drive.UnitAttention && state_.Medium.Present())
    unitAttention_ = sense::MediumMayHaveChanged;
  SaveIfDirty();
}

void Recorder::Remove() {
  std::lock_guard lock(mutex_);
  state_.Medium = Disc{};
  state_.TrayOpen = false;
  MediumChanged();
  SaveIfDirty();
}

void Recorder::SetFaultPlan(const FaultPlan& plan) {
  std::lock_guard lock(mutex_);
  state_.Faults = plan;
  dirty_ = true;
  SaveIfDirty();
}

void Recorder::SetConfig(const DriveConfig& config) {
  std::lock_guard lock(mutex_);
  state_.Config = config;
  // A write parameters page the new drive can't take goes back to defaults.
  if (CheckWriteParams(state_.WriteParams, DefaultWriteParams(), config.Drive))
    state_.WriteParams = DefaultWriteParams();
  buffer_.SetCapacity(config.Drive.BufferKb * 1024);
  dirty_ = true;
  SaveIfDirty();
}

DriveState Recorder::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

uint32_t Recorder::Underruns() const {
  std::lock_guard lock(mutex_);
  return buffer_.Underruns();
}

bool Recorder::ReadBlocks(uint32_t lba, std::span<uint8_t> out) {
  std::lock_guard lock(mutex_);
  return store_->Read(lba, out);
}

Identity Recorder::Presented() const {
  Identity id = state_.Config.Drive;
  if (id.ReadOnly) {
    id.WriteCdR = id.WriteCdRw = id.WriteDvdMinusR = id.WriteDvdMinusRw = false;
    id.WriteDvdRam = id.WriteDvdPlusR = id.WriteDvdPlusRw = false;
    id.TestWrite = false;
    id.UnderrunProtection = false;
  }
  return id;
}

bool Recorder::Answers(uint8_t opcode) const {
  const Identity& id = state_.Config.Drive;
  switch (opcode) {
    case 0x46: return id.GetConfiguration;
    case 0x51: return id.ReadDiscInformation;
    case 0x52: return id.ReadTrackInformation;
    case 0xAD: return id.ReadDvdRom || id.ReadDvdMinus || id.ReadDvdPlus || id.ReadDvdRam;
    // What only a recorder has: FORMAT UNIT, READ FORMAT CAPACITIES, WRITE,
    // RESERVE TRACK, SEND OPC, CLOSE TRACK/SESSION, READ BUFFER CAPACITY,
    // BLANK and SEND DVD STRUCTURE.
    case 0x04: case 0x23: case 0x2A: case 0x53: case 0x54: case 0x5B: case 0x5C: case 0xA1: case 0xBF:
      return !id.ReadOnly;
    default: return true;
  }
}

bool Recorder::DriveWrites(const Disc& disc) const {
  const Identity id = Presented();
  switch (disc.Kind()) {
    case MediumKind::CdR: return id.WriteCdR;
    case MediumKind::CdRw: return id.WriteCdRw;
    case MediumKind::DvdMinusR: return id.WriteDvdMinusR;
    case MediumKind::DvdMinusRw: return id.WriteDvdMinusRw;
    case MediumKind::DvdPlusR: return id.WriteDvdPlusR;
    case MediumKind::DvdPlusRw: return id.WriteDvdPlusRw;
    case MediumKind::DvdRam: return id.WriteDvdRam;
    case MediumKind::None: return false;
  }
  return false;
}

WriteMode Recorder::Mode() const {
  return DecodeWriteMode(state_.WriteParams);
}

bool Recorder::TestWriteActive() const {
  // Test writing exists for CD-R/RW and sequential DVD-R/-RW only; the
  // write parameters page does not apply to the other media.
  const Disc& d = state_.Medium;
  return Mode().TestWrite && Presented().TestWrite && d.Sequential() && d.Kind() != MediumKind::DvdPlusR;
}

Disc& Recorder::Target() {
  if (!TestWriteActive()) {
    simulation_.reset();
    return state_.Medium;
  }
  if (!simulation_)
    simulation_ = state_.Medium;
  return *simulation_;
}

uint16_t Recorder::EffectiveWriteSpeed() const {
  const Identity& id = state_.Config.Drive;
  const bool dvd = state_.Medium.Present() && !state_.Medium.IsCd();
  return Snap(dvd ? id.DvdWriteSpeeds : id.CdWriteSpeeds, state_.WriteSpeed);
}

uint16_t Recorder::EffectiveReadSpeed() const {
  const Identity& id = state_.Config.Drive;
  const bool dvd = state_.Medium.Present() && !state_.Medium.IsCd();
  return Snap(dvd ? id.DvdReadSpeeds : id.CdReadSpeeds, state_.ReadSpeed);
}

Reply Recorder::TestUnitReady(const Command&) {
  return Good();
}

Reply Recorder::RequestSense(const Command& c) {
  if (c.Bit(1, 0))
    return CdbError(1, 0);  // descriptor format sense is not offered
  FixedSense s;
  if (auto busy = activity_.Check(Now())) {
    s.Code = busy->Sense;
    s.Specific = {SenseKeySpecific::Kind::Progress, true, 0, -1, busy->Progress};
  } else if (unitAttention_) {
    s.Code = *unitAttention_;
    unitAttention_.reset();
  } else if (state_.TrayOpen) {
    s.Code = sense::MediumNotPresentTrayOpen;
  } else if (!state_.Medium.Present()) {
    s.Code = sense::MediumNotPresentTrayClosed;
  }
  uint8_t bytes[FixedSenseLength];
  EncodeFixedSense(s, bytes);
  return SendIn(c, bytes, c.Byte(4));
}

Reply Recorder::StartStopUnit(const Command& c) {
  const uint8_t b4 = c.Byte(4);
  if (b4 >> 4)
    return Good();  // a power condition: nothing to do for a virtual drive
  const bool loadEject = b4 & 0x02;
  const bool start = b4 & 0x01;
  if (!loadEject) {
    if (start && !state_.TrayOpen && !state_.Medium.Present())
      return Check(sense::MediumNotPresentTrayClosed);
    return Good();
  }
  if (!start) {
    if (preventRemoval_)
      return Check(sense::MediumRemovalPrevented);
    if (!state_.TrayOpen) {
      state_.TrayOpen = true;
      MediumChanged();
    }
    return Good();
  }
  if (state_.TrayOpen) {
    state_.TrayOpen = false;
    MediumChanged();
    if (state_.Config.Drive.UnitAttention && state_.Medium.Present())
      unitAttention_ = sense::MediumMayHaveChanged;
  }
  return Good();
}

Reply Recorder::PreventAllow(const Command& c) {
  preventRemoval_ = (c.Byte(4) & 0x03) != 0;
  // A locked tray marks a job under way: the state directory is locked with
  // it, so the operator's tool can't change the disc from another process.
  // Held by someone else (the tool, that moment), the tray still locks.
  if (!preventRemoval_) {
    trayLock_.reset();
  } else if (dir_ && !trayLock_) {
    bool busy = false;
    std::string error;
    trayLock_ = FolderLock::Try(dir_->Path(), busy, error);
  }
  return Good();
}

} // namespace qnzb::vdrive
