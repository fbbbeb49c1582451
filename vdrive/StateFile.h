#pragma once
// The persistent state of a virtual recorder: a state directory holding a
// small text file ("drive.state": the drive's configuration, the loaded disc's
// structure, the write parameters, the speeds and the fault plan, one
// key=value per line) and the disc's sparse image ("disc.img").
//
// The default directory is $QNZB_VDRIVE, else $XDG_DATA_HOME/qnzb/vdrive,
// else ~/.local/share/qnzb/vdrive. A directory without a state file is a
// drive with default settings and a blank CD-R.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "vdrive/BlockStore.h"
#include "vdrive/Disc.h"
#include "vdrive/DriveConfig.h"
#include "vdrive/FaultPlan.h"
#include "vdrive/ModePages.h"

namespace qnzb::vdrive {

struct DriveState {
  DriveConfig Config;
  Disc Medium = Disc::New(MediumKind::CdR);
  bool TrayOpen = false;
  WriteParamsPage WriteParams = DefaultWriteParams();
  // SET CD SPEED requests as last set (FFFFh: the drive's maximum).
  uint16_t ReadSpeed = 0xFFFF;
  uint16_t WriteSpeed = 0xFFFF;
  FaultPlan Faults;
};

[[nodiscard]] std::string FormatState(const DriveState& state);
// Parses a state file. Every line is checked: an unknown key, a bad value or
// a disc structure that contradicts itself makes the whole file invalid
// (empty result, `error` names the line and the reason).
[[nodiscard]] std::optional<DriveState> ParseState(std::string_view text, std::string& error);

class StateDirectory {
public:
  explicit StateDirectory(std::string path);

  [[nodiscard]] static std::string DefaultPath();
  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] std::string StatePath() const { return path_ + "/drive.state"; }
  [[nodiscard]] std::string ImagePath() const { return path_ + "/disc.img"; }

  // Reads the state file; a missing file gives the default state. False with
  // `error` set when the file can't be read or is invalid.
  [[nodiscard]] bool Load(DriveState& state, std::string& error);
  // Writes the state file atomically (a new file renamed over the old),
  // creating the directory as needed.
  [[nodiscard]] bool Save(const DriveState& state, std::string& error);
  // As Save, but leaves the file (and its time stamp) alone when it already
  // holds `state`: as this object last read or wrote it, and unchanged since.
  [[nodiscard]] bool SaveIfChanged(const DriveState& state, std::string& error);
  // Deletes the state file and the image.
  [[nodiscard]] bool Remove(std::string& error);
  // Opens the disc image (creating the directory and an empty image as
  // needed); empty with `error` set when that fails.
  [[nodiscard]] std::unique_ptr<BlockStore> OpenImage(std::string& error) const;
  // True when the state file is no longer the one this object last read or
  // wrote: another process changed it.
  [[nodiscard]] bool ChangedOnDisk() const;

private:
  [[nodiscard]] bool Write(const std::string& text, std::string& error);

  std::string path_;
  FileStamp stamp_;
  // The state last read or written, as FormatState gives it.
  std::string text_;
};

} // namespace qnzb::vdrive
