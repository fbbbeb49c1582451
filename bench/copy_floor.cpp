// The floors an image build is measured against, on the same tree:
//
//   copy_floor copy TREE OUT BYTES   every regular file's bytes read(2) and
//                                    write(2) through one 1 MiB buffer into OUT,
//                                    each padded with zeros to whole 2048-byte
//                                    sectors, then zeros up to BYTES in all: the
//                                    image's bytes by the plainest copy there is
//   copy_floor read TREE READERS     the tree's files read by READERS threads
//                                    taking turns over one list, the data dropped:
//                                    how fast the disk gives up small files when
//                                    several requests are in flight
//
// Both list the tree first (in directory order), as a builder must.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t BufferSize = 1 << 20;
constexpr int64_t SectorSize = 2048;

std::vector<std::string> ListFiles(const char* tree) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree))
    if (entry.is_regular_file())
      files.push_back(entry.path().string());
  return files;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "copy_floor: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

void WriteAll(int out, const uint8_t* data, size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(out, data, count);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      Fail("write");
    data += n;
    count -= static_cast<size_t>(n);
  }
}

// Gathers the output in the buffer and writes it out whenever it is full.
class TOutput {
public:
  explicit TOutput(int fd) : fd_(fd), buffer_(BufferSize) {}
  uint8_t* Room() { return buffer_.data() + used_; }
  size_t Free() const { return buffer_.size() - used_; }
  void Used(size_t n) {
    used_ += n;
    written_ += static_cast<int64_t>(n);
    if (used_ == buffer_.size())
      Flush();
  }
  void Zeros(int64_t n) {
    while (n > 0) {
      const auto k = static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(Free())));
      std::memset(Room(), 0, k);
      Used(k);
      n -= static_cast<int64_t>(k);
    }
  }
  void Flush() {
    WriteAll(fd_, buffer_.data(), used_);
    used_ = 0;
  }
  int64_t Written() const { return written_; }

private:
  int fd_;
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
  int64_t written_ = 0;
};

int Copy(const char* tree, const char* outName, int64_t total) {
  const int out = ::open(outName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0)
    Fail(outName);
  TOutput output(out);
  for (const std::string& file : ListFiles(tree)) {
    const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
      Fail(file);
    int64_t size = 0;
    for (;;) {
      const ssize_t n = ::read(in, output.Room(), output.Free());
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        Fail(file);
      if (n == 0)
        break;
      size += n;
      output.Used(static_cast<size_t>(n));
    }
    ::close(in);
    output.Zeros((SectorSize - size % SectorSize) % SectorSize);
  }
  output.Zeros(total - output.Written());
  output.Flush();
  if (::close(out) != 0)
    Fail(outName);
  return 0;
}

int Read(const char* tree, int readers) {
  const std::vector<std::string> files = ListFiles(tree);
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < readers; ++r)
    threads.emplace_back([&] {
      std::vector<uint8_t> buffer(BufferSize);
      for (size_t i; (i = next.fetch_add(1)) < files.size();) {
        const int in = ::open(files[i].c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
          Fail(files[i]);
        while (::read(in, buffer.data(), buffer.size()) > 0) {
        }
        ::close(in);
      }
    });
  for (std::thread& t : threads)
    t.join();
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "copy") == 0)
    return Copy(argv[2], argv[3], std::strtoll(argv[4], nullptr, 10));
  if (argc == 4 && std::strcmp(argv[1], "read") == 0)
    return Read(argv[2], std::max(1, std::atoi(argv[3])));
  std::fprintf(stderr, "usage: copy_floor copy TREE OUT BYTES | copy_floor read TREE READERS\n");
  return 2;
}
