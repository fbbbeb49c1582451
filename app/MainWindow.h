#pragma once
// The main window: drives, write speed, the compilation list, the source
// browser, the log and the progress of a running job. It owns the one burner
// component `qnzb` and starts every job from its buttons (MainWindowCommands.cpp).
//
// Threading: everything runs on the window thread. The component's log lines
// may come from any thread and are queued to the window in arrival order;
// OnWriteDone and OnEraseDone arrive through the runtime's Synchronize, which
// this window wakes its event loop for. No drive command is sent while a
// write job or an erase runs.

#include <QMainWindow>
#include <QStringList>

#include <memory>

#include "engine/image/Settings.h"

class QCheckBox;
class QComboBox;
class QFileSystemModel;
class QLabel;
class QListView;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeView;
class QTreeWidget;
class QWidget;

namespace qnzb {
class TQNZBurner;
}

namespace qnzb::app {

class TExDragDrop;

class TForm1 : public QMainWindow {
  Q_OBJECT
public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The burner component the window owns.
  [[nodiscard]] TQNZBurner& Burner() const { return *qnzb_; }
  // The application options (loaded at start-up from the settings file).
  TAppOptions Options;

  // Appends a row per name: an existing directory as a folder row (box
  // ticked, path ending in one "/"), anything else as a file row. What the
  // shell drop target calls with its Items.
  void AddDroppedNames(const QStringList& names);
  // The compilation list's rows as the engine takes them.
  [[nodiscard]] TCompilation Rows() const;
  // Resets the layout and fills it from the list; false when the list was empty.
  bool FillCompilation();
  // The refresh timer's tick: lSize, pcd, pBuf and pHBuf from the running job.
  void RefreshStatus();
  // The write speed in KB/s a speed text names for the medium loaded now.
  [[nodiscard]] uint16_t ParseSpeed(const QString& text);
  // Refills cbSpeed with the speeds the drive accepts (as opening it does).
  void FillSpeedList();
  // A drag from the folder tree (its current folder) or the file list (its
  // selected files, in list order) dropped on clBox; false for other sources.
  bool DropFromBrowser(const QObject* source);
  // True from a write job's start until its OnWriteDone.
  [[nodiscard]] bool WriteJobRunning() const { return writeJob_; }

protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // Drags into clBox from lbDir and lbFiles; opening cbSpeed.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void BuildToolBars(QWidget* central);
  void BuildPanes(QWidget* central);
  void BuildStatusBar(QWidget* central);
  void ConnectCommands();
  void StartUp();
  void DriveChanged();
  void UpdateVirtualRecorderControls();
  void AddRow(const QString& path, bool folder);
  void DragFromTree();
  void DragFromFiles();
  void RemoveSelected();
  void ClearList();
  void SavePathChanged();
  // The "Save path" box's state.
  [[nodiscard]] TSavePath SavePathState() const;
  void ChangeNetworkPath();
  void Log(const QString& line);
  void SetJobControlsEnabled(bool enabled);
  // The commands (MainWindowCommands.cpp).
  void Burn();
  void BuildIso();
  void BurnIso();
  void Erase(bool quick);
  void LoadMedium();
  void EjectMedium();
  void CheckReady();
  void Abort();
  void WriteDone(const std::string& error);
  void EraseDone(bool withError);
  void ShowCapabilities();
  // "Advance": the options window, modal, made anew for each showing.
  void ShowOptions();
  // "Disc Info": the sessions window over the loaded disc (modal).
  void ShowDiscInfo();
  void InsertVirtualMedium();
  void RemoveVirtualMedium();
  // Whether a drive command may go out now (no write job, no erase).
  [[nodiscard]] bool DriveFree() const;
  void SetWriteSpeedFromList();

  std::unique_ptr<TQNZBurner> qnzb_;
  bool started_ = false;
  bool writeJob_ = false;

  QWidget* pTop = nullptr;
  QWidget* pTop2 = nullptr;
  QLabel* lDrive = nullptr;
  QComboBox* cbDrives = nullptr;
  QPushButton* bCaps = nullptr;
  QComboBox* cbSpeed = nullptr;
  QPushButton* bDisc = nullptr;
  QPushButton* bAdvance = nullptr;
  QPushButton* bBurn = nullptr;
  QPushButton* bQErase = nullptr;
  QPushButton* bCErase = nullptr;
  QPushButton* bLoad = nullptr;
  QPushButton* bEject = nullptr;
  QPushButton* bReady = nullptr;
  QComboBox* cbMedium = nullptr;
  QPushButton* bInsertMedium = nullptr;
  QPushButton* bRemoveMedium = nullptr;
  QPushButton* bSaveISO = nullptr;
  QPushButton* bBurnISO = nullptr;
  QCheckBox* cPathInfo = nullptr;
  QPushButton* bClear = nullptr;
  QTreeWidget* clBox = nullptr;
  TExDragDrop* ExplorerDragDrop = nullptr;
  QComboBox* DriveCB = nullptr;
  QPushButton* bNetwork = nullptr;
  QFileSystemModel* dirModel_ = nullptr;
  QFileSystemModel* fileModel_ = nullptr;
  QTreeView* lbDir = nullptr;
  QListView* lbFiles = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QProgressBar* pcd = nullptr;
  QLabel* lSize = nullptr;
  QPushButton* bAbort = nullptr;
  QProgressBar* pBuf = nullptr;
  QProgressBar* pHBuf = nullptr;
  QTimer* Timer1 = nullptr;
};

} // namespace qnzb::app
