#pragma once
// An environment variable set (or, with nullopt, unset) for a scope; the old
// value comes back when the scope ends.

#include <cstdlib>
#include <optional>
#include <string>

namespace qnzb::test {

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
