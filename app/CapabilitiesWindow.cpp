#include "app/CapabilitiesWindow.h"

#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/device/qnDrvLib.h"
#include "engine/image/qnCDBC.h"

namespace qnzb::app {

namespace {

struct TCapabilityBox {
  const char* name;
  const char* caption;
  uint32_t bit;
};

// Row by row, the read box left and the write box right.
constexpr TCapabilityBox Boxes[][2] = {
    {{"ReadCDR", "Read CDR", CapReadCDR}, {"WriteCDR", "Write CDR", CapWriteCDR}},
    {{"ReadCDRW", "Read CDRW", CapReadCDRW}, {"WriteCDRW", "Write CDRW", CapWriteCDRW}},
    {{"ReadDVDR", "Read DVD-R", CapReadDVDR}, {"WriteDVDR", "Write DVD-R", CapWriteDVDR}},
    {{"ReadDVDRW", "Read DVD-RW", CapReadDVDRW}, {"WriteDVDRW", "Write DVD-RW", CapWriteDVDRW}},
    {{"ReadDVDRAM", "Read DVD-RAM", CapReadDVDRAM}, {"WriteDVDRAM", "Write DVD-RAM", CapWriteDVDRAM}},
    {{"ReadDVDPR", "Read DVD+R", CapReadDVDPR}, {"WriteDVDPR", "Write DVD+R", CapWriteDVDPR}},
    {{"ReadDVDPRW", "Read DVD+RW", CapReadDVDPRW}, {"WriteDVDPRW", "Write DVD+RW", CapWriteDVDPRW}},
    {{"ReadDVD", "Read DVD", CapReadDVD}, {"WriteTest", "Write Test", CapWriteTest}},
};

QCheckBox* Box(QWidget* parent, const TCapabilityBox& box, uint32_t capabilities) {
  auto* check = new QCheckBox(box.caption, parent);
  check->setObjectName(box.name);
  check->setLayoutDirection(Qt::RightToLeft);  // caption left of the box
  check->setChecked((capabilities & box.bit) != 0);
  return check;
}

QLabel* Label(QWidget* parent, const char* name, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  return label;
}

} // namespace

TForm2::TForm2(const TQNZBurner& burner, QWidget* parent) : QDialog(parent) {
  setObjectName("Form2");
  setWindowTitle("Device Capabilities");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
  auto* column = new QVBoxLayout(this);
  column->addWidget(Label(this, "Label1", QString::fromStdString("  " + burner.SelectedId)));

  auto* panel = new QFrame(this);
  panel->setObjectName("Panel1");
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  // The boxes show, they don't edit.
  panel->setEnabled(false);
  auto* grid = new QGridLayout(panel);
  int row = 0;
  for (const auto& pair : Boxes) {
    grid->addWidget(Box(panel, pair[0], burner.Capabilities), row, 0);
    grid->addWidget(Box(panel, pair[1], burner.Capabilities), row, 1);
    ++row;
  }
  QCheckBox* underrun = Box(panel, {"UnderrunProtection", "Underrun Protection", CapUnderrunProtection},
                            burner.Capabilities);
  QFont bold = underrun->font();
  bold.setBold(true);
  underrun->setFont(bold);
  grid->addWidget(underrun, row++, 0, 1, 2);
  grid->addWidget(Label(panel, "Label2", QString("Max Write Speed : %1 KB/s").arg(burner.DeviceMaxWriteSpeed)), row, 0);
  grid->addWidget(Label(panel, "Label3", QString("Max Read Speed  : %1 KB/s").arg(burner.DeviceMaxReadSpeed)), row, 1);
  column->addWidget(panel);

  // Esc closes the dialog; the button only gives it a name.
  auto* close = new QPushButton("Close", this);
  close->setObjectName("Button1");
  close->setFocusPolicy(Qt::NoFocus);
  close->hide();
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  resize(312, 188);
}

} // namespace qnzb::app
