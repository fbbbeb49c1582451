#pragma once
// The options window "Advanced options": the burner component's settings and
// the application options, edited together and applied and written to the
// settings file only by OK. Cancel, Esc and the close box apply nothing.
//
// The window is modal and short-lived: the main window creates one for each
// "Advance" and destroys it once closed. It works on the main window's
// component and options directly; both must outlive it.

#include <QDialog>

#include <functional>

#include "engine/image/Settings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTimer;

namespace qnzb::app {

class TfrmSettings : public QDialog {
  Q_OBJECT
public:
  // `options` also sets "Eject after Write/Erase", "Show files before
  // burning" and "Import Session" (and with it whether the session field is
  // enabled). `savePath` is the main window's "Save path" state, written as
  // "SavePath" with the other keys. `busy` tells whether a write job or an
  // erase runs; "Close Track" sends nothing while it does (the component's
  // own job and erase always count).
  TfrmSettings(TQNZBurner& burner, TAppOptions& options, TSavePath savePath, std::function<bool()> busy,
               QWidget* parent = nullptr);

protected:
  // Each showing fills the controls from the component and the options.
  void showEvent(QShowEvent* event) override;

private:
  void BuildControls();
  void Fill();
  void ShowCacheSize(int megabytes);
  void BootableClicked(bool ticked);
  // OK: applies the controls, writes the settings file and closes; a session
  // number that is no integer or out of range stops it with a message.
  void Apply();
  void CloseTrack();
  [[nodiscard]] bool DriveBusy() const;

  TQNZBurner& burner_;
  TAppOptions& options_;
  const TSavePath savePath_;
  const std::function<bool()> busy_;

  QLineEdit* eVolLabel = nullptr;
  QCheckBox* cJoliet = nullptr;
  QCheckBox* cCloseDisc = nullptr;
  QCheckBox* cImportSession = nullptr;
  QLineEdit* eSession = nullptr;
  QCheckBox* cUnderrunProtection = nullptr;
  QCheckBox* cTestWrite = nullptr;
  QCheckBox* cEject = nullptr;
  QCheckBox* cOPC = nullptr;
  QCheckBox* cVerify = nullptr;
  QCheckBox* cQuickSaveISO = nullptr;
  QCheckBox* cBootable = nullptr;
  QLabel* lBootImage = nullptr;
  QCheckBox* cShowFiles = nullptr;
  QCheckBox* cArchiveOnly = nullptr;
  QSlider* sCacheSize = nullptr;
  QLabel* lCacheSize = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Button3 = nullptr;
  // Follows the drive's business while the window is open: a job may end or
  // an erase run out meanwhile.
  QTimer* busyWatch_ = nullptr;
};

} // namespace qnzb::app
