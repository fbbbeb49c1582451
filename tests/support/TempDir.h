#pragma once
// A scratch folder for one test, removed with everything in it when the object goes.

#include <cstdint>
#include <string>
#include <string_view>

namespace qnzb::test {

class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's path, without a trailing "/".
  [[nodiscard]] const std::string& path() const { return path_; }
  // path() + "/" + relative.
  [[nodiscard]] std::string at(std::string_view relative) const;

  // Creates the parent folders as needed; returns the full path.
  std::string mkdir(std::string_view relative) const;
  std::string write(std::string_view relative, std::string_view content) const;
  // A file of `size` bytes whose byte i is (i * 7 + seed) & 0xFF: content that
  // catches shifted or repeated sectors.
  std::string writePattern(std::string_view relative, int64_t size, int seed = 0) const;
  // A sparse file of `size` bytes (holes read as zeros).
  std::string writeSparse(std::string_view relative, int64_t size) const;

private:
  std::string path_;
};

// Reads a whole file; empty when it can't be read.
std::string readFile(const std::string& path);

} // namespace qnzb::test
