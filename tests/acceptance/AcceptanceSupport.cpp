#include "AcceptanceSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

#ifndef QNZB_CLI_PATH
#error "QNZB_CLI_PATH must name the built qnzb-cli"
#endif

namespace qnzb::acceptance {

std::string CliPath() {
  return QNZB_CLI_PATH;
}

std::string RunResult::Describe() const {
  std::ostringstream s;
  if (timedOut)
    s << "timed out";
  else if (stoppedEarly)
    s << "stopped early";
  else if (signal)
    s << "killed by signal " << signal;
  else
    s << "exit code " << exitCode;
  s << "\n--- stdout ---\n" << out.substr(0, 4000) << "\n--- stderr ---\n" << err.substr(0, 4000);
  return s.str();
}

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options) {
  if (argv.empty())
    throw std::invalid_argument("Run: empty argv");
  // Output goes to files, not pipes: a chatty child can never block on a full pipe
  // while we wait for it.
  test::TempDir capture;
  const std::string outPath = capture.at("stdout");
  const std::string errPath = capture.at("stderr");

  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0)
    throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
  if (pid == 0) {
    ::setpgid(0, 0);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0)
      ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const auto& [name, value] : options.env)
      ::setenv(name.c_str(), value.c_str(), 1);
    if (options.fileSizeLimit) {
      // Without this the kernel kills the writer with SIGXFSZ; ignored, the write
      // fails with EFBIG as a full disk would make it fail.
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit {};
      limit.rlim_cur = limit.rlim_max = *options.fileSizeLimit;
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ::execvp(args[0], args.data());
    ::_exit(127);
  }

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid)
      break;
    if (!result.interrupted && options.interruptWhen && options.interruptWhen()) {
      ::kill(pid, options.interruptSignal);
      result.interrupted = true;
    }
    const bool stop = options.stopWhen && options.stopWhen();
    if (stop || std::chrono::steady_clock::now() >= deadline) {
      (stop ? result.stoppedEarly : result.timedOut) = true;
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  result.out = test::readFile(outPath);
  result.err = test::readFile(errPath);
  return result;
}

bool HaveTool(const std::string& name) {
  if (name.find('/') != std::string::npos)
    return ::access(name.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
      return true;
  return false;
}

CliSandbox::CliSandbox() {
  dir_.mkdir("home/.config");
  dir_.mkdir("vdrive");
}

Env CliSandbox::env() const {
  return {
      {"QNZB_INI", dir_.at("QNZB.ini")},
      {"QNZB_VDRIVE", dir_.at("vdrive")},
      // A drive letter mapped to a path that is no device: no run ever reaches a real drive.
      {"QNZB_DRIVES", "D=" + dir_.at("no-drive")},
      {"HOME", dir_.at("home")},
      {"XDG_CONFIG_HOME", dir_.at("home/.config")},
      {"LC_ALL", "C.UTF-8"},
      {"LANG", "C.UTF-8"},
  };
}

RunResult CliSandbox::Cli(const std::vector<std::string>& args, RunOptions options) const {
  std::vector<std::string> argv{CliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Tool(argv, std::move(options));
}

RunResult CliSandbox::Tool(const std::vector<std::string>& argv, RunOptions options) const {
  Env merged = env();
  merged.insert(merged.end(), options.env.begin(), options.env.end());
  options.env = std::move(merged);
  return Run(argv, options);
}

RunResult CliSandbox::Extract(const std::string& image, const std::string& out) const {
  return Tool({"xorriso", "-osirrox", "on", "-indev", image, "-extract", "/", out});
}

std::string PositionPattern(uint64_t size, uint32_t seed) {
  std::string s(size, '\0');
  for (uint64_t i = 0; i < size; ++i) {
    const uint32_t word = static_cast<uint32_t>(i / 4);
    // A multiplicative hash of the word index mixed with the seed.
    const uint32_t v = (word * 2654435761u) ^ (seed * 40503u + 0x9E3779B9u);
    s[i] = static_cast<char>((v >> (8 * (i % 4))) & 0xFF);
  }
  return s;
}

void WriteTree(const std::string& root, const TreeContent& tree) {
  for (const auto& [rel, content] : tree) {
    const fs::path p = fs::path(root) / rel;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
      throw std::runtime_error("cannot write " + p.string());
  }
}

std::string JolietFileName(const std::string& name) {
  return name.find('.') == std::string::npos ? name + "." : name;
}

TreeContent AsJolietNames(const TreeContent& tree) {
  TreeContent renamed;
  for (const auto& [rel, content] : tree) {
    const auto slash = rel.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : rel.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    renamed[dir + JolietFileName(name)] = content;
  }
  return renamed;
}

TreeContent ReadTree(const std::string& root, std::vector<std::string>* dirs) {
  TreeContent tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).generic_string();
    if (it->is_directory()) {
      if (dirs)
        dirs->push_back(rel);
    } else {
      tree[rel] = test::readFile(it->path().string());
    }
  }
  return tree;
}

std::vector<std::string> FoldersOf(const TreeContent& tree) {
  std::set<std::string> folders;
  for (const auto& [rel, content] : tree) {
    for (auto slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1))
      folders.insert(rel.substr(0, slash));
  }
  return {folders.begin(), folders.end()};
}

std::vector<std::string> CompareTrees(const TreeContent& expected, const std::string& extractedRoot) {
  std::vector<std::string> problems;
  if (!fs::is_directory(extractedRoot)) {
    problems.push_back("no extracted folder " + extractedRoot);
    return problems;
  }
  std::vector<std::string> dirs;
  const TreeContent actual = ReadTree(extractedRoot, &dirs);
  for (const auto& [rel, content] : expected) {
    const auto found = actual.find(rel);
    if (found == actual.end()) {
      problems.push_back("missing: " + rel);
      continue;
    }
    const std::string& got = found->second;
    if (got == content)
      continue;
    const auto mismatch = std::mismatch(content.begin(), content.end(), got.begin(), got.end());
    std::ostringstream s;
    s << "content differs: " << rel << " (size " << got.size() << ", expected " << content.size()
      << ", first difference at offset " << (mismatch.first - content.begin()) << ")";
    problems.push_back(s.str());
  }
  for (const auto& [rel, content] : actual)
    if (!expected.count(rel))
      problems.push_back("unexpected file: " + rel);
  const std::vector<std::string> wanted = FoldersOf(expected);
  for (const std::string& d : dirs)
    if (!std::binary_search(wanted.begin(), wanted.end(), d))
      problems.push_back("unexpected folder: " + d);
  return problems;
}

// ---- ImageBytes

ImageBytes ImageBytes::Load(const std::string& path) {
  return ImageBytes(test::readFile(path));
}

ImageBytes ImageBytes::LoadHead(const std::string& path, uint64_t length) {
  return ImageBytes(ReadRange(path, 0, length));
}

std::string ReadRange(const std::string& path, uint64_t offset, uint64_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(length, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

std::string_view ImageBytes::Range(uint64_t offset, uint64_t length) const {
  if (offset > bytes_.size() || length > bytes_.size() - offset) {
    ADD_FAILURE() << "read of " << length << " bytes at " << offset << " beyond the image's " << bytes_.size();
    return {};
  }
  return std::string_view(bytes_).substr(offset, length);
}

std::string_view ImageBytes::Sector(uint32_t n) const {
  return Range(uint64_t{n} * SectorSize, SectorSize);
}

uint8_t ImageBytes::U8(uint64_t offset) const {
  const std::string_view b = Range(offset, 1);
  return b.empty() ? 0 : static_cast<uint8_t>(b[0]);
}

uint16_t ImageBytes::U16LE(uint64_t offset) const {
  return static_cast<uint16_t>(U8(offset) | (U8(offset + 1) << 8));
}

uint16_t ImageBytes::U16BE(uint64_t offset) const {
  return static_cast<uint16_t>((U8(offset) << 8) | U8(offset + 1));
}

uint32_t ImageBytes::U32LE(uint64_t offset) const {
  return uint32_t{U16LE(offset)} | (uint32_t{U16LE(offset + 2)} << 16);
}

uint32_t ImageBytes::U32BE(uint64_t offset) const {
  return (uint32_t{U16BE(offset)} << 16) | uint32_t{U16BE(offset + 2)};
}

uint32_t ImageBytes::U32Both(uint64_t offset) const {
  const uint32_t le = U32LE(offset);
  EXPECT_EQ(le, U32BE(offset + 4)) << "both-byte-order field at offset " << offset;
  return le;
}

bool ImageBytes::AllZero(uint64_t offset, uint64_t length) const {
  const std::string_view b = Range(offset, length);
  return b.size() == length && std::all_of(b.begin(), b.end(), [](char c) { return c == 0; });
}

std::vector<DirRecord> ReadDirectory(const ImageBytes& image, uint32_t extent, uint32_t length) {
  std::vector<DirRecord> records;
  const uint64_t start = uint64_t{extent} * SectorSize;
  uint64_t pos = 0;
  while (pos < length) {
    const uint8_t len = image.U8(start + pos);
    if (len == 0) {
      // The rest of this sector is unused; records go on in the next one.
      pos = (pos / SectorSize + 1) * SectorSize;
      continue;
    }
    if (len < 34 || (pos % SectorSize) + len > SectorSize) {
      ADD_FAILURE() << "bad directory record of length " << int{len} << " at byte " << pos << " of extent " << extent;
      break;
    }
    DirRecord r;
    r.extent = image.U32Both(start + pos + 2);
    r.length = image.U32Both(start + pos + 10);
    r.flags = image.U8(start + pos + 25);
    const uint8_t idLen = image.U8(start + pos + 32);
    r.identifier = std::string(image.Range(start + pos + 33, idLen));
    records.push_back(std::move(r));
    pos += len;
  }
  return records;
}

std::string Utf16BE(std::string_view utf8) {
  std::string out;
  auto put = [&out](uint32_t unit) {
    out.push_back(static_cast<char>(unit >> 8));
    out.push_back(static_cast<char>(unit & 0xFF));
  };
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<uint8_t>(utf8[i]);
    uint32_t cp = 0;
    size_t n = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else {
      cp = c & 0x07;
      n = 4;
    }
    for (size_t k = 1; k < n && i + k < utf8.size(); ++k)
      cp = (cp << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

} // namespace qnzb::acceptance
