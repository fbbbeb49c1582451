#pragma once
// Shared pieces of the end-to-end runs: starting the built command line and the
// independent reader tools with a bounded time, a sandbox that keeps every run
// away from the user's settings, drives and home, source trees with content
// that exposes shifted or swapped sectors, and byte readers for built images.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/TempDir.h"

namespace qnzb::acceptance {

using Env = std::vector<std::pair<std::string, std::string>>;

struct RunOptions {
  Env env;                                       // added to (or replacing) the inherited environment
  std::chrono::milliseconds timeout{std::chrono::seconds(120)};
  std::optional<uint64_t> fileSizeLimit;         // RLIMIT_FSIZE for the child; writes past it fail
  // Polled while the child runs; when it returns true the child is stopped and the
  // run counts as finished early (for programs that never exit on their own).
  std::function<bool()> stopWhen;
  // Polled likewise; the first time it returns true the child gets one
  // `interruptSignal` (default SIGINT, the user's Ctrl-C) and runs on.
  std::function<bool()> interruptWhen;
  int interruptSignal = 2;
};

struct RunResult {
  int exitCode = -1;      // -1 when the child did not exit normally
  int signal = 0;         // the signal that ended it, if any
  bool timedOut = false;  // killed at the deadline
  bool stoppedEarly = false;
  bool interrupted = false;  // interruptWhen fired
  std::string out;
  std::string err;

  // For failure messages: the command's outcome and both streams.
  [[nodiscard]] std::string Describe() const;
};

// Runs argv (argv[0] looked up in PATH) without a shell, stdin from /dev/null,
// stdout and stderr captured; the whole process group is killed at the deadline.
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = {});

// True when `name` is an executable found in PATH (or a path to one).
[[nodiscard]] bool HaveTool(const std::string& name);

// Every run of the command line gets its own settings file, virtual-recorder state,
// drive map and home folder inside a scratch folder, and a UTF-8 locale.
class CliSandbox {
public:
  CliSandbox();
  [[nodiscard]] const test::TempDir& dir() const { return dir_; }
  [[nodiscard]] Env env() const;
  // qnzb-cli with these arguments.
  RunResult Cli(const std::vector<std::string>& args, RunOptions options = {}) const;
  // Any other tool, with the same environment.
  RunResult Tool(const std::vector<std::string>& argv, RunOptions options = {}) const;
  // Extracts the image's Joliet tree into `out` (created) with xorriso, the reader
  // the checks that are not about readers use.
  RunResult Extract(const std::string& image, const std::string& out) const;

private:
  test::TempDir dir_;
};

[[nodiscard]] std::string CliPath();

// Content whose every 4-byte word depends on its offset and the file's seed, so a
// sector taken from another place or another file never matches.
[[nodiscard]] std::string PositionPattern(uint64_t size, uint32_t seed);

// A source tree: relative path (UTF-8, "/" separated) of every regular file and its content.
using TreeContent = std::map<std::string, std::string>;

// Writes every file of `tree` under `root`, creating the folders.
void WriteTree(const std::string& root, const TreeContent& tree);

// The name under which the image's Joliet tree carries a source file: a file name
// without a full stop gets one appended (README is written as "README.;1"; some
// readers drop the trailing full stop again, others keep it).
[[nodiscard]] std::string JolietFileName(const std::string& name);
// `tree` with every file renamed by JolietFileName.
[[nodiscard]] TreeContent AsJolietNames(const TreeContent& tree);

// Every regular file under `root` with its content; folders are reported in `dirs`
// (relative paths) so empty folders that should not exist can be seen.
TreeContent ReadTree(const std::string& root, std::vector<std::string>* dirs = nullptr);

// Differences between what was expected and what a reader produced: missing and
// unexpected files, unexpected folders, content mismatches with the first bad offset.
// Empty when they agree.
[[nodiscard]] std::vector<std::string> CompareTrees(const TreeContent& expected, const std::string& extractedRoot);

// The folders that must exist for `tree` (every ancestor of a file).
[[nodiscard]] std::vector<std::string> FoldersOf(const TreeContent& tree);

// ---- Bytes of an image

constexpr uint32_t SectorSize = 2048;

class ImageBytes {
public:
  explicit ImageBytes(std::string bytes) : bytes_(std::move(bytes)) {}
  static ImageBytes Load(const std::string& path);
  // Only the first `length` bytes (the metadata of an image too large to hold).
  static ImageBytes LoadHead(const std::string& path, uint64_t length);

  [[nodiscard]] uint64_t size() const { return bytes_.size(); }
  [[nodiscard]] uint64_t sectors() const { return bytes_.size() / SectorSize; }
  [[nodiscard]] std::string_view Sector(uint32_t n) const;
  [[nodiscard]] std::string_view Range(uint64_t offset, uint64_t length) const;
  [[nodiscard]] uint8_t U8(uint64_t offset) const;
  [[nodiscard]] uint16_t U16LE(uint64_t offset) const;
  [[nodiscard]] uint16_t U16BE(uint64_t offset) const;
  [[nodiscard]] uint32_t U32LE(uint64_t offset) const;
  [[nodiscard]] uint32_t U32BE(uint64_t offset) const;
  // A both-byte-order 32-bit field; fails the calling test when the halves differ.
  [[nodiscard]] uint32_t U32Both(uint64_t offset) const;
  [[nodiscard]] bool AllZero(uint64_t offset, uint64_t length) const;

private:
  std::string bytes_;
};

// `length` bytes of a file from `offset`; shorter at the end of the file.
[[nodiscard]] std::string ReadRange(const std::string& path, uint64_t offset, uint64_t length);

struct DirRecord {
  uint32_t extent = 0;
  uint32_t length = 0;
  uint8_t flags = 0;
  std::string identifier;  // raw bytes
};

// The records of one directory extent, "." and ".." included, honouring the rule
// that a record never crosses a sector boundary.
[[nodiscard]] std::vector<DirRecord> ReadDirectory(const ImageBytes& image, uint32_t extent, uint32_t length);

// UTF-8 text to UTF-16 big-endian bytes (for Joliet identifiers).
[[nodiscard]] std::string Utf16BE(std::string_view utf8);

} // namespace qnzb::acceptance
