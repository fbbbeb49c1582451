// The virtual recorder in its instant mode must never be the bottleneck of a
// burn: 4 GiB written to a persisted DVD+R in 64 KiB WRITE (10) commands,
// next to the floor of writing the same bytes to a plain file with
// `dd bs=64k` on the same disk, in one run.
//
// State and files go under $QNZB_BENCH_DIR (default /tmp/qnzb-bench).
// Run: build/bench/bench_vdrive_write

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vdrive/Media.h"
#include "vdrive/Recorder.h"

namespace fs = std::filesystem;
using namespace qnzb;

namespace {

constexpr uint64_t TotalBytes = uint64_t{4} << 30;
constexpr uint32_t BlockBytes = 65536;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double WriteToRecorder(const std::string& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string error;
  auto recorder = vdrive::Recorder::Open(dir, error);
  if (!recorder) {
    std::fprintf(stderr, "cannot open the recorder: %s\n", error.c_str());
    std::exit(1);
  }
  recorder->Insert(*vdrive::ParseMediumName("dvd+r"));
  std::vector<uint8_t> data(BlockBytes, 0x5A);
  uint8_t sense[32];
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t lba = 0; lba * 2048 < TotalBytes; lba += BlockBytes / 2048) {
    const uint8_t cdb[10] = {0x2A, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
                             static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0, 0, BlockBytes / 2048, 0};
    const ScsiOutcome outcome = recorder->Execute(cdb, data, ScsiDirection::Out, sense);
    if (outcome.Status != ScsiStatusGood) {
      std::fprintf(stderr, "WRITE (10) at %llu failed: sense %02X/%02X/%02X\n", static_cast<unsigned long long>(lba),
                   sense[2] & 0x0F, sense[12], sense[13]);
      std::exit(1);
    }
  }
  const uint8_t sync[10] = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  (void)recorder->Execute(sync, {}, ScsiDirection::None, sense);
  recorder.reset();
  return Seconds(start);
}

double WriteWithDd(const std::string& file) {
  const std::string command = "dd if=/dev/zero of='" + file + "' bs=64k count=" + std::to_string(TotalBytes / BlockBytes) +
                              " status=none";
  const auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "dd failed\n");
    std::exit(1);
  }
  return Seconds(start);
}

} // namespace

int main() {
  const char* base = std::getenv("QNZB_BENCH_DIR");
  const std::string dir = std::string(base ? base : "/tmp/qnzb-bench") + "/vdrive-write";
  fs::create_directories(dir);
  std::printf("%-8s %10s %10s\n", "run", "recorder", "dd");
  double worst = 0;
  for (int run = 1; run <= 3; ++run) {
    const double recorder = WriteToRecorder(dir + "/state");
    const double dd = WriteWithDd(dir + "/dd.bin");
    fs::remove(dir + "/dd.bin");
    worst = std::max(worst, recorder / dd);
    std::printf("%-8d %9.2fs %9.2fs   ratio %.2f\n", run, recorder, dd, recorder / dd);
  }
  fs::remove_all(dir);
  std::printf("worst ratio %.2f (target: at most 1.2)\n", worst);
  return 0;
}
