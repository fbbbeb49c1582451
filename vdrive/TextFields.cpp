#include "vdrive/TextFields.h"

#include <charconv>

namespace qnzb::vdrive {

bool ParseNumber(std::string_view text, uint32_t& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty())
    return false;
  uint32_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc() || end != text.data() + text.size())
    return false;
  value = v;
  return true;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && blank(text.back()))
    text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> SplitList(std::string_view text) {
  std::vector<std::string_view> items;
  while (true) {
    const size_t comma = text.find(',');
    std::string_view item = Trim(text.substr(0, comma));
    if (!item.empty())
      items.push_back(item);
    if (comma == std::string_view::npos)
      break;
    text.remove_prefix(comma + 1);
  }
  return items;
}

std::vector<std::string_view> SplitWords(std::string_view text) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
      ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t')
      ++i;
    if (i > start)
      words.push_back(text.substr(start, i - start));
  }
  return words;
}

} // namespace qnzb::vdrive
