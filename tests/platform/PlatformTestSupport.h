#pragma once
// Scoped helpers for the platform tests: capture the platform log, set an
// environment variable for one test.

#include "support/ScopedEnv.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/System.h"

namespace qnzb::test {

class TScopedPlatformLog {
public:
  TScopedPlatformLog() {
    platform::SetPlatformLog([this](const std::string& line) {
      const std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~TScopedPlatformLog() { platform::SetPlatformLog(nullptr); }
  TScopedPlatformLog(const TScopedPlatformLog&) = delete;
  TScopedPlatformLog& operator=(const TScopedPlatformLog&) = delete;

  [[nodiscard]] std::vector<std::string> lines() const {
    const std::lock_guard lock(mutex_);
    return lines_;
  }
  // True when some line mentions `text`.
  [[nodiscard]] bool mentions(const std::string& text) const {
    for (const auto& line : lines())
      if (line.find(text) != std::string::npos)
        return true;
    return false;
  }

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};


} // namespace qnzb::test
