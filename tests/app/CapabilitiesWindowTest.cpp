// The drive capabilities window: the boxes and labels from what the component
// holds, for the virtual recorder and for no drive at all.

#include <QCheckBox>
#include <QLabel>

#include "WindowFixture.h"
#include "app/CapabilitiesWindow.h"
#include "engine/device/qnDrvLib.h"
#include "engine/image/qnCDBC.h"
#include "vdrive/DriveConfig.h"

namespace qnzb::app {
namespace {

using CapabilitiesWindow = test_support::TWindowTest;

const struct {
  const char* box;
  uint32_t bit;
} Boxes[] = {{"ReadCDR", CapReadCDR},         {"ReadCDRW", CapReadCDRW},       {"ReadDVD", CapReadDVD},
             {"ReadDVDR", CapReadDVDR},       {"ReadDVDRW", CapReadDVDRW},     {"ReadDVDRAM", CapReadDVDRAM},
             {"ReadDVDPR", CapReadDVDPR},     {"ReadDVDPRW", CapReadDVDPRW},   {"WriteCDR", CapWriteCDR},
             {"WriteCDRW", CapWriteCDRW},     {"WriteTest", CapWriteTest},     {"WriteDVDR", CapWriteDVDR},
             {"WriteDVDRW", CapWriteDVDRW},   {"WriteDVDRAM", CapWriteDVDRAM}, {"WriteDVDPR", CapWriteDVDPR},
             {"WriteDVDPRW", CapWriteDVDPRW}, {"UnderrunProtection", CapUnderrunProtection}};

uint32_t Ticked(const QWidget* window) {
  uint32_t bits = 0;
  for (const auto& box : Boxes) {
    const auto* check = window->findChild<QCheckBox*>(box.box);
    EXPECT_NE(check, nullptr) << box.box;
    if (check && check->isChecked())
      bits |= box.bit;
  }
  return bits;
}

// A CD writer without underrun protection or test writes, reading everything.
TEST_F(CapabilitiesWindow, ShowsTheRecorderAsConfigured) {
  vdrive::DriveConfig config = recorder->State().Config;
  config.Drive.WriteDvdMinusR = config.Drive.WriteDvdMinusRw = config.Drive.WriteDvdRam = false;
  config.Drive.WriteDvdPlusR = config.Drive.WriteDvdPlusRw = false;
  config.Drive.UnderrunProtection = config.Drive.TestWrite = false;
  recorder->SetConfig(config);
  Open();
  const TQNZBurner& burner = form->Burner();
  const uint32_t expected = CapReadCDR | CapReadCDRW | CapReadDVD | CapReadDVDR | CapReadDVDRW | CapReadDVDRAM |
                            CapReadDVDPR | CapReadDVDPRW | CapWriteCDR | CapWriteCDRW;
  QString seen, top, write, read;
  uint32_t ticked = 0;
  WhenModal([&](QWidget* dialog) {
    seen = dialog->windowTitle();
    ticked = Ticked(dialog);
    top = dialog->findChild<QLabel*>("Label1")->text();
    write = dialog->findChild<QLabel*>("Label2")->text();
    read = dialog->findChild<QLabel*>("Label3")->text();
    dialog->close();
  });
  Find<QPushButton>("bCaps")->click();
  EXPECT_EQ(seen, "Device Capabilities");
  EXPECT_EQ(ticked, expected);
  EXPECT_EQ(top.toStdString(), "  " + burner.SelectedId);
  EXPECT_GT(burner.DeviceMaxWriteSpeed, 0);
  EXPECT_EQ(write, QString("Max Write Speed : %1 KB/s").arg(burner.DeviceMaxWriteSpeed));
  EXPECT_EQ(read, QString("Max Read Speed  : %1 KB/s").arg(burner.DeviceMaxReadSpeed));
}

TEST(CapabilitiesWindowWithoutDrive, ShowsNothingTicked) {
  TQNZBurner burner(nullptr);
  TForm2 window(burner, nullptr);
  EXPECT_EQ(Ticked(&window), 0U);
  EXPECT_EQ(window.findChild<QLabel*>("Label1")->text(), "  ");
  EXPECT_EQ(window.findChild<QLabel*>("Label2")->text(), "Max Write Speed : 0 KB/s");
  EXPECT_EQ(window.findChild<QLabel*>("Label3")->text(), "Max Read Speed  : 0 KB/s");
}

} // namespace
} // namespace qnzb::app
