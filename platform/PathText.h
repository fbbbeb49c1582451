#pragma once
// std::filesystem paths to and from the text file names have everywhere else
// in the program (the system code page). Windows' library reads narrow names
// in the ANSI code page but writes them back as UTF-8: names that pass
// through a path go through these instead.

#include <filesystem>
#include <string>

namespace qnzb::platform {

// The characters that end a folder's name in a path.
#if defined(_WIN32)
inline constexpr const char* PathSeparators = "/\\";
#else
inline constexpr const char* PathSeparators = "/";
#endif

[[nodiscard]] std::filesystem::path PathOf(const std::string& name);
// The path's text with "/" between its parts.
[[nodiscard]] std::string PathText(const std::filesystem::path& path);

} // namespace qnzb::platform
