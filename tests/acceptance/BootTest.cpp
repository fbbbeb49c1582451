// Bootable images: the boot record, the catalog and the boot image where the
// catalog says, and a real boot in an emulated PC that runs our boot sector.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "AcceptanceSupport.h"

namespace qnzb::acceptance {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string Marker = "QNZB-BOOT-OK";

// A real-mode boot sector, loaded at 0000:7C00, that sends Marker to COM1 and halts.
// Only relative jumps and absolute data addresses with DS = 0, so it runs whether
// the BIOS enters it as 0000:7C00 or 07C0:0000.
std::string BootSector() {
  constexpr std::array<uint8_t, 35> code = {
      0xFA,              // 00 cli
      0xFC,              // 01 cld
      0x31, 0xC0,        // 02 xor ax, ax
      0x8E, 0xD8,        // 04 mov ds, ax
      0xBE, 0x23, 0x7C,  // 06 mov si, 7C23h        ; the text after the code
      0xAC,              // 09 next: lodsb
      0x84, 0xC0,        // 0A test al, al
      0x74, 0x12,        // 0C jz done (20h)
      0x88, 0xC3,        // 0E mov bl, al
      0xBA, 0xFD, 0x03,  // 10 mov dx, 3FDh         ; line status register
      0xEC,              // 13 wait: in al, dx
      0xA8, 0x20,        // 14 test al, 20h        ; transmitter holding register empty
      0x74, 0xFB,        // 16 jz wait (13h)
      0xBA, 0xF8, 0x03,  // 18 mov dx, 3F8h         ; transmit register
      0x88, 0xD8,        // 1B mov al, bl
      0xEE,              // 1D out dx, al
      0xEB, 0xE9,        // 1E jmp next (09h)
      0xF4,              // 20 done: hlt
      0xEB, 0xFD,        // 21 jmp done
  };
  std::string sector(code.begin(), code.end());
  sector += Marker + "\r\n";
  sector.push_back('\0');
  sector.resize(512, '\0');
  sector[510] = static_cast<char>(0x55);
  sector[511] = static_cast<char>(0xAA);
  return sector;
}

// A boot image of `size` bytes: the boot sector, then content that shows where
// each byte came from.
std::string BootImage(uint64_t size) {
  std::string image = BootSector() + PositionPattern(size - 512, 99);
  return image;
}

struct BootBuild {
  std::string image;  // path of the built image
  std::string boot;   // content of the boot image file
  std::string data;   // content of the one data file
};

BootBuild BuildBootable(const CliSandbox& sandbox, uint64_t bootSize, bool quick) {
  BootBuild b;
  b.boot = BootImage(bootSize);
  b.data = PositionPattern(5000, 3);
  const std::string bootPath = sandbox.dir().write("boot.img", b.boot);
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, {{"hello.txt", b.data}});
  b.image = sandbox.dir().at(quick ? "boot-quick.iso" : "boot.iso");
  std::vector<std::string> args{"build-iso", b.image, "--save-path", "unchecked", "--boot", bootPath, source};
  if (quick)
    args.push_back("--quick");
  const RunResult r = sandbox.Cli(args);
  EXPECT_EQ(r.exitCode, 0) << r.Describe();
  return b;
}

struct Media {
  std::string name;
  uint64_t bootSize = 0;
  uint8_t type = 0;
};

void PrintTo(const Media& media, std::ostream* os) {
  *os << media.name;
}

class BootCatalog : public ::testing::TestWithParam<Media> {};

// One bootable build: descriptors, catalog, boot image and data file in place.
void ExpectBootable(const Media& media, bool quick) {
  CliSandbox sandbox;
  const BootBuild b = BuildBootable(sandbox, media.bootSize, quick);
  ASSERT_TRUE(fs::exists(b.image));
  const ImageBytes img = ImageBytes::Load(b.image);

  // Primary, boot record, Joliet, terminator.
  EXPECT_EQ(img.U8(16 * SectorSize), 1);
  const uint64_t br = 17 * SectorSize;
  EXPECT_EQ(img.U8(br), 0);
  EXPECT_EQ(img.Range(br + 1, 6), "CD001\x01");
  EXPECT_EQ(img.Range(br + 7, 32), std::string("EL TORITO " "SPECIFI" "CATION") + std::string(9, '\0'));
  EXPECT_EQ(img.U8(18 * SectorSize), 2);
  EXPECT_EQ(img.U8(19 * SectorSize), 0xFF);

  const uint32_t catalog = img.U32LE(br + 71);
  const uint32_t jolietRoot = img.U32LE(18 * SectorSize + 156 + 2);
  EXPECT_EQ(catalog, jolietRoot + 1) << "the catalog follows the last directory extent";
  ASSERT_LT(catalog, img.sectors());
  const uint64_t cat = uint64_t{catalog} * SectorSize;

  // Validation entry: header, platform, our identifier, the key bytes, and a
  // checksum that makes its sixteen words sum to zero.
  EXPECT_EQ(img.U8(cat), 1);
  EXPECT_EQ(img.U8(cat + 1), 0);
  EXPECT_EQ(img.Range(cat + 4, 24), std::string("Quenz CD/DVD Burner") + std::string(5, '\0'));
  EXPECT_EQ(img.U8(cat + 30), 0x55);
  EXPECT_EQ(img.U8(cat + 31), 0xAA);
  uint32_t sum = 0;
  for (int w = 0; w < 16; ++w)
    sum += img.U16LE(cat + 2 * w);
  EXPECT_EQ(sum % 65536, 0u);

  // Initial entry.
  EXPECT_EQ(img.U8(cat + 32), 0x88);
  EXPECT_EQ(img.U8(cat + 33), media.type);
  EXPECT_EQ(img.U16LE(cat + 34), 0) << "default load segment";
  EXPECT_EQ(img.U16LE(cat + 38), 1) << "one virtual sector loaded";
  const uint32_t load = img.U32LE(cat + 40);
  EXPECT_EQ(load, catalog + 1);
  EXPECT_TRUE(img.AllZero(cat + 44, SectorSize - 44));

  const uint32_t bootSectors = static_cast<uint32_t>((media.bootSize + SectorSize - 1) / SectorSize);
  ASSERT_LE(uint64_t{load} + bootSectors, img.sectors());
  EXPECT_TRUE(img.Range(uint64_t{load} * SectorSize, media.bootSize) == b.boot) << "boot image bytes at the load address";
  EXPECT_TRUE(img.AllZero(uint64_t{load} * SectorSize + media.bootSize, uint64_t{bootSectors} * SectorSize - media.bootSize));

  // The data file comes after the boot image (and never below 150) and is intact.
  const std::vector<DirRecord> root = ReadDirectory(img, jolietRoot, SectorSize);
  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(root[2].extent, std::max<uint32_t>(150, load + bootSectors));
  EXPECT_TRUE(img.Range(uint64_t{root[2].extent} * SectorSize, b.data.size()) == b.data);
  EXPECT_EQ(img.sectors(), root[2].extent + (b.data.size() + SectorSize - 1) / SectorSize);

  const std::string out = sandbox.dir().at("out");
  const RunResult x = sandbox.Extract(b.image, out);
  ASSERT_EQ(x.exitCode, 0) << x.Describe();
  const std::vector<std::string> problems = CompareTrees({{"hello.txt", b.data}}, out);
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
}

// Both build modes copy the boot image, each with its own code.
TEST_P(BootCatalog, DescribesTheBootImageItCarries) {
  for (const bool quick : {false, true}) {
    SCOPED_TRACE(quick ? "quick build" : "cached build");
    ExpectBootable(GetParam(), quick);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BootCatalog,
                         ::testing::Values(Media{"Diskette1200K", 1228800, 1}, Media{"Diskette1440K", 1474560, 2},
                                           Media{"Diskette2880K", 2949120, 3}, Media{"OtherSize", 1474561, 4}),
                         [](const ::testing::TestParamInfo<Media>& row) { return row.param.name; });

// The PC loads our boot sector from the image and runs it: the marker it sends to
// the serial port proves the catalog, the load address and the floppy emulation
// all work together. The emulator never exits by itself; it is stopped as soon as
// the marker shows, or at the deadline.
TEST(Boot, EmulatedPcRunsTheBootSector) {
  ASSERT_TRUE(HaveTool("qemu-system-x86_64")) << "qemu-system-x86_64 is needed (make deps)";
  CliSandbox sandbox;
  const BootBuild b = BuildBootable(sandbox, 1474560, false);
  ASSERT_TRUE(fs::exists(b.image));
  const std::string serial = sandbox.dir().at("serial.txt");
  RunOptions options;
  options.timeout = 60s;
  options.stopWhen = [&serial] { return test::readFile(serial).find(Marker) != std::string::npos; };
  // -nographic would claim stdio for the monitor as well; a serial file keeps
  // the emulator's own chatter apart from what the boot sector sends.
  const RunResult q = sandbox.Tool({"qemu-system-x86_64", "-display", "none", "-monitor", "none", "-no-reboot",
                                    "-m", "64", "-boot", "d", "-cdrom", b.image, "-serial", "file:" + serial},
                                   options);
  const std::string sent = test::readFile(serial);
  EXPECT_NE(sent.find(Marker), std::string::npos) << "serial output: \"" << sent << "\"\n" << q.Describe();
  EXPECT_TRUE(q.stoppedEarly) << q.Describe();
}

} // namespace
} // namespace qnzb::acceptance
