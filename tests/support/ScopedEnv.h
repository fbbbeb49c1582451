#pragma once
// An environment variable set (or, with nullopt, unset) for a scope; the old
// value comes back when the scope ends.

#include <cstdlib>
#include <optional>
#include <string>

namespace qnzb::test {

// setenv and unsetenv, on Windows through the C runtime's own environment
// (an empty value removes a variable there).
inline void SetEnv(const std::string& name, const std::string& value) {
#if defined(_WIN32)
  ::_putenv_s(name.c_str(), value.c_str());
#else
  ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

inline void UnsetEnv(const std::string& name) {
#if defined(_WIN32)
  ::_putenv_s(name.c_str(), "");
#else
  ::unsetenv(name.c_str());
#endif
}

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
      SetEnv(name_, *value);
    else
      UnsetEnv(name_);
  }

  std::string name_;
  std::optional<std::string> old_;
};

} // namespace qnzb::test
