// Time zone, code page choice, the platform log and well-known folders.

#include "platform/System.h"

#include <langinfo.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/posix/CodePage.h"

namespace qnzb::platform {
namespace {

// The C locale reports plain ASCII; a program that never called setlocale
// still gets UTF-8 file names from the kernel, so it counts as UTF-8 too.
const char* NonUtf8CodeSet() {
  const char* codeSet = ::nl_langinfo(CODESET);
  if (!codeSet || !*codeSet || ::strcasecmp(codeSet, "UTF-8") == 0 || ::strcasecmp(codeSet, "UTF8") == 0 ||
      ::strcmp(codeSet, "ANSI_X3.4-1968") == 0)
    return nullptr;
  return codeSet;
}

} // namespace

int32_t TimeZoneBias() {
  ::tzset();
  // glibc's `timezone`: seconds west of UTC for standard time, Bias's sign.
  return static_cast<int32_t>(::timezone / 60);
}

std::u16string AnsiToUtf16(std::string_view text) {
  const char* codeSet = NonUtf8CodeSet();
  return codeSet ? posix::CodeSetToUtf16(text, codeSet) : posix::Utf8ToUtf16(text);
}

std::string Utf16ToAnsi(std::u16string_view text) {
  const char* codeSet = NonUtf8CodeSet();
  return codeSet ? posix::Utf16ToCodeSet(text, codeSet) : posix::Utf16ToUtf8(text);
}

size_t Utf16Length(std::string_view text) {
  const char* codeSet = NonUtf8CodeSet();
  return codeSet ? posix::CodeSetToUtf16(text, codeSet).size() : posix::Utf8Utf16Length(text);
}

std::string ProgramDirectory() {
  std::string exe(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
    if (n < 0)
      return {};
    if (static_cast<size_t>(n) < exe.size()) {
      exe.resize(static_cast<size_t>(n));
      break;
    }
    if (exe.size() >= 1 << 20)
      return {};
    exe.resize(exe.size() * 2);
  }
  const size_t slash = exe.rfind('/');
  if (slash == std::string::npos)
    return {};
  return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home)
    return home;
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  for (;;) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    const int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    return (rc == 0 && found && found->pw_dir) ? std::string(found->pw_dir) : std::string();
  }
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

} // namespace qnzb::platform
