// sessions, ls and extract: the disc information window's session list and
// its viewer, which reads one session's file system back and copies files
// out of it.

#include <CLI/CLI.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/DeviceOptions.h"
#include "engine/device/DiscSummary.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/DateTime.h"

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

// A file's name as it was on the source disk: the disc's long name of a file
// without an extension carries a full stop at its end.
std::string LocalName(const TFEntry& entry) {
  if (!entry.IsDirectory() && entry.LongName.size() > 1 && entry.LongName.ends_with('.'))
    return entry.LongName.substr(0, entry.LongName.size() - 1);
  return entry.LongName;
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

// Copies a file, or a folder with everything below it, to `target`.
bool ExtractTree(TQNZBurner& burner, TFEntry* entry, TDEntry* dir, const fs::path& target, TCliContext& context,
                 int& files) {
  if (dir == nullptr) {
    if (!burner.ExtractFile(entry, target.string())) {
      context.Error("could not extract " + entry->LongName + " to " + target.string() +
                    (burner.LastErrorText.empty() ? std::string() : ": " + burner.LastErrorText));
      return false;
    }
    ++files;
    return true;
  }
  std::error_code ec;
  fs::create_directories(target, ec);
  if (ec) {
    context.Error("could not create the folder " + target.string() + ": " + ec.message());
    return false;
  }
  bool ok = true;
  for (TFEntry* e = dir->FirstEntry; e != nullptr; e = e->Next)
    ok = ExtractTree(burner, e, e->IsDirectory() ? e->Dir : nullptr, target / LocalName(*e), context, files) && ok;
  return ok;
}

int Extract(TQNZBurner& burner, const TSessionArgs& args, TCliContext& context) {
  const std::optional<TFound> found = FindInSession(burner, args, context);
  if (!found)
    return ExitFailure;
  fs::path target = args.Target;
  // Into an existing folder: under the entry's own name.
  std::error_code ec;
  if (found->Entry != nullptr && fs::is_directory(target, ec))
    target /= LocalName(*found->Entry);
  int files = 0;
  const bool ok = ExtractTree(burner, found->Entry, found->Dir, target, context, files);
  if (ok)
    context.Result(std::to_string(files) + " file(s) extracted to " + target.string());
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
