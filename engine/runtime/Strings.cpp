#include "engine/runtime/Strings.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace qnzb {

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = UpperAscii(c);
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperAscii(a[i]) != UpperAscii(b[i]))
      return false;
  return true;
}

std::string FormatFixed(double value, int decimals, bool grouped) {
  decimals = std::clamp(decimals, 0, 9);
  const double scale = std::pow(10.0, decimals);
  const double rounded = std::copysign(std::floor(std::fabs(value) * scale + 0.5) / scale, value);
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, rounded);
  std::string out = text;
  if (!grouped || !std::isfinite(rounded))
    return out;
  const size_t digitsStart = out[0] == '-' ? 1 : 0;
  const size_t point = out.find('.');
  for (auto at = static_cast<std::ptrdiff_t>(point == std::string::npos ? out.size() : point) - 3;
       at > static_cast<std::ptrdiff_t>(digitsStart); at -= 3)
    out.insert(static_cast<size_t>(at), ",");
  return out;
}

std::string Format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, pattern, copy);
  va_end(copy);
  std::string out;
  if (needed > 0) {
    out.resize(static_cast<size_t>(needed));
    std::vsnprintf(out.data(), out.size() + 1, pattern, args);
  }
  va_end(args);
  return out;
}

// A UTF-8 continuation byte is 10xxxxxx; every other byte starts a code point.
static bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

size_t CodePointCount(std::string_view text) {
  size_t count = 0;
  for (char c : text)
    count += IsContinuation(c) ? 0 : 1;
  return count;
}

size_t CodePointPrefix(std::string_view text, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!IsContinuation(text[i])) {
      if (seen == count)
        return i;
      ++seen;
    }
  }
  return text.size();
}

} // namespace qnzb
