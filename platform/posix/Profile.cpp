// Private-profile files: parsing, editing by lines, and replacing the file
// atomically.

#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/FileIO.h"
#include "platform/System.h"
#include "platform/common/ProfileEntries.h"

namespace qnzb::platform {
namespace {

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view text) { return common::TrimBlanks(text); }

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i]))
      return false;
  return true;
}

bool IsQuoted(std::string_view value) {
  return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
}

// One line of the file: its text and the line end that followed it ("" for a
// last line without one).
struct TLine {
  std::string text;
  std::string eol;
};

enum class TKind { Other, Section, Key };

struct TParsed {
  TKind kind = TKind::Other;
  std::string_view name;   // the section or key name, trimmed
  std::string_view value;  // the raw value, trimmed (keys only)
};

TParsed Parse(std::string_view text) {
  const std::string_view line = Trim(text);
  if (line.empty() || line.front() == ';')
    return {};
  if (line.front() == '[') {
    const size_t close = line.rfind(']');
    if (close != std::string_view::npos)
      return {TKind::Section, Trim(line.substr(1, close - 1)), {}};
  }
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos)
    return {};
  const std::string_view key = Trim(line.substr(0, eq));
  if (key.empty())
    return {};
  return {TKind::Key, key, Trim(line.substr(eq + 1))};
}

std::vector<TLine> SplitLines(std::string_view content) {
  std::vector<TLine> lines;
  size_t start = 0;
  while (start < content.size()) {
    const size_t nl = content.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back({std::string(content.substr(start)), ""});
      break;
    }
    const bool crlf = nl > start && content[nl - 1] == '\r';
    const size_t end = crlf ? nl - 1 : nl;
    lines.push_back({std::string(content.substr(start, end - start)), crlf ? "\r\n" : "\n"});
    start = nl + 1;
  }
  return lines;
}

// The text a line is classified by: a byte order mark before the first line
// is not part of it.
std::string_view Classified(const std::vector<TLine>& lines, size_t i) {
  std::string_view text = lines[i].text;
  if (i == 0 && text.starts_with(Utf8Bom))
    text.remove_prefix(Utf8Bom.size());
  return text;
}

enum class TLoad { Ok, Missing, NotRegular, Failed };

// The whole file; Missing when there is no file, NotRegular when the path
// names a FIFO, a device, a folder or a socket, Failed when it can't be read
// or is too large to be an ini file.
TLoad LoadFile(const std::string& fileName, std::string& content, mode_t* mode) {
  content.clear();
  if (fileName.empty())
    return TLoad::Failed;
  // Opening a FIFO waits for a writer and opening a device may wake it: look
  // before opening, and open without waiting in case the path changes between.
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0)
    return errno == ENOENT ? TLoad::Missing : TLoad::Failed;
  if (!S_ISREG(st.st_mode))
    return TLoad::NotRegular;
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return errno == ENOENT ? TLoad::Missing : TLoad::Failed;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > ProfileMaxBytes) {
    const bool regular = S_ISREG(st.st_mode);
    ::close(fd);
    return regular ? TLoad::Failed : TLoad::NotRegular;
  }
  if (mode)
    *mode = st.st_mode & 07777;
  content.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  // The file may grow while it is read; what is there at the start counts.
  while (got < content.size()) {
    const ssize_t n = ::read(fd, content.data() + got, content.size() - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      ::close(fd);
      return TLoad::Failed;
    }
    if (n == 0)
      break;
    got += static_cast<size_t>(n);
  }
  content.resize(got);
  ::close(fd);
  return TLoad::Ok;
}

std::optional<std::string> FindValue(std::string_view content, std::string_view section, std::string_view key) {
  const std::string_view wantedSection = Trim(section);
  const std::string_view wantedKey = Trim(key);
  const std::vector<TLine> lines = SplitLines(content);
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const TParsed p = Parse(Classified(lines, i));
    if (p.kind == TKind::Section) {
      inSection = SameName(p.name, wantedSection);
    } else if (p.kind == TKind::Key && inSection && SameName(p.name, wantedKey)) {
      std::string_view value = p.value;
      if (IsQuoted(value))
        value = value.substr(1, value.size() - 2);
      return std::string(value);
    }
  }
  return std::nullopt;
}

// The value as it goes into the file, quoted where reading would otherwise
// change it.
std::string Encoded(std::string_view value) {
  if (Trim(value).size() != value.size() || IsQuoted(value))
    return "\"" + std::string(value) + "\"";
  return std::string(value);
}

std::string Edited(std::string_view content, std::string_view section, std::string_view key, std::string_view value) {
  std::vector<TLine> lines = SplitLines(content);
  std::string eol = "\n";
  for (const TLine& line : lines) {
    if (!line.eol.empty()) {
      eol = line.eol;
      break;
    }
  }
  const std::string entry = std::string(key) + "=" + Encoded(value);

  std::optional<size_t> sectionAt;
  size_t lastContent = 0;  // the last non-blank line of the section found
  bool replaced = false;
  for (size_t i = 0; i < lines.size() && !replaced; ++i) {
    const std::string_view text = Classified(lines, i);
    const TParsed p = Parse(text);
    if (p.kind == TKind::Section) {
      if (sectionAt)
        break;
      if (SameName(p.name, section)) {
        sectionAt = i;
        lastContent = i;
      }
      continue;
    }
    if (!sectionAt)
      continue;
    if (p.kind == TKind::Key && SameName(p.name, key)) {
      // Keep the key as spelled in the file, and what precedes it on the line
      // (a byte order mark, indentation).
      const auto keyAt = static_cast<size_t>(p.name.data() - lines[i].text.data());
      lines[i].text = lines[i].text.substr(0, keyAt) + std::string(p.name) + "=" + Encoded(value);
      replaced = true;
    } else if (!Trim(text).empty()) {
      lastContent = i;
    }
  }

  if (!replaced && sectionAt) {
    // The section lacks the key: it goes after the section's last non-blank line.
    if (lines[lastContent].eol.empty())
      lines[lastContent].eol = eol;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastContent) + 1, TLine{entry, eol});
  } else if (!replaced) {
    // No such section: append it, after a blank line when the file has text.
    if (!lines.empty()) {
      if (lines.back().eol.empty())
        lines.back().eol = eol;
      if (!Trim(lines.back().text).empty())
        lines.push_back({"", eol});
    }
    lines.push_back({"[" + std::string(section) + "]", eol});
    lines.push_back({entry, eol});
  }

  std::string out;
  out.reserve(content.size() + entry.size() + section.size() + 8);
  for (const TLine& line : lines)
    out += line.text + line.eol;
  return out;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a write replaces: the target of a symbolic link, so the link
// survives the rename.
std::string ReplacedFile(const std::string& fileName) {
  struct stat st {};
  if (::lstat(fileName.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
    return fileName;
  std::string target(PATH_MAX, '\0');
  const ssize_t n = ::readlink(fileName.c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<size_t>(n) >= target.size())
    return fileName;
  target.resize(static_cast<size_t>(n));
  if (target.front() == '/')
    return ReplacedFile(target);
  const std::string folder = FolderOf(fileName);
  return ReplacedFile(folder == "/" ? "/" + target : folder + "/" + target);
}

bool ReplaceFile(const std::string& fileName, std::string_view content, std::optional<mode_t> mode) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = FolderOf(fileName);
  if (!DirectoryExists(folder) && !ForceDirectories(folder))
    return false;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = fileName + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    // 0666: the umask decides, as for any file the user creates.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST)
      return false;
  }
  if (fd < 0)
    return false;
  bool ok = WriteAll(fd, content) && (!mode || ::fchmod(fd, *mode) == 0) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok)
    ok = ::rename(temp.c_str(), fileName.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename is durable once the folder is on disk; failing that is no error.
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

std::mutex& WriteMutex() {
  static std::mutex mutex;
  return mutex;
}

} // namespace

std::string ReadProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                              const std::string& fileName) {
  std::string content;
  if (LoadFile(fileName, content, nullptr) != TLoad::Ok)
    return std::string(defaultValue);
  std::optional<std::string> value = FindValue(content, section, key);
  return value ? std::move(*value) : std::string(defaultValue);
}

bool StoreProfileString(std::string_view section, std::string_view key, std::string_view value,
                        const std::string& fileName) {
  if (fileName.empty() || !common::IsStorableEntry(section, key, value))
    return false;
  const std::string_view sectionName = Trim(section);
  const std::string_view keyName = Trim(key);

  const std::lock_guard lock(WriteMutex());
  const std::string target = ReplacedFile(fileName);
  std::string content;
  mode_t mode = 0;
  const TLoad load = LoadFile(target, content, &mode);
  if (load == TLoad::NotRegular) {
    PlatformLog("settings not written: " + target + " is not a regular file");
    return false;
  }
  if (load == TLoad::Failed)
    return false;
  const std::string updated = Edited(content, sectionName, keyName, value);
  if (load == TLoad::Ok && updated == content)
    return true;
  return ReplaceFile(target, updated, load == TLoad::Ok ? std::optional<mode_t>(mode) : std::nullopt);
}

std::string SettingsFilePath() {
  if (const char* ini = std::getenv("QNZB_INI"); ini && *ini)
    return ini;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    std::string folder = config;
    while (folder.size() > 1 && folder.back() == '/')
      folder.pop_back();
    return (folder == "/" ? "" : folder) + "/QNZB.ini";
  }
  const std::string home = HomeDirectory();
  if (home.empty())
    return {};
  return (home == "/" ? "" : home) + "/.config/QNZB.ini";
}

} // namespace qnzb::platform
