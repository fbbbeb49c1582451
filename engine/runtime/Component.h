#pragma once
// The root object and component classes the engine's components derive from.
// A component remembers its owner for the front ends' sake; it does not free
// other components (C++ ownership stays with whoever created them).

#include <cstdint>
#include <string>

namespace qnzb {

class TObject {
public:
  TObject() = default;
  virtual ~TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
};

class TComponent : public TObject {
public:
  explicit TComponent(TComponent* owner) : owner_(owner) {}
  [[nodiscard]] TComponent* Owner() const { return owner_; }

  std::string Name;
  intptr_t Tag = 0;

private:
  TComponent* owner_;
};

} // namespace qnzb
