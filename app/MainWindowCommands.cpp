// The main window's commands: burn, build and burn an image file, erase, the
// tray and readiness buttons, abort, the ends of write and erase jobs, the
// virtual recorder's tray, and the windows the tool bar opens.

#include <algorithm>

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <exception>
#include <sstream>

#include "app/CapabilitiesWindow.h"
#include "app/DiscLayoutWindow.h"
#include "app/MainWindow.h"
#include "app/OptionsWindow.h"
#include "app/Prompts.h"
#include "app/SessionsWindow.h"
#include "engine/device/qnDrvLib.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Beep.h"
#include "vdrive/VDriveCommand.h"

namespace qnzb::app {

namespace {

QString MegabytesOf(int64_t sectors) { return QString::number(static_cast<double>(sectors) * 2048 / 1048576.0, 'f', 2); }

void LetMessagesRun() { QCoreApplication::processEvents(); }

} // namespace

void TForm1::SetWriteSpeedFromList() {
  if (cbSpeed->currentIndex() < 0)
    cbSpeed->setCurrentIndex(0);
  qnzb_->SetWriteSpeed(ParseSpeed(cbSpeed->currentText()));
}

void TForm1::Burn() {
  if (!DriveFree())
    return;
  qnzb_->ReadBufferCapacity();
  pHBuf->setMaximum(std::max(1, static_cast<int>(qnzb_->DeviceBufferSize.load())));
  SetWriteSpeedFromList();
  LetMessagesRun();
  FillCompilation();
  Log(">>> ADD FILES/DIRS TO CD DONE.");
  LetMessagesRun();
  if (qnzb_->DirectoryCount() == 0 && qnzb_->EntryCount() == 0) {
    Log(">>> NOTHING TO BURN, ABORTING ...");
    return;
  }
  if (Options.ShowFiles) {
    // The user may take files and folders out of the layout before it is built.
    TfrmDiscLayout layout(*qnzb_, this);
    layout.exec();
  }
  qnzb_->PrepareImage(false, nullptr);
  pcd->setMaximum(static_cast<int>(qnzb_->TrackLength()));
  if (!Prompts().Confirm(this, "Want to Burn the CD ?", "Start Writing " + MegabytesOf(qnzb_->TrackLength()) + " MB")) {
    Timer1->stop();
    return;
  }
  bAbort->show();
  Timer1->start();
  Log(QString::fromStdString(">>> STARTING BURNCD ON " + qnzb_->SelectedId));
  SetJobControlsEnabled(false);
  writeJob_ = true;
  // False without OnWriteDone: refused while another job ran.
  if (!qnzb_->StartBurn() && writeJob_)
    WriteDone("THE BURN DID NOT START");
}

void TForm1::ShowCapabilities() {
  TForm2 capabilities(*qnzb_, this);
  capabilities.exec();
}

void TForm1::BuildIso() {
  const std::optional<QString> name = Prompts().InputText(this, "Build ISO", "Enter ISO File Name to build",
                                                          QString::fromStdString(qnzb_->ISOFileName));
  if (!name || name->isEmpty())
    return;
  Timer1->start();
  FillCompilation();
  if (qnzb_->DirectoryCount() == 0 && qnzb_->EntryCount() == 0) {
    Timer1->stop();
    return;
  }
  Log(">>> ADD FILES/DIRS TO .ISO DONE.");
  LetMessagesRun();
  Log(">>> START BUILDING .ISO FILE");
  SetJobControlsEnabled(false);
  writeJob_ = true;
  qnzb_->PrepareImage(true, nullptr);
  pcd->setMaximum(static_cast<int>(qnzb_->TrackLength()));
  lSize->setText(MegabytesOf(qnzb_->TrackLength()) + " MB");
  try {
    qnzb_->BuildImageFile(QDir::cleanPath(*name).toStdString(), Options.QuickSaveISO);
  } catch (const std::exception& e) {
    // The quick mode reports a failure by throwing, without OnWriteDone.
    if (writeJob_)
      WriteDone(e.what());
  }
}

void TForm1::BurnIso() {
  if (!DriveFree())
    return;
  const std::optional<QString> file =
      Prompts().OpenFile(this, "Burn .ISO", ".ISO Files (*.iso *.ISO);;All File (*)");
  if (!file)
    return;
  qnzb_->ReadBufferCapacity();
  pHBuf->setMaximum(std::max(1, static_cast<int>(qnzb_->DeviceBufferSize.load())));
  bAbort->show();
  Timer1->start();
  Log(QString::fromStdString(">>> STARTING BURN .ISO IMAGE ON " + qnzb_->SelectedId));
  SetJobControlsEnabled(false);
  writeJob_ = true;
  SetWriteSpeedFromList();
  qnzb_->BurnImageFile(file->toStdString());
  pcd->setMaximum(static_cast<int>(qnzb_->TrackLength()));
}

void TForm1::Erase(bool quick) {
  if (!DriveFree())
    return;
  // A quick erase of DVD-RAM only rewrites its start, whatever the drive
  // says about erasing.
  if (!qnzb_->IsErasable() && !(quick && qnzb_->MediaKind() == MediaDvdRam)) {
    Prompts().Message(this, windowTitle(), "Disc is not Erasable");
    return;
  }
  const QString title =
      quick ? "Want to Quick Erase the Disc ?" : "Want to Complete Erase the Disc ? (may take 10-70 mins)";
  if (!Prompts().Confirm(this, title, "All Data on the CD will be lost"))
    return;
  Timer1->start();
  SetWriteSpeedFromList();
  if (!qnzb_->StartErase(quick ? 1 : 0) && !qnzb_->Erasing && Timer1->isActive()) {
    // Not started and no OnEraseDone: the drive was not ready or can't be written.
    Timer1->stop();
    Log(QString::fromStdString(">>> ERASE NOT STARTED: " + qnzb_->LastErrorText));
  }
}

void TForm1::LoadMedium() {
  if (DriveFree())
    qnzb_->LoadMedium();
}

void TForm1::EjectMedium() {
  if (DriveFree())
    qnzb_->EjectMedium();
}

void TForm1::CheckReady() {
  if (DriveFree())
    qnzb_->CheckReady();
}

void TForm1::Abort() {
  qnzb_->AbortWrite();
  bAbort->hide();
}

void TForm1::WriteDone(const std::string& error) {
  Timer1->stop();
  SetJobControlsEnabled(true);
  writeJob_ = false;
  RefreshStatus();
  if (!error.empty()) {
    Log(">>> WRITE/BURNCD PROCESS DONE WITH ERROR");
    Log(QString::fromStdString(">>> " + error));
  } else {
    Log(">>> WRITE/BURNCD PROCESS DONE");
    if (Options.ArchiveOnly)
      qnzb_->ClearArchiveBits();
  }
  if (error.empty() && Options.EjectDisc)
    qnzb_->StartStopUnit(true);
  qnzb_->ResetLayout(600000, 20000);
  MessageBeep();
  bAbort->hide();
  Log(" ");
}

void TForm1::EraseDone(bool withError) {
  Log(withError ? ">>> ERASE PROCESS DONE WITH ERROR" : ">>> ERASE PROCESS DONE");
  Timer1->stop();
  if (!withError && Options.EjectDisc)
    qnzb_->StartStopUnit(true);
  pcd->setValue(0);
  MessageBeep();
  Log(" ");
}

void TForm1::ShowOptions() {
  // Modal: "Save path" can't change while the window is open.
  TfrmSettings window(*qnzb_, Options, SavePathState(), [this] { return !DriveFree(); }, this);
  window.exec();
}

void TForm1::ShowDiscInfo() {
  if (!DriveFree())
    return;
  TfrmSessions sessions(*qnzb_, this);
  sessions.exec();
}

void TForm1::InsertVirtualMedium() {
  if (!DriveFree())
    return;
  std::ostringstream out, err;
  if (vdrive::RunVDriveCommand({"insert", cbMedium->currentText().toStdString()}, out, err) != 0)
    Prompts().Message(this, windowTitle(), QString::fromStdString(err.str()).trimmed());
  else
    Log(">>> BLANK " + cbMedium->currentText().toUpper() + " INSERTED INTO THE VIRTUAL RECORDER");
}

void TForm1::RemoveVirtualMedium() {
  if (!DriveFree())
    return;
  std::ostringstream out, err;
  if (vdrive::RunVDriveCommand({"eject"}, out, err) != 0)
    Prompts().Message(this, windowTitle(), QString::fromStdString(err.str()).trimmed());
  else
    Log(">>> MEDIUM TAKEN OUT OF THE VIRTUAL RECORDER");
}

} // namespace qnzb::app
