#include "vdrive/VDriveCommand.h"

#include <optional>
#include <ostream>

#include "vdrive/BlockStore.h"
#include "vdrive/FolderLock.h"
#include "vdrive/StateFile.h"
#include "vdrive/TextFields.h"

namespace qnzb::vdrive {

namespace {

constexpr int Ok = 0;
constexpr int Failed = 1;
constexpr int Usage = 2;

void PrintUsage(std::ostream& out) {
  out << "usage: vdrive [--dir DIR] COMMAND\n"
         "  insert KIND [--capacity BLOCKS]  load a new blank disc (the old one is gone)\n"
         "  status                           show the drive, the disc and its tracks\n"
         "  eject                            take the disc out\n"
         "  reset                            forget everything: default drive, blank CD-R\n"
         "  fault list|clear|add RULE        the scripted fault plan\n"
         "  set KEY=VALUE...                 change the drive's configuration\n"
         "  config                           list the configuration\n"
         "KIND: "
      << MediumNames()
      << "\n"
         "RULE: COMMAND KIND [after=N] [times=N|forever] [lba=N [to=M]]; COMMAND is any, two hex\n"
         "  digits or one of: "
      << OpcodeNames()
      << "\n"
         "  KIND: busy long-write medium-error write-error tray-open medium-removed corrupt\n"
         "  lba=N: only READ/WRITE commands whose blocks reach block N; to=M (M >= N): only those\n"
         "    whose blocks overlap N..M (\"read medium-error lba=1234 to=1234 times=forever\":\n"
         "    block 1234 can't be read back)\n"
         "  corrupt (write only): the WRITE succeeds, but the blocks the rule names (all, from N on,\n"
         "    or N..M) are recorded with one byte inverted; times= counts the WRITEs it corrupts\n"
         "    (\"write corrupt lba=1234 to=1234\": block 1234 reads back wrong)\n"
         "DIR defaults to $QNZB_VDRIVE, else ~/.local/share/qnzb/vdrive.\n";
}

int UsageError(std::ostream& err, const std::string& message) {
  err << "vdrive: " << message << "\n";
  PrintUsage(err);
  return Usage;
}

const char* DiscWord(const Disc& d) {
  if (d.Sequential()) {
    switch (d.Status()) {
      case DiscStatus::Empty: return "blank";
      case DiscStatus::Incomplete: return "appendable";
      default: return "finalized";
    }
  }
  if (!d.Formatted())
    return "unformatted";
  return d.Intermediate() ? "formatted, growing" : "formatted";
}

void PrintStatus(std::ostream& out, const std::string& dir, const DriveState& s) {
  const Identity& id = s.Config.Drive;
  const Disc& d = s.Medium;
  out << "state directory: " << dir << "\n";
  out << "drive: " << id.Vendor << " " << id.Product << " " << id.Revision << "\n";
  out << "tray: " << (s.TrayOpen ? "open" : "closed") << "\n";
  if (!d.Present()) {
    out << "medium: none\n";
  } else {
    out << "medium: " << Traits(d.Kind()).DisplayName;
    if (d.Kind() == MediumKind::DvdMinusRw)
      out << (d.Restricted() ? " (restricted overwrite)" : " (sequential)");
    out << ", " << d.Capacity() << " blocks\n";
    out << "disc: " << DiscWord(d);
    if (!d.Sequential()) {
      if (d.Formatted())
        out << ", " << d.FormattedBlocks() << " blocks formatted";
      out << "\n";
    } else {
      out << ", " << d.ClosedSessions() << " complete session(s)\n";
      const uint32_t last = d.LastTrackInLastSession();
      if (auto open = d.TrackInfo(last); open && open->NwaValid)
        out << "next writable address: " << open->NextWritable << " (" << open->FreeBlocks << " blocks free)\n";
      for (const Track& t : d.Tracks()) {
        out << "track " << t.Number << " (session " << t.Session << "): start " << t.Start << ", ";
        if (t.Closed)
          out << t.Size << " blocks, closed";
        else if (t.Reserved)
          out << t.Recorded << " of " << t.Size << " reserved blocks recorded";
        else
          out << t.Recorded << " blocks recorded, open";
        out << "\n";
      }
    }
    if (!d.TimeStamp().empty())
      out << "time stamp: " << d.TimeStamp() << "\n";
  }
  if (s.Faults.Empty())
    out << "faults: none\n";
  for (const FaultRule& r : s.Faults.Rules())
    out << "fault: " << FaultPlan::FormatRule(r) << "\n";
}

} // namespace

int RunVDriveCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string dir;
  std::optional<uint32_t> capacity;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      PrintUsage(out);
      return Ok;
    }
    if (a == "--dir" || a == "--capacity") {
      if (i + 1 >= args.size())
        return UsageError(err, a + " needs a value");
      const std::string& value = args[++i];
      if (a == "--dir") {
        dir = value;
      } else {
        uint32_t n = 0;
        if (!ParseNumber(value, n) || n == 0 || n > 0x00FF'FFFF)
          return UsageError(err, "--capacity needs a number of blocks (1 to 16777215)");
        capacity = n;
      }
    } else if (a.rfind("--dir=", 0) == 0) {
      dir = a.substr(6);
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError(err, "unknown option " + a);
    } else {
      words.push_back(a);
    }
  }
  if (words.empty())
    return UsageError(err, "a command is needed");
  StateDirectory state(dir.empty() ? StateDirectory::DefaultPath() : dir);
  const std::string& command = words[0];
  if (capacity && command != "insert")
    return UsageError(err, "--capacity goes with insert");

  DriveState s;
  std::string error;
  auto load = [&]() {
    if (state.Load(s, error))
      return true;
    err << "vdrive: " << error << "\n";
    return false;
  };
  // Commands that change the disc or the drive wait for no one: while a
  // program keeps the tray locked (a burn or an erase) they are refused. A
  // directory without a lock file yet has no such program.
  std::unique_ptr<FolderLock> lock;
  auto claim = [&]() {
    bool busy = false;
    std::string why;
    lock = FolderLock::Try(state.Path(), busy, why);
    if (!busy)
      return true;
    err << "vdrive: the drive is in use by another program: its tray is locked; try again when it is done\n";
    return false;
  };
  auto save = [&]() {
    if (state.Save(s, error))
      return true;
    err << "vdrive: " << error << "\n";
    return false;
  };

  if (command == "status" || command == "config") {
    if (words.size() != 1)
      return UsageError(err, command + " takes no arguments");
    if (!load())
      return Failed;
    if (command == "status") {
      PrintStatus(out, state.Path(), s);
    } else {
      for (const std::string& line : FormatConfig(s.Config))
        out << line << "\n";
    }
    return Ok;
  }

  if (command == "insert") {
    if (words.size() != 2)
      return UsageError(err, "insert needs one KIND");
    auto choice = ParseMediumName(words[1]);
    if (!choice)
      return UsageError(err, "unknown medium \"" + words[1] + "\"");
    if (!claim())
      return Failed;
    if (!state.Load(s, error)) {
      err << "vdrive: replacing a state that can't be read (" << error << ")\n";
      DriveState defaults;
      s = std::move(defaults);
    }
    // The new disc's blocks start empty before the state names it, so a
    // drive watching the state never sees old blocks on the new disc.
    auto image = state.OpenImage(error);
    if (!image) {
      err << "vdrive: " << error << "\n";
      return Failed;
    }
    if (!image->Clear()) {
      err << "vdrive: can't empty " << state.ImagePath() << "\n";
      return Failed;
    }
    s.Medium = Disc::New(choice->Kind, capacity.value_or(0), choice->Formatted, choice->Restricted);
    s.TrayOpen = false;
    if (!save())
      return Failed;
    if (s.Medium.Present())
      out << "inserted a blank " << Traits(s.Medium.Kind()).DisplayName << " (" << s.Medium.Capacity()
          << " blocks)\n";
    else
      out << "the tray is empty\n";
    return Ok;
  }

  if (command == "eject") {
    if (words.size() != 1)
      return UsageError(err, "eject takes no arguments");
    if (!claim() || !load())
      return Failed;
    s.Medium = Disc{};
    s.TrayOpen = false;
    if (!save())
      return Failed;
    out << "ejected\n";
    return Ok;
  }

  if (command == "reset") {
    if (words.size() != 1)
      return UsageError(err, "reset takes no arguments");
    if (!claim())
      return Failed;
    if (!state.Remove(error)) {
      err << "vdrive: " << error << "\n";
      return Failed;
    }
    out << "reset: default drive with a blank CD-R\n";
    return Ok;
  }

  if (command == "fault") {
    if (words.size() < 2)
      return UsageError(err, "fault needs list, clear or add RULE");
    const std::string& action = words[1];
    if (action != "list" && action != "clear" && action != "add")
      return UsageError(err, "fault needs list, clear or add RULE");
    std::optional<FaultRule> rule;
    if (action == "add") {
      std::string text;
      for (size_t i = 2; i < words.size(); ++i)
        text += (i > 2 ? " " : "") + words[i];
      rule = FaultPlan::ParseRule(text, error);
      if (!rule)
        return UsageError(err, error);
    } else if (words.size() != 2) {
      return UsageError(err, "fault " + action + " takes no arguments");
    }
    if (!load())
      return Failed;
    if (action == "list") {
      for (const FaultRule& r : s.Faults.Rules())
        out << FaultPlan::FormatRule(r) << "\n";
      return Ok;
    }
    if (!claim() || !load())
      return Failed;
    if (action == "clear")
      s.Faults.Clear();
    else
      s.Faults.Add(*rule);
    return save() ? Ok : Failed;
  }

  if (command == "set") {
    if (words.size() < 2)
      return UsageError(err, "set needs KEY=VALUE");
    if (!claim() || !load())
      return Failed;
    for (size_t i = 1; i < words.size(); ++i) {
      const size_t eq = words[i].find('=');
      if (eq == std::string::npos)
        return UsageError(err, "set needs KEY=VALUE, got \"" + words[i] + "\"");
      if (!SetConfigValue(s.Config, words[i].substr(0, eq), words[i].substr(eq + 1), error))
        return UsageError(err, error);
    }
    // A write parameters page the new drive can't take goes back to defaults.
    if (CheckWriteParams(s.WriteParams, DefaultWriteParams(), s.Config.Drive))
      s.WriteParams = DefaultWriteParams();
    return save() ? Ok : Failed;
  }

  return UsageError(err, "unknown command \"" + command + "\"");
}

} // namespace qnzb::vdrive
