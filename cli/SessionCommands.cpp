// sessions, ls and extract: the disc information window's session list and
// its viewer, which reads one session's file system back and copies files
// out of it.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/DeviceOptions.h"
#include "cli/JobProgress.h"
#include "engine/device/DiscSummary.h"
#include "engine/image/qnCDBC.h"
#include "engine/recording/qnCache.h"
#include "engine/runtime/DateTime.h"
#include "engine/runtime/Strings.h"
#include "platform/PathText.h"

namespace qnzb::cli {

namespace {

namespace fs = std::filesystem;

struct TSessionArgs {
  TDeviceFlags Device;
  int Session = 0;
  std::string Path;
  std::string Target;
};

int ShowSessions(TQNZBurner& burner, TCliContext& context) {
  context.Result(SessionHeader);
  for (const std::string& line : SessionLines(burner))
    context.Result(line);
  return 0;
}

// Reads session N into the (emptied) layout; false after reporting why.
bool LoadSession(TQNZBurner& burner, int session, TCliContext& context) {
  const uint16_t sessions = burner.SessionCount();
  if (sessions == 0) {
    context.Error("the disc holds no session" +
                  (burner.LastErrorText.empty() ? std::string() : ": " + burner.LastErrorText));
    return false;
  }
  if (session < 1 || session > sessions) {
    context.Error("no session " + std::to_string(session) + ": the disc holds " + std::to_string(sessions));
    return false;
  }
  burner.ResetLayout(65535, 8191);
  if (!burner.ImportPreviousSession(static_cast<int8_t>(session), nullptr)) {
    context.Error("session " + std::to_string(session) + " holds no readable file system");
    return false;
  }
  return true;
}

// The entry a disc path names ("docs/a.txt", "/docs", "\docs\a.txt"); the
// root when the path is empty or "/". Names compare without regard to case.
struct TFound {
  TDEntry* Dir = nullptr;     // a directory (the root or an entry's)
  TFEntry* Entry = nullptr;   // the entry named, nullptr for the root
};
std::optional<TFound> Resolve(TQNZBurner& burner, const std::string& path) {
  TFound found{burner.RootDir(), nullptr};
  std::string part;
  auto step = [&]() -> bool {
    if (part.empty())
      return true;
    if (found.Dir == nullptr)
      return false;  // a file has no children
    TFEntry* entry = burner.FindEntry(found.Dir, part);
    if (entry == nullptr)
      return false;
    found.Entry = entry;
    found.Dir = entry->IsDirectory() ? entry->Dir : nullptr;
    part.clear();
    return true;
  };
  for (const char c : path) {
    if (c == '/' || c == '\\') {
      if (!step())
        return std::nullopt;
    } else {
      part += c;
    }
  }
  if (!step())
    return std::nullopt;
  return found;
}

std::string EntryLine(const TFEntry& entry) {
  const std::string when = FormatDateTime("yyyy-mm-dd hh:nn:ss", entry.DateTime);
  if (entry.IsDirectory())
    return when + "  " + std::string(12, ' ') + "  " + LocalName(entry) + "/";
  std::string size = std::to_string(entry.IsoSize);
  size.insert(0, size.size() < 12 ? 12 - size.size() : 0, ' ');
  return when + "  " + size + "  " + LocalName(entry);
}

// The session read back and PATH found in it; nullopt after reporting why.
std::optional<TFound> FindInSession(TQNZBurner& burner, const TSessionArgs& args, TCliContext& context) {
  if (!LoadSession(burner, args.Session, context))
    return std::nullopt;
  std::optional<TFound> found = Resolve(burner, args.Path);
  if (!found)
    context.Error("not in session " + std::to_string(args.Session) + ": " + args.Path);
  return found;
}

int List(TQNZBurner& burner, const TSessionArgs& args, TCliContext& context) {
  const std::optional<TFound> found = FindInSession(burner, args, context);
  if (!found)
    return ExitFailure;
  if (found->Dir == nullptr) {
    context.Result(EntryLine(*found->Entry));
    return 0;
  }
  for (const TFEntry* e = found->Dir->FirstEntry; e != nullptr; e = e->Next)
    context.Result(EntryLine(*e));
  return 0;
}

constexpr const char* LeftAsItIs = " (left as it is: move it aside or choose another TARGET)";

// Copies what the disc holds to TARGET and never writes anywhere else,
// whatever names the disc carries: every path below TARGET is made of one
// checked name at a time and checked again, lexically normalised, against
// TARGET before anything is created there. What is in the way (a file where
// a folder goes, a device, a pipe or a link where a file goes) is reported,
// never replaced or followed; only TARGET itself may be a link.
class TExtraction {
public:
  TExtraction(TQNZBurner& burner, TCliContext& context, const fs::path& target)
      : burner_(burner), context_(context), target_(Normal(target)) {}

  // `entry` (a file or a folder) to `path`, which is TARGET or a checked
  // path below it; a folder with everything below it. False when anything
  // was not extracted, after reporting it.
  bool Copy(TFEntry& entry, const fs::path& path, const std::string& discPath) {
    return entry.IsDirectory() ? CopyFolder(*entry.Dir, path, discPath) : CopyFile(entry, path, discPath);
  }

  bool CopyFolder(TDEntry& dir, const fs::path& path, const std::string& discPath) {
    if (!MakeFolder(path, discPath))
      return false;
    bool ok = true;
    for (TFEntry* e = dir.FirstEntry; e != nullptr && !AbortRequested; e = e->Next) {
      const std::string name = LocalName(*e);
      const std::string below = discPath.empty() ? name : discPath + "/" + name;
      const std::optional<fs::path> child = Below(path, name, below);
      ok = child && Copy(*e, *child, below) && ok;
    }
    return ok && !AbortRequested;
  }

  // The path of `name` in the folder `parent`; nullopt, reported, when the
  // name is not one plain name or the path would leave TARGET.
  std::optional<fs::path> Below(const fs::path& parent, const std::string& name, const std::string& discPath) {
    const bool plain = !name.empty() && name != "." && name != ".." &&
                       name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
    fs::path path = parent / platform::PathOf(name);
    if (!plain || !Inside(Normal(path))) {
      context_.Error("not extracted: " + Shown(discPath) + ": its name would put it outside " + platform::PathText(target_));
      return std::nullopt;
    }
    return path;
  }

  [[nodiscard]] int Files() const { return files_; }

private:
  static fs::path Normal(const fs::path& path) {
    std::error_code ec;
    fs::path normal = fs::absolute(path, ec).lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path())
      normal = normal.parent_path();  // "out/" is "out"
    return normal;
  }

  // Whether the normalised `path` is TARGET or below it.
  [[nodiscard]] bool Inside(const fs::path& path) const {
    return std::mismatch(target_.begin(), target_.end(), path.begin(), path.end()).first == target_.end();
  }

  // What is at `path`: TARGET's own link is followed, a link below it not.
  [[nodiscard]] fs::file_type TypeAt(const fs::path& path, std::error_code& ec) const {
    const bool top = Normal(path) == target_;
    return (top ? fs::status(path, ec) : fs::symlink_status(path, ec)).type();
  }

  bool MakeFolder(const fs::path& path, const std::string& discPath) {
    std::error_code ec;
    const fs::file_type type = TypeAt(path, ec);
    if (type == fs::file_type::directory)
      return true;
    if (type != fs::file_type::not_found) {
      context_.Error("not extracted: " + Shown(discPath) + ": " + platform::PathText(path) +
                     (ec ? ": " + ec.message() : std::string(" exists and is not a folder") + LeftAsItIs));
      return false;
    }
    fs::create_directories(path, ec);
    if (ec) {
      context_.Error("could not create the folder " + platform::PathText(path) + ": " + ec.message());
      return false;
    }
    return true;
  }

  bool CopyFile(TFEntry& entry, const fs::path& path, const std::string& discPath) {
    std::error_code ec;
    const fs::file_type type = TypeAt(path, ec);
    if (type != fs::file_type::regular && type != fs::file_type::not_found) {
      context_.Error("not extracted: " + Shown(discPath) + ": " + platform::PathText(path) +
                     (ec ? ": " + ec.message() : std::string(" exists and is not a regular file") + LeftAsItIs));
      return false;
    }
    if (!burner_.ExtractFile(&entry, platform::PathText(path))) {
      // The engine's log line says why; a stop is reported once, at the end.
      if (!AbortRequested)
        context_.Error("could not extract " + Shown(discPath) + " to " + platform::PathText(path));
      return false;
    }
    ++files_;
    return true;
  }

  // A disc path for a message: control characters as \xNN, so that what the
  // disc holds does nothing to the terminal.
  static std::string Shown(const std::string& discPath) {
    std::string shown;
    for (const char c : discPath) {
      const auto b = static_cast<unsigned char>(c);
      shown += b < 0x20 || b == 0x7F ? Format("\\x%02X", b) : std::string(1, c);
    }
    return shown.empty() ? std::string("/") : shown;
  }

  TQNZBurner& burner_;
  TCliContext& context_;
  const fs::path target_;
  int files_ = 0;
};

int Extract(TQNZBurner& burner, const TSessionArgs& args, TCliContext& context) {
  const std::optional<TFound> found = FindInSession(burner, args, context);
  if (!found)
    return ExitFailure;
  TExtraction extraction(burner, context, platform::PathOf(args.Target));
  std::optional<fs::path> target = platform::PathOf(args.Target);
  const std::string discPath = found->Entry != nullptr ? LocalName(*found->Entry) : std::string();
  // Into an existing folder: under the entry's own name.
  std::error_code ec;
  if (found->Entry != nullptr && fs::is_directory(*target, ec))
    target = extraction.Below(*target, discPath, discPath);
  if (!target)
    return ExitFailure;

  // A signal stops the file being written (nothing of it is left) and the
  // walk; files completed before it stay.
  AbortRequested = false;
  const TInterruptAsAbort interrupt;
  const bool ok = found->Entry != nullptr ? extraction.Copy(*found->Entry, *target, discPath)
                                          : extraction.CopyFolder(*found->Dir, *target, discPath);
  const std::string done = std::to_string(extraction.Files()) + " file(s) extracted to " + target->string();
  if (AbortRequested) {
    context.Error(std::string(msgAbortedByUser) + ": " + done + " before the stop");
    return ExitFailure;
  }
  if (ok)
    context.Result(done);
  return ok ? 0 : ExitFailure;
}

void AddSessionOption(CLI::App& command, TSessionArgs& args) {
  command.add_option("--session", args.Session, "The session, counted from 1 (see `sessions`)")->required();
}

} // namespace

void AddSessionCommands(CLI::App& app, TCliContext& context) {
  auto sessions = std::make_shared<TDeviceFlags>();
  CLI::App* list = app.add_subcommand("sessions", "List the sessions of the disc: number, start block and size");
  AddDeviceFlags(*list, *sessions);
  list->callback([sessions, &context] {
    context.ExitCode =
        RunOnDrive(context, *sessions, [&](TQNZBurner& burner) { return ShowSessions(burner, context); });
  });

  auto ls = std::make_shared<TSessionArgs>();
  CLI::App* lsCommand = app.add_subcommand("ls", "List a folder (default the root) of a session of the disc");
  AddDeviceFlags(*lsCommand, ls->Device);
  AddSessionOption(*lsCommand, *ls);
  lsCommand->add_option("PATH", ls->Path, "A folder or file of the session, \"docs/letters\"");
  lsCommand->callback([ls, &context] {
    context.ExitCode = RunOnDrive(context, ls->Device, [&](TQNZBurner& burner) { return List(burner, *ls, context); });
  });

  auto extract = std::make_shared<TSessionArgs>();
  CLI::App* extractCommand =
      app.add_subcommand("extract", "Copy a file or folder of a session of the disc to TARGET");
  AddDeviceFlags(*extractCommand, extract->Device);
  AddSessionOption(*extractCommand, *extract);
  extractCommand->add_option("PATH", extract->Path, "The file or folder of the session")->required();
  extractCommand->add_option("TARGET", extract->Target, "Where to put it (into it, when an existing folder)")
      ->required();
  extractCommand->callback([extract, &context] {
    context.ExitCode =
        RunOnDrive(context, extract->Device, [&](TQNZBurner& burner) { return Extract(burner, *extract, context); });
  });
}

} // namespace qnzb::cli
