#pragma once
// Scoped helpers for the platform tests: capture the platform log, set an
// environment variable for one test.

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

// Sets (or with nullopt unsets) a variable and puts the old value back.
class TScopedEnv {
public:
  TScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name))
      old_ = old;
    Apply(value);
  }
  ~TScopedEnv() { Apply(old_); }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
  void Apply(const std::optional<std::string>& value) {
    if (value)
      ::setenv(name_.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }

  std::string name_;
  std::optional<std::string> old_;
};

} // namespace qnzb::test
