// Windows attribute bits from stat and the archive mark kept in an extended
// attribute.

#include "platform/posix/FileAttributes.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

#include "platform/FileFind.h"

namespace qnzb::platform::posix {
namespace {

constexpr const char* ArchivedAttr = "user.qnzb.archived";
constexpr size_t MarkCapacity = 48;

size_t FormatMark(const struct stat& st, char (&text)[MarkCapacity]) {
  char* p = std::to_chars(text, text + 24, static_cast<long long>(st.st_mtim.tv_sec)).ptr;
  *p++ = '.';
  auto nsec = static_cast<long>(st.st_mtim.tv_nsec);
  for (int i = 8; i >= 0; --i) {
    p[i] = static_cast<char>('0' + nsec % 10);
    nsec /= 10;
  }
  return static_cast<size_t>(p + 9 - text);
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool MarkIsCurrent(const char* path, const struct stat& st) {
  // Writing the mark changes the status time, and StoreArchivedMark makes
  // sure it then differs from the modification time; status time equal to
  // modification time therefore means no current mark. That is every file
  // last touched by a plain write, so most of a fresh tree is listed without
  // reading extended attributes.
  if (SameTime(st.st_ctim, st.st_mtim))
    return false;
  char stored[MarkCapacity];
  const ssize_t len = ::getxattr(path, ArchivedAttr, stored, sizeof stored);
  if (len <= 0)
    return false;
  char expected[MarkCapacity];
  const size_t n = FormatMark(st, expected);
  return static_cast<size_t>(len) == n && std::memcmp(stored, expected, n) == 0;
}

// Both strerror_r flavours: GNU returns the text, XSI fills the buffer.
[[maybe_unused]] const char* PickErrorText(const char* gnuResult, const char*) { return gnuResult; }
[[maybe_unused]] const char* PickErrorText(int xsiResult, const char* buffer) {
  return xsiResult == 0 ? buffer : "Unknown error";
}

} // namespace

int32_t AttributesOf(const struct stat& st, std::string_view name, const char* path, bool readMark) {
  int32_t attr = 0;
  if (S_ISDIR(st.st_mode))
    attr |= faDirectory;
  else if (!readMark || !MarkIsCurrent(path, st))
    attr |= faArchive;
  if ((st.st_mode & 0222) == 0)
    attr |= faReadOnly;
  if (!name.empty() && name.front() == '.' && name != "." && name != "..")
    attr |= faHidden;
  return attr;
}

bool StoreArchivedMark(const char* path, const struct stat& st) {
  char text[MarkCapacity];
  const size_t n = FormatMark(st, text);
  if (::setxattr(path, ArchivedAttr, text, n, 0) != 0)
    return false;
  // A file written within the current clock tick gets a status time equal to
  // its modification time, which MarkIsCurrent reads as "no mark". Rewriting
  // the mark once the clock has moved on sets a later status time. Should the
  // clock not move, the file merely stays marked for archiving.
  for (int attempt = 0; attempt < 50; ++attempt) {
    struct stat now {};
    if (::stat(path, &now) != 0 || !SameTime(now.st_ctim, now.st_mtim) || !SameTime(now.st_mtim, st.st_mtim))
      break;
    const struct timespec pause = {0, 1000000};
    ::nanosleep(&pause, nullptr);
    if (::setxattr(path, ArchivedAttr, text, n, 0) != 0)
      break;
  }
  return true;
}

bool ForgetArchivedMark(const char* path) {
  if (::removexattr(path, ArchivedAttr) == 0)
    return true;
  // No mark, or no extended attributes at all: the bit is set either way.
  return errno == ENODATA || errno == ENOTSUP;
}

std::string_view LastComponent(std::string_view path) {
  const size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos)
    return path.empty() ? path : std::string_view("/");
  const size_t slash = path.rfind('/', end);
  const size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
  return path.substr(begin, end + 1 - begin);
}

std::string ErrorText(int error) {
  char buffer[256];
  return PickErrorText(::strerror_r(error, buffer, sizeof buffer), buffer);
}

} // namespace qnzb::platform::posix
