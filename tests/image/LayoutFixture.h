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
