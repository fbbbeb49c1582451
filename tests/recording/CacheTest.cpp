// The read-ahead cache on its own: the byte stream it assembles, its block
// sizes, padding, the bound on queued memory, end states and abort.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "engine/recording/ReadAhead.h"
#include "engine/recording/qnCache.h"
#include "support/TempDir.h"

namespace qnzb::test {
namespace {

struct Drained {
  std::string bytes;
  std::vector<int32_t> lengths;
  int64_t maxQueued = 0;
};

// Takes every block until the end, as the writing thread does.
Drained Drain(TCacheThread& cache) {
  Drained d;
  for (;;) {
    d.maxQueued = std::max(d.maxQueued, cache.QueuedBytes());
    int32_t n = 0;
    auto block = cache.TakeBlock(n);
    if (n < 0) {
      cache.WaitForData(50);
      continue;
    }
    if (n == 0)
      return d;
    d.lengths.push_back(n);
    d.bytes.append(reinterpret_cast<const char*>(block->Data.data()), static_cast<size_t>(n));
  }
}

std::vector<uint8_t> Metadata(size_t sectors) {
  std::vector<uint8_t> m(sectors * 2048);
  for (size_t i = 0; i < m.size(); ++i)
    m[i] = static_cast<uint8_t>(i / 2048 + 1);
  return m;
}

std::string Padded(std::string s) {
  s.resize((s.size() + 2047) / 2048 * 2048, '\0');
  return s;
}

class CacheTest : public ::testing::Test {
protected:
  TempDir tmp;
  TCriticalSection lock;
  std::vector<std::string> shrunkLog;
  std::unique_ptr<TCacheThread> Start(TCacheSource source) {
    return std::make_unique<TCacheThread>(std::move(source), lock,
                                          [this](const std::string& f) { shrunkLog.push_back(f); });
  }
};

TEST_F(CacheTest, StreamIsMetadataThenFilesInWholeSectorsForEitherBlockSize) {
  const std::string a = tmp.writePattern("a.bin", 70000, 1);
  const std::string b = tmp.writePattern("b.bin", 3, 2);
  const std::string c = tmp.writePattern("c.bin", 65536, 3);
  for (int32_t blockSize : {CdBlockSize, DvdBlockSize}) {
    TCacheSource s;
    s.CacheSize = 2097152;
    s.BlockSize = blockSize;
    s.Metadata = Metadata(20);
    s.Files = {{a, 70000}, {b, 3}, {c, 65536}};
    s.TotalBytes = 20 * 2048 + 35 * 2048 + 2048 + 32 * 2048;
    auto cache = Start(s);
    const Drained d = Drain(*cache);
    const std::vector<uint8_t> meta = Metadata(20);
    const std::string expected = std::string(meta.begin(), meta.end()) + Padded(readFile(a)) + Padded(readFile(b)) +
                                 Padded(readFile(c));
    ASSERT_EQ(d.bytes.size(), expected.size()) << blockSize;
    EXPECT_TRUE(d.bytes == expected) << blockSize;
    for (size_t i = 0; i + 1 < d.lengths.size(); ++i)
      EXPECT_EQ(d.lengths[i], blockSize);
    EXPECT_EQ(d.lengths.back() % 2048, 0);
    EXPECT_TRUE(cache->Done());
    EXPECT_EQ(cache->Message(), "");
  }
}

TEST_F(CacheTest, ShortImagesArePaddedTo300Sectors) {
  const std::string f = tmp.writePattern("f.bin", 100);
  TCacheSource s;
  s.CacheSize = 4194304;
  s.PadFlag = true;
  s.Metadata = Metadata(150);
  s.Files = {{f, 100}};
  s.TotalBytes = 151 * 2048;
  auto cache = Start(s);
  const Drained d = Drain(*cache);
  ASSERT_EQ(d.bytes.size(), 614400u);
  EXPECT_EQ(cache->StreamBytes(), 614400);
  EXPECT_TRUE(d.bytes.substr(151 * 2048) == std::string(305152, '\0'));
  // The padding comes as four full blocks and one of 43,008 bytes.
  const std::vector<int32_t> tail(d.lengths.end() - 5, d.lengths.end());
  EXPECT_EQ(tail, (std::vector<int32_t>{65536, 65536, 65536, 65536, 43008}));
}

TEST_F(CacheTest, BootImageAndTailFollowTheMetadataBeforeTheFiles) {
  const std::string boot = tmp.writePattern("boot.img", 3000, 9);
  const std::string f = tmp.writePattern("f.bin", 10, 4);
  TCacheSource s;
  s.CacheSize = 2097152;
  s.Metadata = Metadata(30);
  s.TailBytes = 5 * 2048;
  s.BootImageFile = boot;
  s.BootImageBytes = 3000;
  s.Files = {{f, 10}};
  auto cache = Start(s);
  const Drained d = Drain(*cache);
  const std::vector<uint8_t> meta = Metadata(30);
  const std::string expected = std::string(meta.begin(), meta.end() - 5 * 2048) + Padded(readFile(boot)) +
                               std::string(meta.end() - 5 * 2048, meta.end()) + Padded(readFile(f));
  EXPECT_TRUE(d.bytes == expected);
}

TEST_F(CacheTest, AnImageFileIsStreamedAloneAndRoundedUp) {
  const std::string image = tmp.writePattern("in.iso", 1000000, 6);
  TCacheSource s;
  s.CacheSize = 2097152;
  s.BlockSize = CdBlockSize;
  s.PadFlag = true;  // never pads an image file
  s.Metadata = Metadata(3);
  s.ImageFile = image;
  s.ImageFileBytes = 1000000;
  s.TotalBytes = 489 * 2048;
  auto cache = Start(s);
  const Drained d = Drain(*cache);
  EXPECT_TRUE(d.bytes == Padded(readFile(image)));
  EXPECT_EQ(d.bytes.size(), 489u * 2048);
}

TEST_F(CacheTest, QueuedMemoryStaysWithinTheCacheSize) {
  const std::string big = tmp.writePattern("big.bin", 20 * 1048576, 7);
  TCacheSource s;
  s.CacheSize = 2097152;
  s.Metadata = Metadata(16);
  s.Files = {{big, 20 * 1048576}};
  auto cache = Start(s);
  // Let the reader fill the queue before taking anything.
  while (!cache->Ready())
    cache->WaitForData(10);
  EXPECT_LE(cache->QueuedBytes(), int64_t{2097152});
  const Drained d = Drain(*cache);
  EXPECT_LE(d.maxQueued, int64_t{2097152} - 65536);
  EXPECT_EQ(d.bytes.size(), 16u * 2048 + 20 * 1048576);
}

TEST_F(CacheTest, EndStatesOfTakeBlock) {
  TCacheSource s;
  s.CacheSize = 2097152;
  s.Metadata = Metadata(1);
  auto cache = Start(s);
  Drain(*cache);
  int32_t n = 5;
  EXPECT_EQ(cache->TakeBlock(n), nullptr);
  EXPECT_EQ(n, 0);
  uint8_t buffer[65536];
  EXPECT_EQ(cache->GetBlock(buffer), 0);
}

TEST_F(CacheTest, MissingOrShrunkSourcesAndReadErrors) {
  const std::string ok = tmp.writePattern("ok.bin", 4096);
  const std::string shrunk = tmp.writePattern("shrunk.bin", 100);
  const std::string folder = tmp.mkdir("folder.bin");
  {
    TCacheSource s;
    s.CacheSize = 2097152;
    s.Files = {{ok, 4096}, {shrunk, 5000}, {ok, 4096}};
    auto cache = Start(s);
    const Drained d = Drain(*cache);
    EXPECT_TRUE(d.bytes == Padded(readFile(ok)) + Padded(readFile(shrunk)) + std::string(4096, '\0') +
                              Padded(readFile(ok)));
    EXPECT_EQ(shrunkLog, std::vector<std::string>{shrunk});
  }
  {
    TCacheSource s;
    s.CacheSize = 2097152;
    const std::string missing = tmp.at("missing.bin");
    s.Files = {{ok, 4096}, {missing, 10}};
    auto cache = Start(s);
    Drain(*cache);
    EXPECT_EQ(cache->Message(),
              "CAN'T OPEN FILE \"" + tmp.at("missing.bin") + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
    EXPECT_EQ(cache->CurrentFile(), tmp.at("missing.bin"));
  }
  {
    TCacheSource s;
    s.CacheSize = 2097152;
    s.Files = {{folder, 10}};
    auto cache = Start(s);
    Drain(*cache);
#if defined(_WIN32)
    // A folder doesn't open as a file on Windows.
    EXPECT_EQ(cache->Message(), "CAN'T OPEN FILE \"" + folder + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
#else
    EXPECT_EQ(cache->Message().rfind("READ ERROR IN FILE \"" + folder + "\"", 0), 0u) << cache->Message();
#endif
  }
}

TEST_F(CacheTest, AbortWhileTheQueueIsFullFreesEverything) {
  const std::string big = tmp.writePattern("big.bin", 8 * 1048576, 7);
  TCacheSource s;
  s.CacheSize = 2097152;
  s.Files = {{big, 8 * 1048576}};
  auto cache = Start(s);
  while (!cache->Ready())
    cache->WaitForData(10);
  cache->Abort();
  cache->WaitFor();
  EXPECT_EQ(cache->QueuedBytes(), 0);
  EXPECT_EQ(cache->Message(), "OPERATION ABORTED BY USER");
  int32_t n = 1;
  EXPECT_EQ(cache->TakeBlock(n), nullptr);
  EXPECT_EQ(n, 0);
  // A message set before the abort stays.
  auto second = Start(s);
  second->SetMessage("WRITER ERROR [X]");
  second->Abort();
  EXPECT_EQ(second->Message(), "WRITER ERROR [X]");
}

TEST_F(CacheTest, ReturnedBlocksAreReusedSoAJobAllocatesOnlyACacheFull) {
  const std::string big = tmp.writePattern("big.bin", 24 * 1048576, 5);
  TCacheSource s;
  s.CacheSize = 2097152;  // 32 blocks
  s.Files = {{big, 24 * 1048576}};
  auto cache = Start(s);
  std::set<const TCacheBlock*> seen;
  std::string bytes;
  for (;;) {
    int32_t n = 0;
    auto block = cache->TakeBlock(n);
    if (n < 0) {
      cache->WaitForData(50);
      continue;
    }
    if (n == 0)
      break;
    seen.insert(block.get());
    bytes.append(reinterpret_cast<const char*>(block->Data.data()), static_cast<size_t>(n));
    cache->ReturnBlock(std::move(block));
  }
  EXPECT_TRUE(bytes == readFile(big));
  // 384 blocks went through; the queue, the one being filled and the one in
  // the consumer's hands are all that ever existed.
  EXPECT_LE(seen.size(), static_cast<size_t>(cache->BlockCount()) + 1);
}

#if !defined(_WIN32)
TEST_F(CacheTest, WaitsEndOnReadyOrWakeRatherThanOnTheirTimeout) {
  const std::string big = tmp.writePattern("big.bin", 8 * 1048576, 7);
  TCacheSource s;
  s.CacheSize = 2097152;
  s.Files = {{big, 8 * 1048576}};
  auto cache = Start(s);
  const auto start = std::chrono::steady_clock::now();
  while (!cache->Ready())
    cache->WaitForStart(60000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));

  // A source that delivers nothing yet: the consumer's wait ends only by
  // Wake() (an abort asked for) or by its timeout.
  const std::string fifo = tmp.at("slow.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int holder = ::open(fifo.c_str(), O_RDWR);
  ASSERT_GE(holder, 0);
  TCacheSource slow;
  slow.CacheSize = 2097152;
  slow.Files = {{fifo, 4096}};
  auto waiting = Start(slow);
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    waiting->Wake();
  });
  const auto waitStart = std::chrono::steady_clock::now();
  waiting->WaitForData(60000);
  EXPECT_LT(std::chrono::steady_clock::now() - waitStart, std::chrono::seconds(30));
  waker.join();
  ::close(holder);  // the reader sees the end of the source and pads it
  EXPECT_TRUE(Drain(*waiting).bytes == std::string(4096, '\0'));
}
#endif

TEST_F(CacheTest, FilesOpenedAheadAreReadOnceAndNoneIsLeftOpen) {
#if defined(_WIN32)
  // Under Wine /proc/self/fd is the emulator's, whose descriptors cache handles:
  // only the data is checked there.
  const auto openFiles = [] { return 0; };
  constexpr bool countsFiles = false;
#else
  const auto openFiles = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
  };
  constexpr bool countsFiles = true;
#endif
  const auto before = openFiles();
  std::vector<std::string> paths;
  std::vector<TSourceFile> files;
  paths.reserve(200);
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "f" + std::to_string(i);
    const int64_t size = 1 + (i * 997) % 9000;
    files.emplace_back(paths.emplace_back(tmp.writePattern(name, size, i)), size);
    expected += Padded(readFile(paths.back()));
  }
  {
    TReadAhead ahead(files, true);
    ahead.Before(0);
    EXPECT_EQ(ahead.Take(0), platform::InvalidFileHandle);  // the file being read is not opened ahead
    if (countsFiles) {
      EXPECT_GT(openFiles(), before);
    }
    ahead.Before(5);  // files 1 to 4 were skipped: their handles go
    const platform::TFileHandle h = ahead.Take(5);
    ASSERT_GE(h, 0);
    std::string got(static_cast<size_t>(files[5].Size), '\0');
    EXPECT_EQ(platform::FileRead(h, got.data(), static_cast<int32_t>(got.size())), files[5].Size);
    EXPECT_EQ(got, readFile(paths[5]));
    platform::FileClose(h);
  }
  if (countsFiles) {
    EXPECT_EQ(openFiles(), before);
  }

  // Through the cache, with one file gone after the layout: the bytes before
  // it, then its name in the message; nothing stays open.
  TCacheSource s;
  s.CacheSize = 2097152;
  s.Files = files;
  auto cache = Start(s);
  EXPECT_TRUE(Drain(*cache).bytes == expected);
  EXPECT_EQ(cache->Message(), "");
  std::filesystem::remove(paths[150]);
  auto failing = Start(s);
  Drain(*failing);
  EXPECT_EQ(failing->Message(), "CAN'T OPEN FILE \"" + paths[150] + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  failing->WaitFor();
  cache->WaitFor();
  if (countsFiles) {
    EXPECT_EQ(openFiles(), before);
  }
}

} // namespace
} // namespace qnzb::test
