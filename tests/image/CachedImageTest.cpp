// The cached image build: the same image as the quick build (but for the
// padding to 300 sectors), and exactly one OnWriteDone on the main thread for
// every way a job can end.

#include <ctime>
#include <filesystem>
#include <random>
#include <thread>

#include "engine/image/qnCDBCWriter.h"
#include "engine/recording/qnCache.h"
#include "engine/runtime/Clock.h"
#include "engine/runtime/Thread.h"
#include "image/LayoutFixture.h"

namespace qnzb::test {
namespace {

class CachedImageTest : public LayoutTest {
protected:
  CachedImageTest() {
    TThread::SetMainThread();
    burner.OnWriteDone = [this](TObject* sender, const std::string& error) {
      EXPECT_EQ(sender, &burner);
      EXPECT_TRUE(TThread::IsMainThread());
      EXPECT_FALSE(WriteJobRunning.load());
      done.push_back(error);
    };
  }

  // Runs a cached build to its end, as a front end's wait loop does.
  void RunCached(const std::string& image) {
    EXPECT_EQ(burner.BuildImageFile(image, false), -1);
    while (burner.JobActive())
      TThread::CheckSynchronize(10);
  }

  void AddVariedTree() {
    tmp.writePattern("src/a.bin", 70000, 1);
    tmp.writePattern("src/sub/b.bin", 3, 2);
    tmp.writePattern("src/sub/deeper/c.bin", 65536, 3);
    tmp.write("src/zero.bin", "");
    tmp.writePattern("src/d.bin", 200000, 4);
    tmp.writePattern("src/large.bin", 700001, 5);  // copied by the kernel into the image
    ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  }

  std::vector<std::string> done;
  // The starters' 100 ms polls pass in no time.
  TScopedVirtualClock clock;
};

TEST_F(CachedImageTest, SameBytesAsTheQuickBuildButThePadding) {
  AddVariedTree();
  for (bool bootable : {false, true}) {
    burner.Bootable = bootable;
    burner.BootImage = tmp.writePattern("boot.img", 5000, 8);
    const std::string quick = tmp.at("quick.iso"), cached = tmp.at("cached.iso");
    // The "." records carry the time of the build: both builds must fall
    // within one second of the wall clock to compare equal.
    for (int attempt = 0; attempt < 3; ++attempt) {
      done.clear();
      const std::time_t before = std::time(nullptr);
      burner.WritePostGap = true;
      ASSERT_EQ(burner.BuildImageFile(quick, true), 1);
      burner.WritePostGap = false;
      RunCached(cached);
      if (std::time(nullptr) == before)
        break;
    }
    EXPECT_TRUE(readFile(quick) == readFile(cached)) << bootable;
    EXPECT_EQ(burner.ISOFileName, cached);
    EXPECT_TRUE(burner.MetadataStream.empty());  // the cache took it over
    EXPECT_EQ(burner.BytesWritten(), burner.ImageLength * 2048);
    EXPECT_EQ(done, (std::vector<std::string>{"", ""}));
    done.clear();
  }
}

// The kernel's copy of a large file: a file that shrank after it was added is
// padded with zeros and named once, in either build; later files keep their sectors.
TEST_F(CachedImageTest, ALargeSourceThatShrankIsPaddedAndNamedOnce) {
  for (bool quick : {true, false}) {
    SCOPED_TRACE(quick ? "quick" : "cached");
    const std::string large = tmp.writePattern("src/1.bin", 900000, 1);
    tmp.writePattern("src/2.bin", 3000, 2);
    burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
    tmp.write("src/1.bin", std::string(100, '1'));
    const std::string image = tmp.at("out.iso");
    log.clear();
    done.clear();
    if (quick)
      ASSERT_EQ(burner.BuildImageFile(image, true), 1);
    else
      RunCached(image);
    const TFEntry* one = burner.FindEntry(burner.RootDir(), "1.bin");
    const TFEntry* two = burner.FindEntry(burner.RootDir(), "2.bin");
    EXPECT_TRUE(Sector(image, burner.FirstFileSector + one->IsoExtent, 440) ==
                std::string(100, '1') + std::string(440 * 2048 - 100, '\0'));
    EXPECT_EQ(Sector(image, burner.FirstFileSector + two->IsoExtent, 2), Padded(readFile(tmp.at("src/2.bin"))));
    int notes = 0;
    for (const auto& [text, type] : log)
      notes += text == ">>> FILE SHRANK SINCE IT WAS ADDED, PADDED WITH ZEROS: " + large ? 1 : 0;
    EXPECT_EQ(notes, 1);
    EXPECT_EQ(done, std::vector<std::string>{""});
    burner.ResetLayout(600000, 20000);
  }
}

TEST_F(CachedImageTest, ShortImagesArePaddedToThreeHundredSectors) {
  burner.JolietFileSystem = false;
  const std::string content(100, 'x');
  burner.AddFile("\\", tmp.write("a.txt", content), false);
  const std::string image = tmp.at("out.iso");
  RunCached(image);
  const std::string bytes = readFile(image);
  ASSERT_EQ(bytes.size(), 614400u);
  EXPECT_EQ(bytes.substr(150 * 2048, 100), content);
  EXPECT_TRUE(bytes.substr(150 * 2048 + 100) == std::string(614400 - 150 * 2048 - 100, '\0'));
  EXPECT_EQ(burner.BytesWritten(), 300 * 2048);  // capped at the track length
  EXPECT_EQ(done, std::vector<std::string>{""});
}

TEST_F(CachedImageTest, AMissingSourceEndsTheJobOnceWithItsName) {
  AddVariedTree();
  const std::string gone = tmp.at("src/d.bin");
  std::filesystem::remove(gone);
  const std::string image = tmp.at("out.iso");
  RunCached(image);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0], "CAN'T OPEN FILE \"" + gone + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  EXPECT_EQ(burner.CurrentFile(), gone);
  EXPECT_FALSE(std::filesystem::exists(image));
  EXPECT_FALSE(std::filesystem::exists(image + ".part"));
}

TEST_F(CachedImageTest, AnUncreatableTargetEndsTheJobOnce) {
  AddVariedTree();
  const std::string image = tmp.at("no/such/dir/out.iso");
  RunCached(image);
  EXPECT_EQ(done, std::vector<std::string>{"CAN'T CREATE FILE \"" + image + "\""});
  EXPECT_FALSE(WriteJobRunning.load());
}

TEST_F(CachedImageTest, AnOlderImageSurvivesAFailedBuild) {
  AddVariedTree();
  std::filesystem::remove(tmp.at("src/d.bin"));
  const std::string image = tmp.write("old.iso", "older");
  RunCached(image);
  EXPECT_EQ(readFile(image), "older");
}

TEST_F(CachedImageTest, AbortAtRandomMomentsEndsEachJobExactlyOnce) {
  tmp.writePattern("src/big1.bin", 3 * 1048576, 1);
  tmp.writePattern("src/big2.bin", 3 * 1048576, 2);
  tmp.writePattern("src/small.bin", 5000, 3);
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  burner.SetCacheSize(2097152);
  std::mt19937 rng(1234);
  int aborted = 0, completed = 0;
  for (int round = 0; round < 40; ++round) {
    done.clear();
    const std::string image = tmp.at("out.iso");
    std::filesystem::remove(image);
    ASSERT_EQ(burner.BuildImageFile(image, false), -1);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    burner.AbortWrite();
    while (burner.JobActive())
      TThread::CheckSynchronize(10);
    ASSERT_EQ(done.size(), 1u) << round;
    if (done[0].empty()) {
      ++completed;
      EXPECT_EQ(std::filesystem::file_size(image), static_cast<uintmax_t>(burner.ImageEnd * 2048));
    } else {
      ++aborted;
      EXPECT_EQ(done[0], "OPERATION ABORTED BY USER");
      EXPECT_FALSE(std::filesystem::exists(image));
    }
    EXPECT_FALSE(std::filesystem::exists(image + ".part"));
    EXPECT_EQ(burner.CacheFill(), 0);
    // The layout is reset by a front end after every write; here the same
    // layout is built again, so the metadata is made afresh each round.
  }
  EXPECT_GT(aborted, 0);
}

// The writer starts after the reader has already failed: the job ends with
// the reader's message, not as a success.
TEST_F(CachedImageTest, AReaderFailureBeforeTheWriterStartsIsReported) {
  class TNullSink final : public TWriteSink {
    bool Start(std::string&) override { return true; }
    bool Write(const uint8_t*, int32_t, std::string&) override { return true; }
    bool Finish(std::string&) override { return true; }
    void Fail() override {}
  };
  TCacheSource source;
  source.CacheSize = 2097152;
  source.TotalBytes = 2048;
  const std::string gone = tmp.at("gone.bin");
  source.Files = {{gone, 100}};
  TCacheThread cache(std::move(source), burner.Lock(), [](const std::string&) {});
  while (!cache.HasMessage())
    cache.WaitForStart(10);
  (new TThWrite(burner, cache, std::make_unique<TNullSink>()))->Start();  // frees itself
  while (burner.JobActive())
    TThread::CheckSynchronize(10);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0], "CAN'T OPEN FILE \"" + tmp.at("gone.bin") + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
}

TEST_F(CachedImageTest, ASecondJobIsRefusedWhileOneRuns) {
  tmp.writePattern("src/big.bin", 6 * 1048576, 1);
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  burner.SetCacheSize(2097152);
  ASSERT_EQ(burner.BuildImageFile(tmp.at("one.iso"), false), -1);
  if (burner.JobActive()) {
    EXPECT_EQ(burner.BuildImageFile(tmp.at("two.iso"), true), -1);
    EXPECT_TRUE(Logged(">>> A WRITE JOB IS RUNNING: WAIT FOR IT TO END OR ABORT IT", 4));
  }
  while (burner.JobActive())
    TThread::CheckSynchronize(10);
  EXPECT_EQ(done, std::vector<std::string>{""});
  EXPECT_FALSE(std::filesystem::exists(tmp.at("two.iso")));
}

TEST_F(CachedImageTest, ComponentGoneMidJobStopsItFirst) {
  tmp.writePattern("src/big.bin", 6 * 1048576, 1);
  auto other = std::make_unique<TQNZBurner>(nullptr);
  int reports = 0;
  other->OnWriteDone = [&](TObject*, const std::string&) { ++reports; };
  ASSERT_EQ(other->AddFolder(other->RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  other->SetCacheSize(2097152);
  other->BuildImageFile(tmp.at("gone.iso"), false);
  other.reset();  // must not leave a thread working on a dead component
  EXPECT_EQ(reports, 1);
}

} // namespace
} // namespace qnzb::test
