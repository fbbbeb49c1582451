// Layout tree at scale: adding a tree of 100,000 files in 3,000 folders with
// AddFolder, next to the cost of listing the same tree with `find` (the floor:
// AddFolder must at least list and stat every item), and sorting 20,000
// directories into path table order.
//
// The tree is made once under $QNZB_BENCH_DIR (default /tmp/qnzb-bench) and
// reused. Run: build/bench/bench_layout

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <malloc.h>

#include "engine/image/qnCDBC.h"
#include "engine/runtime/Strings.h"

namespace fs = std::filesystem;
using namespace qnzb;

namespace {

constexpr int TopFolders = 60;
constexpr int SubFolders = 49;  // 60 + 60 * 49 = 3,000 folders
constexpr int Files = 100000;

std::string BenchDir() {
  const char* dir = std::getenv("QNZB_BENCH_DIR");
  return dir ? dir : "/tmp/qnzb-bench";
}

// 100,000 small files in 3,000 folders, with a mix of long names (which need
// 8.3 aliases) and valid short names.
const std::string& Tree() {
  static const std::string root = [] {
    const std::string path = BenchDir() + "/layout-tree";
    const std::string done = path + ".complete";
    if (fs::exists(done))
      return path;
    fs::remove_all(path);
    std::vector<std::string> folders;
    for (int t = 0; t < TopFolders; ++t) {
      const std::string top = path + Format("/Project Folder %02d", t);
      folders.push_back(top);
      for (int s = 0; s < SubFolders; ++s)
        folders.push_back(top + Format("/sub%02d", s));
    }
    for (const std::string& f : folders)
      fs::create_directories(f);
    std::mt19937 rng(42);
    for (int i = 0; i < Files; ++i) {
      const std::string& folder = folders[static_cast<size_t>(i) % folders.size()];
      const std::string name = (i % 3 == 0) ? Format("f%06d.dat", i) : Format("Quarterly Report %06d.document", i);
      std::ofstream(folder + "/" + name) << (rng() % 1000);
    }
    std::ofstream{done};
    return path;
  }();
  return root;
}

// Heap bytes in use: what the layout holds, independent of reused pages.
size_t HeapInUse() { return mallinfo2().uordblks; }

void BM_AddFolder(benchmark::State& state) {
  const std::string& tree = Tree();
  TQNZBurner burner(nullptr);
  int64_t entries = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    burner.ResetLayout(600000, 20000);
    state.ResumeTiming();
    const size_t before = HeapInUse();
    burner.AddFolder(burner.RootDir(), tree, "*.*", 63, true, false, false);
    bytes = HeapInUse() - before;
    entries = burner.EntryCount();
  }
  static const std::string error =
      Format("expected %d entries, got %lld", Files + TopFolders * (SubFolders + 1), static_cast<long long>(entries));
  if (entries != Files + TopFolders * (SubFolders + 1))
    state.SkipWithError(error.c_str());
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["bytes_per_entry"] = entries ? static_cast<double>(bytes) / static_cast<double>(entries) : 0;
}
BENCHMARK(BM_AddFolder)->Unit(benchmark::kMillisecond)->MinTime(3);

// The floor: `find` walking the same tree; the second variant also stats
// every item for its size and time, as a listing for the layout must.
void RunFind(benchmark::State& state, const std::string& args) {
  const std::string command = "find '" + Tree() + "' " + args + " > /dev/null";
  for (auto _ : state)
    if (std::system(command.c_str()) != 0)
      state.SkipWithError("find failed");
}
void BM_FindNames(benchmark::State& state) { RunFind(state, ""); }
void BM_FindWithStat(benchmark::State& state) { RunFind(state, "-printf '%s %T@\\n'"); }
BENCHMARK(BM_FindNames)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_FindWithStat)->Unit(benchmark::kMillisecond)->MinTime(3);

// The metadata of the corpus tree "many" (make-corpus.sh, $QNZB_BENCH_DIR/many)
// with no file data: the layout as AddFolder makes it, then the plan and the
// encoded records, as an image build does before its first file byte.
void BM_MetadataOfMany(benchmark::State& state) {
  const std::string tree = BenchDir() + "/many";
  if (!fs::is_directory(tree)) {
    state.SkipWithError("no corpus tree: run shared/bench/make-corpus.sh $QNZB_BENCH_DIR many");
    return;
  }
  TQNZBurner burner(nullptr);
  int64_t metadataBytes = 0;
  size_t peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    burner.ResetLayout(600000, 20000);
    const size_t before = HeapInUse();
    state.ResumeTiming();
    burner.AddFolder(burner.RootDir(), tree, "*.*", 63, true, false, false);
    burner.PrepareImage(true, nullptr);
    burner.BuildMetadata(true, nullptr);
    state.PauseTiming();
    peak = HeapInUse() - before;
    metadataBytes = static_cast<int64_t>(burner.MetadataStream.size());
    state.ResumeTiming();
  }
  state.counters["entries"] = static_cast<double>(burner.EntryCount());
  state.counters["metadata_MiB"] = static_cast<double>(metadataBytes) / 1048576.0;
  state.counters["heap_MiB"] = static_cast<double>(peak) / 1048576.0;
}
BENCHMARK(BM_MetadataOfMany)->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_SortPathTable(benchmark::State& state) {
  TQNZBurner burner(nullptr);
  burner.ResetLayout(600000, 20000);
  std::mt19937 rng(7);
  std::vector<TDEntry*> dirs{burner.RootDir()};
  while (burner.DirectoryCount() < 19999) {
    TDEntry* parent = dirs[rng() % dirs.size()];
    if (TDEntry* d = burner.AddDirByName(parent, Format("DIR%05u", static_cast<unsigned>(rng() % 100000)), 0x10))
      dirs.push_back(d);
  }
  for (auto _ : state) {
    state.PauseTiming();
    Layout.IsoDirOrder = Layout.DirTable;  // back to creation order
    state.ResumeTiming();
    Layout.SortPathTableOrder();
  }
  state.counters["directories"] = static_cast<double>(Layout.DirCount());
}
BENCHMARK(BM_SortPathTable)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
