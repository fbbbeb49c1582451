// Paths hold the name's bytes as they are here.

#include "platform/PathText.h"

namespace qnzb::platform {

std::filesystem::path PathOf(const std::string& name) { return std::filesystem::path(name); }

std::string PathText(const std::filesystem::path& path) { return path.generic_string(); }

} // namespace qnzb::platform
