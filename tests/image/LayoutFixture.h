#pragma once
// A burner component over a scratch folder, with its debug channel captured.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/image/qnCDBC.h"
#include "support/TempDir.h"

namespace qnzb::test {

class LayoutTest : public ::testing::Test {
protected:
  LayoutTest() : burner(nullptr) {
    burner.OnDebugMessage = [this](TObject*, const std::string& message, uint8_t type) {
      log.emplace_back(message, type);
    };
    burner.ResetLayout(600000, 20000);
  }

  // Every entry name of a directory, in list order.
  static std::vector<std::string> Names(const TDEntry* dir) {
    std::vector<std::string> names;
    for (const TFEntry* e = dir->FirstEntry; e; e = e->Next)
      names.push_back(e->LongName);
    return names;
  }

  // `count` sectors of an image file from sector `n`.
  static std::string Sector(const std::string& image, int64_t n, int64_t count = 1) {
    return readFile(image).substr(static_cast<size_t>(n * 2048), static_cast<size_t>(count * 2048));
  }
  static std::string Padded(const std::string& data) {
    std::string s = data;
    s.resize(static_cast<size_t>(SectorBytes(static_cast<int64_t>(data.size()))), '\0');
    return s;
  }

  [[nodiscard]] bool Logged(const std::string& message, uint8_t type) const {
    for (const auto& [text, t] : log)
      if (text == message && t == type)
        return true;
    return false;
  }

  TempDir tmp;
  TQNZBurner burner;
  std::vector<std::pair<std::string, uint8_t>> log;
};

} // namespace qnzb::test
