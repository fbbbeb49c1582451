#include "vdrive/StateFile.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "vdrive/TextFields.h"

namespace fs = std::filesystem;

namespace qnzb::vdrive {

namespace {

constexpr uint32_t StateVersion = 1;
// A state file is a few kilobytes; anything far larger is not one.
constexpr uintmax_t MaxStateFileSize = 1 << 20;

std::string Hex(std::span<const uint8_t> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool ParseHex(std::string_view text, std::span<uint8_t> out) {
  std::string compact;
  for (char c : text)
    if (c != ' ')
      compact += c;
  if (compact.size() != out.size() * 2)
    return false;
  for (size_t i = 0; i < out.size(); ++i) {
    uint32_t v = 0;
    if (!ParseNumber("0x" + compact.substr(2 * i, 2), v))
      return false;
    out[i] = static_cast<uint8_t>(v);
  }
  return true;
}

std::string TrackFlags(const Track& t) {
  std::string f;
  if (t.Reserved)
    f += 'r';
  if (t.Closed)
    f += 'c';
  if (t.Incremental)
    f += 'i';
  return f.empty() ? "-" : f;
}

std::optional<MediumKind> KindByName(std::string_view name) {
  for (MediumKind k : {MediumKind::None, MediumKind::CdR, MediumKind::CdRw, MediumKind::DvdMinusR, MediumKind::DvdMinusRw,
                       MediumKind::DvdPlusR, MediumKind::DvdPlusRw, MediumKind::DvdRam})
    if (Traits(k).Name == name)
      return k;
  return std::nullopt;
}

// Parses one "track=" value: NUMBER SESSION START SIZE RECORDED FLAGS.
bool ParseTrack(std::string_view value, Track& t) {
  const auto words = SplitWords(value);
  if (words.size() != 6)
    return false;
  if (!ParseNumber(words[0], t.Number) || !ParseNumber(words[1], t.Session) || !ParseNumber(words[2], t.Start) ||
      !ParseNumber(words[3], t.Size) || !ParseNumber(words[4], t.Recorded))
    return false;
  if (words[5] != "-") {
    for (char c : words[5]) {
      if (c == 'r')
        t.Reserved = true;
      else if (c == 'c')
        t.Closed = true;
      else if (c == 'i')
        t.Incremental = true;
      else
        return false;
    }
  }
  return true;
}

bool ParseFlag(std::string_view value, bool& flag) {
  if (value == "0" || value == "1") {
    flag = value == "1";
    return true;
  }
  return false;
}

} // namespace

std::string FormatState(const DriveState& s) {
  std::ostringstream out;
  out << "# Virtual recorder state: one key=value per line. The recorder rewrites\n"
         "# this file; comments are not kept.\n";
  out << "version=" << StateVersion << "\n";
  for (const std::string& line : FormatConfig(s.Config))
    out << line << "\n";
  out << "tray=" << (s.TrayOpen ? "open" : "closed") << "\n";
  const Disc::Fields d = s.Medium.ToFields();
  out << "medium=" << Traits(d.Kind).Name << "\n";
  if (d.Kind != MediumKind::None) {
    out << "capacity=" << d.Capacity << "\n";
    out << "restricted=" << (d.Restricted ? 1 : 0) << "\n";
    out << "formatted=" << (d.Formatted ? 1 : 0) << "\n";
    out << "formatted-blocks=" << d.FormattedBlocks << "\n";
    out << "intermediate=" << (d.Intermediate ? 1 : 0) << "\n";
    out << "closed-sessions=" << d.ClosedSessions << "\n";
    out << "finalized=" << (d.Finalized ? 1 : 0) << "\n";
    out << "next-start=" << d.NextStart << "\n";
    for (const Track& t : d.Tracks)
      out << "track=" << t.Number << " " << t.Session << " " << t.Start << " " << t.Size << " " << t.Recorded << " "
          << TrackFlags(t) << "\n";
    if (!d.TimeStamp.empty())
      out << "timestamp=" << d.TimeStamp << "\n";
  }
  out << "write-params=" << Hex(s.WriteParams) << "\n";
  out << "read-speed=" << s.ReadSpeed << "\n";
  out << "write-speed=" << s.WriteSpeed << "\n";
  for (const FaultRule& r : s.Faults.Rules())
    out << "fault=" << FaultPlan::FormatRule(r) << "\n";
  return out.str();
}

std::optional<DriveState> ParseState(std::string_view text, std::string& error) {
  DriveState state;
  Disc::Fields disc;
  disc.Kind = MediumKind::CdR;
  bool sawVersion = false;
  bool sawMedium = false;
  size_t lineNo = 0;
  auto fail = [&](const std::string& why) -> std::optional<DriveState> {
    error = "line " + std::to_string(lineNo) + ": " + why;
    return std::nullopt;
  };
  while (!text.empty()) {
    ++lineNo;
    const size_t nl = text.find('\n');
    const std::string_view line = Trim(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty() || line[0] == '#')
      continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos)
      return fail("expected key=value");
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    const std::string k(key);
    uint32_t n = 0;
    const bool number = ParseNumber(value, n);
    bool flag = false;
    const bool isFlag = ParseFlag(value, flag);
    std::string why;
    if (k == "version") {
      if (!number || n != StateVersion)
        return fail("unsupported version \"" + std::string(value) + "\"");
      sawVersion = true;
    } else if (IsConfigKey(key)) {
      if (!SetConfigValue(state.Config, key, value, why))
        return fail(k + ": " + why);
    } else if (k == "tray") {
      if (value != "open" && value != "closed")
        return fail("tray must be open or closed");
      state.TrayOpen = value == "open";
    } else if (k == "medium") {
      auto kind = KindByName(value);
      if (!kind)
        return fail("unknown medium \"" + std::string(value) + "\"");
      disc.Kind = *kind;
      sawMedium = true;
    } else if (uint32_t* field = k == "capacity"           ? &disc.Capacity
                                 : k == "formatted-blocks" ? &disc.FormattedBlocks
                                 : k == "closed-sessions"  ? &disc.ClosedSessions
                                 : k == "next-start"       ? &disc.NextStart
                                                           : nullptr) {
      if (!number)
        return fail(k + " needs a number");
      *field = n;
    } else if (bool* flagField = k == "restricted"     ? &disc.Restricted
                                 : k == "formatted"    ? &disc.Formatted
                                 : k == "intermediate" ? &disc.Intermediate
                                 : k == "finalized"    ? &disc.Finalized
                                                       : nullptr) {
      if (!isFlag)
        return fail(k + " must be 0 or 1");
      *flagField = flag;
    } else if (k == "track") {
      Track t;
      if (!ParseTrack(value, t))
        return fail("track needs NUMBER SESSION START SIZE RECORDED FLAGS");
      disc.Tracks.push_back(t);
    } else if (k == "timestamp") {
      if (value.size() != 14 || value.find_first_not_of("0123456789") != std::string_view::npos)
        return fail("timestamp needs 14 digits");
      disc.TimeStamp = std::string(value);
    } else if (k == "write-params") {
      if (!ParseHex(value, state.WriteParams) || state.WriteParams[0] != 0x05 ||
          state.WriteParams[1] != WriteParamsLength - 2)
        return fail("write-params needs the 52 bytes of page 05h in hex");
    } else if (k == "read-speed" || k == "write-speed") {
      if (!number || n > 0xFFFF)
        return fail(k + " needs 0 to 65535");
      (k == "read-speed" ? state.ReadSpeed : state.WriteSpeed) = static_cast<uint16_t>(n);
    } else if (k == "fault") {
      auto rule = FaultPlan::ParseRule(value, why);
      if (!rule)
        return fail("fault: " + why);
      state.Faults.Add(*rule);
    } else {
      return fail("unknown key \"" + k + "\"");
    }
  }
  lineNo = 0;
  if (!sawVersion || !sawMedium) {
    error = "not a virtual recorder state (no version or medium line)";
    return std::nullopt;
  }
  if (auto bad = CheckWriteParams(state.WriteParams, DefaultWriteParams(), state.Config.Drive)) {
    error = "write-params: byte " + std::to_string(*bad) + " holds a value the drive does not accept";
    return std::nullopt;
  }
  std::string why;
  auto medium = Disc::FromFields(disc, why);
  if (!medium) {
    error = "disc: " + why;
    return std::nullopt;
  }
  state.Medium = std::move(*medium);
  return state;
}

StateDirectory::StateDirectory(std::string path) : path_(std::move(path)) {}

std::string StateDirectory::DefaultPath() {
  if (const char* dir = std::getenv("QNZB_VDRIVE"); dir && *dir)
    return dir;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
    return std::string(data) + "/qnzb/vdrive";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.local/share/qnzb/vdrive";
  return ".qnzb-vdrive";
}

bool StateDirectory::Load(DriveState& state, std::string& error) {
  const std::string file = StatePath();
  stamp_ = StampOf(file);
  if (!stamp_.Exists) {
    DriveState defaults;
    state = std::move(defaults);
    text_ = FormatState(state);
    return true;
  }
  std::error_code ec;
  const uintmax_t size = fs::file_size(file, ec);
  if (ec || size > MaxStateFileSize) {
    error = file + ": not a virtual recorder state (unreadable or too large)";
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) {
    error = file + ": can't be read";
    return false;
  }
  auto parsed = ParseState(text.str(), error);
  if (!parsed) {
    error = file + ": " + error;
    return false;
  }
  state = std::move(*parsed);
  // Canonical, so that a file in another layout (comments, key order) counts
  // as unchanged as long as the state it describes is.
  text_ = FormatState(state);
  return true;
}

bool StateDirectory::Save(const DriveState& state, std::string& error) {
  return Write(FormatState(state), error);
}

bool StateDirectory::SaveIfChanged(const DriveState& state, std::string& error) {
  std::string text = FormatState(state);
  if (text == text_ && !ChangedOnDisk())
    return true;
  return Write(text, error);
}

bool StateDirectory::Write(const std::string& text, std::string& error) {
  std::error_code ec;
  fs::create_directories(path_, ec);
  if (ec) {
    error = "can't create " + path_ + ": " + ec.message();
    return false;
  }
  std::random_device random;
  const std::string temp = StatePath() + ".new-" + std::to_string(random());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      error = "can't write " + temp;
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, StatePath(), ec);
  if (ec) {
    error = "can't replace " + StatePath() + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  stamp_ = StampOf(StatePath());
  text_ = text;
  return true;
}

bool StateDirectory::Remove(std::string& error) {
  std::error_code ec;
  for (const std::string& file : {StatePath(), ImagePath()}) {
    fs::remove(file, ec);
    if (ec) {
      error = "can't remove " + file + ": " + ec.message();
      return false;
    }
  }
  stamp_ = StampOf(StatePath());
  text_ = FormatState(DriveState{});
  return true;
}

std::unique_ptr<BlockStore> StateDirectory::OpenImage(std::string& error) const {
  std::error_code ec;
  fs::create_directories(path_, ec);
  if (ec) {
    error = "can't create " + path_ + ": " + ec.message();
    return nullptr;
  }
  return OpenImageFile(ImagePath(), error);
}

bool StateDirectory::ChangedOnDisk() const {
  return !(StampOf(StatePath()) == stamp_);
}

} // namespace qnzb::vdrive
