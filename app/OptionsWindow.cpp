#include "app/OptionsWindow.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "app/Prompts.h"
#include "engine/device/qnDrvLib.h"
#include "engine/image/qnCDBC.h"
#include "platform/Profile.h"

namespace qnzb::app {

namespace {

constexpr const char* Caption = "Advanced options";
constexpr const char* BootImageFilter = "All Image Files (*.IMG *.IMA *.BIN *.img *.ima *.bin);;All Files (*)";
constexpr int Megabyte = 1048576;
constexpr int MinCacheMegabytes = 2, MaxCacheMegabytes = 64;

QCheckBox* Box(QWidget* parent, const char* name, const QString& caption) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(name);
  return box;
}

QPushButton* Button(QWidget* parent, const char* name, const QString& caption) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  return button;
}

} // namespace

TfrmSettings::TfrmSettings(TQNZBurner& burner, TAppOptions& options, TSavePath savePath, std::function<bool()> busy,
                           QWidget* parent)
    : QDialog(parent), burner_(burner), options_(options), savePath_(savePath), busy_(std::move(busy)) {
  setObjectName("frmSettings");
  setWindowTitle(Caption);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  BuildControls();

  cEject->setChecked(options_.EjectDisc);
  cShowFiles->setChecked(options_.ShowFiles);
  cImportSession->setChecked(options_.ImportSession);
  eSession->setEnabled(cImportSession->isChecked());

  busyWatch_ = new QTimer(this);
  busyWatch_->setInterval(250);
  connect(busyWatch_, &QTimer::timeout, this, [this] { Button3->setEnabled(!DriveBusy()); });
  busyWatch_->start();
  Button3->setEnabled(!DriveBusy());

  setFixedSize(sizeHint().expandedTo(QSize(336, 304)));
}

void TfrmSettings::BuildControls() {
  auto* column = new QVBoxLayout(this);

  auto* volume = new QHBoxLayout;
  auto* volumeCaption = new QLabel("Volume Label :", this);
  volume->addWidget(volumeCaption);
  eVolLabel = new QLineEdit(this);
  eVolLabel->setObjectName("eVolLabel");
  eVolLabel->setMaxLength(16);
  volumeCaption->setBuddy(eVolLabel);
  volume->addWidget(eVolLabel, 1);
  column->addLayout(volume);

  // Two columns of boxes, read (and tabbed through) top to bottom, left first.
  auto* boxes = new QGridLayout;
  cJoliet = Box(this, "cJoliet", "Joliet File System");
  cJoliet->setToolTip("Long File Name");
  boxes->addWidget(cJoliet, 0, 0);
  cCloseDisc = Box(this, "cCloseDisc", "Close Disc (Finalize)");
  boxes->addWidget(cCloseDisc, 1, 0);
  auto* session = new QHBoxLayout;
  cImportSession = Box(this, "cImportSession", "Import Session");
  session->addWidget(cImportSession);
  eSession = new QLineEdit(this);
  eSession->setObjectName("eSession");
  eSession->setToolTip("Session Number to Import; for Last Session enter -1");
  eSession->setMaximumWidth(eSession->fontMetrics().horizontalAdvance("-12800"));
  session->addWidget(eSession);
  session->addStretch();
  boxes->addLayout(session, 2, 0);
  cUnderrunProtection = Box(this, "cUnderrunProtection", "Underrun Protection");
  boxes->addWidget(cUnderrunProtection, 3, 0);
  cTestWrite = Box(this, "cTestWrite", "Test Write");
  boxes->addWidget(cTestWrite, 0, 1);
  cEject = Box(this, "cEject", "Eject after Write/Erase");
  boxes->addWidget(cEject, 1, 1);
  cOPC = Box(this, "cOPC", "Perform OPC");
  boxes->addWidget(cOPC, 2, 1);
  cQuickSaveISO = Box(this, "cQuickSaveISO", "Quick Save .ISO");
  boxes->addWidget(cQuickSaveISO, 3, 1);
  cVerify = Box(this, "cVerify", "Verify after burning");
  cVerify->setToolTip("Read the disc back after a burn and compare it with what was written");
  boxes->addWidget(cVerify, 4, 1);
  column->addLayout(boxes);

  auto* boot = new QHBoxLayout;
  cBootable = Box(this, "cBootable", "Bootable");
  boot->addWidget(cBootable);
  lBootImage = new QLabel(this);
  lBootImage->setObjectName("lBootImage");
  // A long path is cut at the window's edge instead of widening the window;
  // the tool tip shows it whole.
  lBootImage->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  boot->addWidget(lBootImage, 1);
  column->addLayout(boot);
  cShowFiles = Box(this, "cShowFiles", "Show files before burning");
  column->addWidget(cShowFiles);
  // A single "&" would make the next letter a shortcut; doubled it shows as one.
  cArchiveOnly = Box(this, "cArchiveOnly", "Archive files only && Clear Archive Bit");
  column->addWidget(cArchiveOnly);

  auto* cache = new QHBoxLayout;
  auto* cacheCaption = new QLabel("Cache Size :", this);
  cache->addWidget(cacheCaption);
  sCacheSize = new QSlider(Qt::Horizontal, this);
  sCacheSize->setObjectName("sCacheSize");
  sCacheSize->setRange(MinCacheMegabytes, MaxCacheMegabytes);
  sCacheSize->setTickPosition(QSlider::TicksBelow);
  sCacheSize->setTickInterval(4);
  sCacheSize->setPageStep(4);
  cacheCaption->setBuddy(sCacheSize);
  cache->addWidget(sCacheSize, 1);
  lCacheSize = new QLabel(this);
  lCacheSize->setObjectName("lCacheSize");
  cache->addWidget(lCacheSize);
  column->addLayout(cache);
  column->addStretch();

  auto* buttons = new QHBoxLayout;
  Button1 = Button(this, "Button1", "OK");
  Button1->setDefault(true);
  Button2 = Button(this, "Button2", "Cancel");
  Button3 = Button(this, "Button3", "Close Track");
  buttons->addWidget(Button3);
  buttons->addStretch();
  buttons->addWidget(Button1);
  buttons->addWidget(Button2);
  column->addLayout(buttons);

  connect(cImportSession, &QCheckBox::toggled, eSession, &QWidget::setEnabled);
  connect(cBootable, &QCheckBox::clicked, this, &TfrmSettings::BootableClicked);
  connect(sCacheSize, &QSlider::valueChanged, this, &TfrmSettings::ShowCacheSize);
  connect(Button1, &QPushButton::clicked, this, &TfrmSettings::Apply);
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
  connect(Button3, &QPushButton::clicked, this, &TfrmSettings::CloseTrack);
}

void TfrmSettings::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous())
    Fill();
}

void TfrmSettings::Fill() {
  cJoliet->setChecked(burner_.JolietFileSystem);
  cQuickSaveISO->setChecked(options_.QuickSaveISO);
  cCloseDisc->setChecked(burner_.FinalizeDisc);
  eVolLabel->setText(QString::fromStdString(burner_.IdVolume));
  cTestWrite->setChecked(burner_.TestWrite);
  cOPC->setChecked(burner_.PerformOPC);
  cVerify->setChecked(burner_.Verify);
  // setChecked does not emit clicked: no boot image dialog here.
  cBootable->setChecked(burner_.Bootable);
  lBootImage->setText(QString::fromStdString(burner_.BootImage));
  lBootImage->setToolTip(lBootImage->text());
  eSession->setText(QString::number(static_cast<int>(options_.SessionToImport)));
  cArchiveOnly->setChecked(options_.ArchiveOnly);
  cUnderrunProtection->setChecked(burner_.UnderrunProtection);
  cUnderrunProtection->setEnabled((burner_.Capabilities & CapUnderrunProtection) != 0);
  sCacheSize->setValue(std::clamp(burner_.CacheSize() / Megabyte, MinCacheMegabytes, MaxCacheMegabytes));
  ShowCacheSize(sCacheSize->value());
  Button3->setEnabled(!DriveBusy());
}

void TfrmSettings::ShowCacheSize(int megabytes) { lCacheSize->setText(QString("%1 MB").arg(megabytes, 2)); }

void TfrmSettings::BootableClicked(bool ticked) {
  if (!ticked)
    return;
  const std::optional<QString> file = Prompts().OpenFileAt(this, "Boot Image", BootImageFilter, lBootImage->text());
  if (!file) {
    cBootable->setChecked(false);
    return;
  }
  lBootImage->setText(QFileInfo(*file).absoluteFilePath());
  lBootImage->setToolTip(lBootImage->text());
}

void TfrmSettings::Apply() {
  burner_.JolietFileSystem = cJoliet->isChecked();
  burner_.IdVolume = eVolLabel->text().toStdString();
  burner_.FinalizeDisc = cCloseDisc->isChecked();
  burner_.UnderrunProtection = cUnderrunProtection->isChecked();
  burner_.TestWrite = cTestWrite->isChecked();
  burner_.PerformOPC = cOPC->isChecked();
  burner_.Verify = cVerify->isChecked();
  burner_.SetCacheSize(sCacheSize->value() * Megabyte);
  burner_.Bootable = cBootable->isChecked();
  burner_.BootImage = lBootImage->text().toStdString();
  options_.ArchiveOnly = cArchiveOnly->isChecked();
  options_.EjectDisc = cEject->isChecked();
  options_.ShowFiles = cShowFiles->isChecked();
  options_.ImportSession = cImportSession->isChecked();

  const QString typed = eSession->text();
  int8_t session = 0;
  if (cImportSession->isChecked()) {
    bool number = false;
    const int value = typed.trimmed().toInt(&number);
    if (!number) {
      Prompts().Message(this, Caption,
                        QString("'%1' is not a valid integer value. Enter the number of the session to import, "
                                "-1 for the last session.")
                            .arg(typed));
      return;
    }
    if (value == 0)
      Prompts().Message(this, Caption, "Session to import; Zero means not to import any session");
    if (value < -128 || value > 127) {
      Prompts().Message(this, Caption,
                        QString("%1 is out of range. Enter a session number from -128 to 127, -1 for the last "
                                "session.")
                            .arg(value));
      return;
    }
    session = static_cast<int8_t>(value);
  }
  options_.SessionToImport = session;
  options_.QuickSaveISO = cQuickSaveISO->isChecked();

  // "Save path" belongs to the main window's box; its state goes out with the rest.
  TAppOptions stored = options_;
  stored.SavePath = savePath_;
  const std::string path = platform::SettingsFilePath();
  if (!SaveSettings(burner_, stored, path, typed.toStdString())) {
    // The options are in effect all the same, until the program ends.
    Prompts().Message(this, Caption,
                      path.empty() ? QString("The options could not be saved: there is no home folder for the "
                                             "settings file. Set QNZB_INI to the file to keep them in.")
                                   : QString("The options could not be saved to %1. Check that the file and its "
                                             "folder can be written.")
                                         .arg(QString::fromStdString(path)));
  }
  accept();
}

bool TfrmSettings::DriveBusy() const { return burner_.Erasing || burner_.JobActive() || (busy_ && busy_()); }

void TfrmSettings::CloseTrack() {
  // The main window never sends a drive command while a job or an erase runs.
  if (DriveBusy())
    return;
  // The component logs a failure with the drive's sense data.
  burner_.CloseTrackSession(false, false, false);
}

} // namespace qnzb::app
