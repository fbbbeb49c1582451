// Text between the system code page and UTF-16: a hand-written UTF-8 path
// (file names on Linux are UTF-8 bytes, and it runs for every name listed)
// and iconv for any other code set.

#include "platform/posix/CodePage.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace qnzb::platform::posix {
namespace {

constexpr char32_t Replacement = 0xFFFD;

// Calls emit(code point) for each character; one U+FFFD per maximal invalid
// subsequence, as Unicode recommends (so "\xE2\x82" is one, not two).
template <typename Emit>
void DecodeUtf8(std::string_view text, Emit&& emit) {
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
      emit(static_cast<char32_t>(lead));
      continue;
    }
    size_t need = 0;
    char32_t cp = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
      cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      cp = lead & 0x0Fu;
      low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
      high = lead == 0xED ? 0x9F : 0xBF;  // no encoded surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      cp = lead & 0x07u;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing beyond U+10FFFF
    } else {
      emit(Replacement);
      continue;
    }
    size_t got = 0;
    while (got < need && i < size) {
      const auto b = static_cast<unsigned char>(text[i]);
      if (b < low || b > high)
        break;
      cp = (cp << 6) | (b & 0x3Fu);
      ++i;
      ++got;
      low = 0x80;
      high = 0xBF;
    }
    emit(got == need ? cp : Replacement);
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// std::u16string holds native-endian units.
const char* NativeUtf16() {
  return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
}

class TIconv {
public:
  TIconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~TIconv() {
    if (valid())
      ::iconv_close(cd_);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  [[nodiscard]] bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  [[nodiscard]] iconv_t get() const { return cd_; }

private:
  iconv_t cd_;
};

// Runs `cd` over `in`, growing `out` (bytes) as needed. On a sequence it
// can't convert, skip(in pointer, bytes left) says how many bytes to drop
// and `replacement` goes out instead.
template <typename Skip>
void RunIconv(iconv_t cd, const char* inData, size_t inSize, std::string& out, std::string_view replacement,
              Skip&& skip) {
  auto* in = const_cast<char*>(inData);  // iconv's prototype, it doesn't write
  size_t inLeft = inSize;
  size_t used = 0;
  out.resize(inSize * 2 + 16);
  for (;;) {
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    // With the input used up, one more call writes any shift sequence that
    // returns a stateful code set to its initial state.
    const bool flushing = inLeft == 0;
    const size_t rc = flushing ? ::iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                               : ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    used = static_cast<size_t>(outPtr - out.data());
    if (rc != static_cast<size_t>(-1)) {
      if (flushing)
        break;
      continue;
    }
    if (error == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    if (flushing)
      break;
    if (out.size() - used < replacement.size())
      out.resize(out.size() * 2);
    std::memcpy(out.data() + used, replacement.data(), replacement.size());
    used += replacement.size();
    if (error != EILSEQ) {
      // EINVAL: the text ends inside a character.
      inLeft = 0;
      continue;
    }
    const size_t drop = std::min(inLeft, skip(in, inLeft));
    in += drop;
    inLeft -= drop;
  }
  out.resize(used);
}

} // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  DecodeUtf8(text, [&out](char32_t cp) {
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
  });
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      out.push_back('?');
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

size_t Utf8Utf16Length(std::string_view text) {
  size_t units = 0;
  DecodeUtf8(text, [&units](char32_t cp) { units += cp < 0x10000 ? 1 : 2; });
  return units;
}

std::u16string CodeSetToUtf16(std::string_view text, const char* codeSet) {
  TIconv cd(NativeUtf16(), codeSet);
  if (!cd.valid())
    return Utf8ToUtf16(text);
  const char16_t replacement = static_cast<char16_t>(Replacement);
  std::string bytes;
  RunIconv(cd.get(), text.data(), text.size(), bytes,
           std::string_view(reinterpret_cast<const char*>(&replacement), sizeof replacement),
           [](const char*, size_t) { return size_t{1}; });
  std::u16string out(bytes.size() / 2, u'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

std::string Utf16ToCodeSet(std::u16string_view text, const char* codeSet) {
  TIconv cd(codeSet, NativeUtf16());
  if (!cd.valid())
    return Utf16ToUtf8(text);
  std::string out;
  RunIconv(cd.get(), reinterpret_cast<const char*>(text.data()), text.size() * 2, out, "?",
           [](const char* at, size_t left) {
             // A whole pair that the code set lacks goes as one "?"; anything
             // else (a lone surrogate, one missing character) is one unit.
             char16_t units[2] = {};
             std::memcpy(units, at, std::min(left, sizeof units));
             return left >= 4 && IsHighSurrogate(units[0]) && IsLowSurrogate(units[1]) ? size_t{4} : size_t{2};
           });
  return out;
}

} // namespace qnzb::platform::posix
