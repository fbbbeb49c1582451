#include "support/TempDir.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace qnzb::test {

TempDir::TempDir() {
  // mkdtemp's contract without it: a fresh name, created by us alone.
  static std::atomic<unsigned> serial{0};
  std::random_device entropy;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, "qnzb-test-%08x%04x", entropy(), serial.fetch_add(1) & 0xFFFF);
    std::error_code ec;
    if (fs::create_directory(base / name, ec)) {
      path_ = (base / name).generic_string();
      return;
    }
  }
  throw std::runtime_error("no temporary folder could be made in " + base.string());
}

namespace {

// What can be removed of a tree, once each. fs::remove_all of MinGW's
// library retries for ever a file that another handle still holds open.
void RemoveTree(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(path, ec))) {
    std::vector<fs::path> entries;
    for (auto it = fs::directory_iterator(path, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      entries.push_back(it->path());
    for (const fs::path& entry : entries)
      RemoveTree(entry);
  }
  fs::remove(path, ec);
}

} // namespace

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable so removal works.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  RemoveTree(path_);
}

std::string TempDir::at(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

std::string TempDir::mkdir(std::string_view relative) const {
  std::string p = at(relative);
  fs::create_directories(p);
  return p;
}

std::string TempDir::write(std::string_view relative, std::string_view content) const {
  std::string p = at(relative);
  fs::create_directories(fs::path(p).parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return p;
}

std::string TempDir::writePattern(std::string_view relative, int64_t size, int seed) const {
  std::string content(static_cast<size_t>(size), '\0');
  for (int64_t i = 0; i < size; ++i)
    content[static_cast<size_t>(i)] = static_cast<char>((i * 7 + seed) & 0xFF);
  return write(relative, content);
}

std::string TempDir::writeSparse(std::string_view relative, int64_t size) const {
  std::string p = write(relative, "");
  fs::resize_file(p, static_cast<uintmax_t>(size));
  return p;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

} // namespace qnzb::test
