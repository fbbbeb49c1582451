// A burn must keep a fast recorder busy: the virtual recorder in its
// real-time mode (a 2 MiB buffer drained at the write speed, underruns
// counted) is burnt at its top speeds, 40x CD (7,056 KB/s) and 16x DVD
// (22,160 KB/s), from the benchmark trees, through the whole engine: layout,
// read-ahead cache, writing thread, WRITE (10) with the buffer polls. Reported
// per run: the rate from the first block to the end of data against the set
// speed, the underruns, and the lowest drive buffer fill the burn's own polls
// saw once the buffer had filled; then the verify's read-back rate against
// the recorder's read speed.
//
//   build/bench/bench_burn_realtime [--busy] [cd:many] [dvd:many] [dvd:big] [cd:big] ...
//
// --busy: a busy machine, one process per processor spinning in an endless
// loop for the whole run, at the same priority as the burn.
//
// Trees come from the image build benchmark (bench/build-iso-compare.sh makes
// them under $QNZB_BENCH_DIR/corpus, default /tmp/qnzb-bench). A tree larger
// than the medium gets a disc of its size: the rate, not the capacity, is
// measured. The disc is kept in memory.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/device/Transport.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Thread.h"
#include "platform/ScsiPassThrough.h"
#include "platform/SimulatedDevice.h"
#include "vdrive/Media.h"
#include "vdrive/Recorder.h"

namespace fs = std::filesystem;
using namespace qnzb;
using Clock = std::chrono::steady_clock;

namespace {

std::string BenchDir() {
  const char* dir = std::getenv("QNZB_BENCH_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp/qnzb-bench";
}

uint64_t TreeBytes(const fs::path& tree) {
  uint64_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tree))
    if (entry.is_regular_file())
      bytes += entry.file_size();
  return bytes;
}

struct TResult {
  double Seconds = 0;
  uint64_t Bytes = 0;
  uint32_t Underruns = 0;
  int32_t LowestFill = -1;
  double LongestGapMs = 0;    // between the end of one WRITE and the start of the next
  double LongestWriteMs = 0;  // a WRITE inside the recorder
  double VerifySeconds = 0;   // the read-back pass, from its start to the job's end
  uint64_t VerifyBytes = 0;
  std::string Error;
};

// Sits between the engine and the recorder and times the WRITE commands, to
// tell a pause of the engine from one of the recorder itself.
class TTimedDrive final : public SimulatedDevice {
public:
  explicit TTimedDrive(SimulatedDevice& drive) : drive_(drive) {}
  ScsiOutcome Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction,
                      std::span<uint8_t> sense) override {
    const bool write = !cdb.empty() && cdb[0] == 0x2A;
    const auto start = Clock::now();
    if (write && lastEnd_ != Clock::time_point{})
      LongestGapMs = std::max(LongestGapMs, std::chrono::duration<double, std::milli>(start - lastEnd_).count());
    const ScsiOutcome outcome = drive_.Execute(cdb, data, direction, sense);
    if (write) {
      lastEnd_ = Clock::now();
      LongestWriteMs = std::max(LongestWriteMs, std::chrono::duration<double, std::milli>(lastEnd_ - start).count());
    }
    return outcome;
  }
  double LongestGapMs = 0, LongestWriteMs = 0;

private:
  SimulatedDevice& drive_;
  Clock::time_point lastEnd_{};
};

TResult Burn(const std::string& medium, const fs::path& tree) {
  TResult result;
  // The disc lives in memory: a recorder that stores its blocks in a file
  // stalls on the kernel's write-back now and then, which no real drive does.
  vdrive::DriveState state;
  state.Config.Time.RealTime = true;
  auto recorder = std::make_unique<vdrive::Recorder>(state);
  const uint64_t sectors = TreeBytes(tree) / 2048 + 200000;  // room for the tree and its metadata
  const vdrive::MediumChoice choice = *vdrive::ParseMediumName(medium == "cd" ? "cd-r" : "dvd+r");
  const uint32_t nominal = vdrive::Traits(choice.Kind).NominalCapacity;
  recorder->Insert(choice, sectors > nominal ? static_cast<uint32_t>(sectors) : 0);

  TTimedDrive timed(*recorder);
  platform::TSimulatedDrive drive;
  drive.Device = &timed;
  drive.Address = platform::SCSI_ADDRESS{};
  platform::AttachSimulatedDrive('V', drive);
  {
    TQNZBurner burner(nullptr);
    Clock::time_point verifyStart{};
    burner.OnDebugMessage = [&](TObject*, const std::string& line, uint8_t type) {
      if (type == 4)
        std::fprintf(stderr, "%s\n", line.c_str());
      unsigned long long verified = 0;
      if (std::sscanf(line.c_str(), ">>> VERIFYING %llu SECTORS", &verified) == 1) {
        verifyStart = Clock::now();
        result.VerifyBytes = verified * 2048;
      }
    };
    if (!burner.InitializeTransport(true, "") || burner.DeviceList.empty()) {
      result.Error = "no drive";
    } else {
      burner.SelectDevice(burner.DeviceList[0]);
      burner.SetWriteSpeed(0);  // the drive's fastest
      burner.SetCacheSize(8392704);  // the application's default, as a burn from either front end has
      burner.ResetLayout(600000, 20000);
      burner.AddFolder(burner.RootDir(), tree.string() + "/", "*.*", 0xFF, true, false, false);

      std::atomic<bool> ended = false;
      Clock::time_point firstBlock{}, endOfData{};
      burner.OnFinalizingTrack = [&](TObject*) { endOfData = Clock::now(); };
      burner.OnWriteDone = [&](TObject*, const std::string& text) {
        if (verifyStart != Clock::time_point{})
          result.VerifySeconds = std::chrono::duration<double>(Clock::now() - verifyStart).count();
        result.Error = text;
        ended = true;
      };
      if (burner.StartBurn()) {
        while (!ended) {
          TThread::CheckSynchronize(1);
          if (firstBlock == Clock::time_point{} && burner.BytesWritten() > 0)
            firstBlock = Clock::now();
        }
      }
      result.Seconds = std::chrono::duration<double>(endOfData - firstBlock).count();
      result.Bytes = static_cast<uint64_t>(burner.TrackLength()) * 2048;
      result.LowestFill = burner.LowestBufferFill;
      result.Underruns = recorder->Underruns();
      result.LongestGapMs = timed.LongestGapMs;
      result.LongestWriteMs = timed.LongestWriteMs;
    }
  }
  platform::DetachAllSimulatedDrives();
  CloseTransport();
  recorder.reset();
  return result;
}

// One spinning process per processor until the object goes.
class TBusyMachine {
public:
  TBusyMachine() {
    const long cpus = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    for (long i = 0; i < cpus; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        std::atomic<uint64_t> spin{0};
        for (;;)
          spin.fetch_add(1, std::memory_order_relaxed);
      }
      if (pid > 0)
        children_.push_back(pid);
    }
  }
  ~TBusyMachine() {
    for (const pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  TBusyMachine(const TBusyMachine&) = delete;
  TBusyMachine& operator=(const TBusyMachine&) = delete;
  [[nodiscard]] size_t Count() const { return children_.size(); }

private:
  std::vector<pid_t> children_;
};

} // namespace

int main(int argc, char** argv) {
  TThread::SetMainThread();
  setenv("QNZB_DRIVES", "", 1);
  std::vector<std::string> runs(argv + 1, argv + argc);
  const bool busy = std::erase(runs, "--busy") > 0;
  if (runs.empty())
    runs = {"cd:many", "dvd:many", "dvd:big", "cd:big"};
  const fs::path base = BenchDir();
  std::printf("| Medium | Tree | Set speed KB/s | Achieved KB/s | Achieved / set | Underruns | Lowest buffer fill | "
              "Longest pause between WRITEs | Longest WRITE in the recorder | Verify KB/s | Verify / read speed |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  int status = 0;
  // Started before the burns' threads: a forked child runs no one's code but its own loop.
  std::unique_ptr<TBusyMachine> load = busy ? std::make_unique<TBusyMachine>() : nullptr;
  if (load)
    std::fprintf(stderr, "%zu spinning processes beside the burns\n", load->Count());
  for (const std::string& run : runs) {
    const std::string medium = run.substr(0, run.find(':'));
    const std::string tree = run.substr(run.find(':') + 1);
    const fs::path source = base / "corpus" / tree;
    if (!fs::is_directory(source)) {
      std::fprintf(stderr, "no tree %s (run bench/build-iso-compare.sh once to make it)\n", source.c_str());
      return 1;
    }
    const uint32_t speed = medium == "cd" ? 7056 : 22160;
    const TResult r = Burn(medium, source);
    if (!r.Error.empty()) {
      std::fprintf(stderr, "%s %s: %s\n", medium.c_str(), tree.c_str(), r.Error.c_str());
      status = 1;
      continue;
    }
    const double achieved = r.Bytes / r.Seconds / 1000.0;
    // The recorder reads at its top speed, the same number as its top write speed.
    const double verify = r.VerifySeconds > 0 ? r.VerifyBytes / r.VerifySeconds / 1000.0 : 0;
    std::printf("| %s | %s | %u | %.0f | %.3f | %u | %s | %.0f ms | %.0f ms | %.0f | %.3f |\n",
                medium == "cd" ? "CD-R 40x" : "DVD+R 16x", tree.c_str(), speed, achieved, achieved / speed, r.Underruns,
                r.LowestFill < 0 ? "never full" : (std::to_string(r.LowestFill) + "%").c_str(), r.LongestGapMs,
                r.LongestWriteMs, verify, verify / speed);
    std::fflush(stdout);
  }
  return status;
}
