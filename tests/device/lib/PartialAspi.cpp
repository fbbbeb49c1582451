// A manager library that lacks SendASPI32Command: the transport must refuse
// it rather than run with an empty entry point.

#include <cstdint>

extern "C" __attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo() {
  return 0x0101;
}
