// The main window's controls, start-up, drive change, compilation list,
// source browser, log and refresh timer. The commands are in
// MainWindowCommands.cpp.

#include "app/MainWindow.h"
#include "app/ShellDropTarget.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QStorageInfo>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <string>

#include "app/Prompts.h"
#include "engine/device/qnConst.h"
#include "engine/device/qnDrvLib.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Beep.h"
#include "engine/runtime/Thread.h"
#include "platform/Profile.h"
#include "vdrive/DriveConfig.h"

namespace qnzb::app {

namespace {

constexpr const char* Caption = "Quenz CD/DVD Burner 1.20.1";
// Until the project has a public page of its own: a reserved example domain.
constexpr const char* ProjectPage = "https://qnzb.example/";

// "#,##": digits grouped by three with commas; 0 shows as nothing.
QString GroupedSize(int64_t bytes) {
  if (bytes <= 0)
    return QString();
  QString digits = QString::number(bytes);
  for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
    digits.insert(i, ',');
  return digits;
}

// "#,##0.00" of bytes in MB.
QString Megabytes(double bytes) {
  const QString fixed = QString::number(bytes / 1048576.0, 'f', 2);
  const qsizetype point = fixed.indexOf('.');
  QString whole = fixed.left(point);
  for (qsizetype i = whole.size() - 3; i > 0; i -= 3)
    whole.insert(i, ',');
  return whole + fixed.mid(point);
}

QPushButton* Button(QWidget* parent, QLayout* layout, const char* name, const QString& caption,
                    const QString& tip = QString()) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  button->setToolTip(tip);
  layout->addWidget(button);
  return button;
}

// The selected drive is the virtual recorder: its identity is in the line.
bool IsVirtualRecorderLine(const std::string& line) {
  const vdrive::Identity identity;
  return line.find(identity.Vendor) != std::string::npos && line.find(identity.Product) != std::string::npos;
}

} // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), qnzb_(std::make_unique<TQNZBurner>(nullptr)) {
  setObjectName("Form1");
  setWindowTitle(Caption);
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  setCentralWidget(central);
  BuildToolBars(central);
  BuildPanes(central);
  BuildStatusBar(central);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(500);
  connect(Timer1, &QTimer::timeout, this, &TForm1::RefreshStatus);

  ApplyDesignValues(*qnzb_);
  // Lines may come from the writing or the blanking thread: queued, they
  // reach the log on this thread in the order they were raised.
  qnzb_->OnDebugMessage = [this](TObject*, const std::string& message, uint8_t) {
    const QString line = QString::fromStdString(message);
    QMetaObject::invokeMethod(this, [this, line] { Memo1->appendPlainText(line); }, Qt::QueuedConnection);
  };
  qnzb_->OnFinalizingTrack = [this](TObject*) { Log(">>> FINALIZING TRACK"); };
  qnzb_->OnWriteDone = [this](TObject*, const std::string& error) { WriteDone(error); };
  qnzb_->OnEraseDone = [this](TObject*, bool withError) { EraseDone(withError); };
  TThread::SetMainThread();
  // A worker's Synchronize call runs as soon as the loop gets to it.
  TThread::SetSynchronizeWake([] {
    if (QCoreApplication* application = QCoreApplication::instance())
      QMetaObject::invokeMethod(application, [] { TThread::CheckSynchronize(); }, Qt::QueuedConnection);
  });
  SetMessageBeep([] { QApplication::beep(); });
  ConnectCommands();

  resize(738, 460);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TForm1::~TForm1() {
  if (qnzb_->JobActive())
    qnzb_->AbortWrite();
  TThread::SetSynchronizeWake({});
  qnzb_->OnDebugMessage = nullptr;
}

void TForm1::BuildToolBars(QWidget* central) {
  pTop = new QWidget(central);
  pTop->setObjectName("pTop");
  auto* top = new QHBoxLayout(pTop);
  top->setContentsMargins(2, 2, 2, 2);
  lDrive = new QLabel(" Drive :", pTop);
  lDrive->setObjectName("lDrive");
  top->addWidget(lDrive);
  cbDrives = new QComboBox(pTop);
  cbDrives->setObjectName("cbDrives");
  cbDrives->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  cbDrives->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  top->addWidget(cbDrives, 1);
  bCaps = Button(pTop, top, "bCaps", "...", "Drive capabilities");
  cbSpeed = new QComboBox(pTop);
  cbSpeed->setObjectName("cbSpeed");
  cbSpeed->addItem("Max");
  top->addWidget(cbSpeed);
  bDisc = Button(pTop, top, "bDisc", "Disc Info", "Disc & Session information (Extract file from any session)");
  top->addStretch();
  bAdvance = Button(pTop, top, "bAdvance", "Advance");
  bBurn = Button(pTop, top, "bBurn", "Burn", "Start Burning");
  QFont bold = bBurn->font();
  bold.setBold(true);
  bBurn->setFont(bold);
  central->layout()->addWidget(pTop);

  pTop2 = new QWidget(central);
  pTop2->setObjectName("pTop2");
  auto* second = new QHBoxLayout(pTop2);
  second->setContentsMargins(2, 2, 2, 2);
  bQErase = Button(pTop2, second, "bQErase", "Q.Erase", "Quick Erase");
  bCErase = Button(pTop2, second, "bCErase", "C.Erase", "Full Erase (Normally not required)");
  bLoad = Button(pTop2, second, "bLoad", "Load", "Load Medium");
  bEject = Button(pTop2, second, "bEject", "Eject", "Eject Medium");
  bReady = Button(pTop2, second, "bReady", "Ready", "Is Unit Ready ?");
  // The virtual recorder's tray, for a person without hardware.
  cbMedium = new QComboBox(pTop2);
  cbMedium->setObjectName("cbMedium");
  cbMedium->setToolTip("Blank medium for the virtual recorder");
  for (const char* kind : {"cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd+r", "dvd+rw", "dvd-ram"})
    cbMedium->addItem(kind);
  second->addWidget(cbMedium);
  bInsertMedium = Button(pTop2, second, "bInsertMedium", "Insert", "Put a blank medium into the virtual recorder");
  bRemoveMedium = Button(pTop2, second, "bRemoveMedium", "Remove", "Take the medium out of the virtual recorder");
  second->addStretch();
  auto* link = new QLabel(QString("<a href=\"%1\">%1</a>").arg(ProjectPage), pTop2);
  link->setObjectName("lLink");
  link->setCursor(Qt::PointingHandCursor);
  link->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  connect(link, &QLabel::linkActivated, [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); });
  second->addWidget(link);
  central->layout()->addWidget(pTop2);
  UpdateVirtualRecorderControls();
}

void TForm1::BuildPanes(QWidget* central) {
  auto* vertical = new QSplitter(Qt::Vertical, central);
  auto* horizontal = new QSplitter(Qt::Horizontal, vertical);

  auto* pDiscFiles = new QWidget(horizontal);
  pDiscFiles->setObjectName("pDiscFiles");
  auto* left = new QVBoxLayout(pDiscFiles);
  left->setContentsMargins(0, 0, 0, 0);
  auto* bar = new QHBoxLayout;
  bSaveISO = Button(pDiscFiles, bar, "bSaveISO", "Build .ISO", "Build and Save .ISO Image");
  bBurnISO = Button(pDiscFiles, bar, "bBurnISO", "Burn .ISO", "Start Burning");
  bar->addStretch();
  cPathInfo = new QCheckBox("Save path", pDiscFiles);
  cPathInfo->setObjectName("cPathInfo");
  cPathInfo->setToolTip("Preserve directory structure");
  cPathInfo->setTristate(true);
  cPathInfo->setCheckState(Qt::PartiallyChecked);
  cPathInfo->setLayoutDirection(Qt::RightToLeft);
  bar->addWidget(cPathInfo);
  bClear = Button(pDiscFiles, bar, "bClear", "Clear");
  left->addLayout(bar);
  clBox = new QTreeWidget(pDiscFiles);
  clBox->setObjectName("clBox");
  clBox->setColumnCount(3);
  clBox->setHeaderLabels({"R", "Name", "Size "});
  clBox->setRootIsDecorated(false);
  clBox->setAllColumnsShowFocus(true);
  clBox->setSelectionBehavior(QAbstractItemView::SelectRows);
  clBox->setEditTriggers(QAbstractItemView::NoEditTriggers);
  clBox->header()->setSectionResizeMode(0, QHeaderView::Fixed);
  clBox->header()->setSectionResizeMode(1, QHeaderView::Stretch);
  clBox->header()->setStretchLastSection(false);
  clBox->setColumnWidth(0, 23);
  clBox->setColumnWidth(2, 87);
  clBox->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  clBox->setAcceptDrops(true);
  clBox->viewport()->setAcceptDrops(true);
  // Drops from the file manager; the window's own filter, installed after
  // it, sees drags from lbDir and lbFiles first.
  ExplorerDragDrop = new TExDragDrop(this);
  ExplorerDragDrop->OnDropped = [this](TExDragDrop* sender, int32_t) { AddDroppedNames(sender->Items()); };
  ExplorerDragDrop->SetControl(clBox);
  clBox->viewport()->installEventFilter(this);
  clBox->setContextMenuPolicy(Qt::CustomContextMenu);
  left->addWidget(clBox);

  auto* pDrivesDir = new QWidget(horizontal);
  pDrivesDir->setObjectName("pDrivesDir");
  auto* right = new QVBoxLayout(pDrivesDir);
  right->setContentsMargins(0, 0, 0, 0);
  auto* strip = new QHBoxLayout;
  DriveCB = new QComboBox(pDrivesDir);
  DriveCB->setObjectName("DriveCB");
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes())
    if (volume.isValid() && volume.isReady())
      DriveCB->addItem(volume.rootPath());
  strip->addWidget(DriveCB, 1);
  bNetwork = Button(pDrivesDir, strip, "bNetwork", "Network");
  right->addLayout(strip);
  auto* browser = new QSplitter(Qt::Horizontal, pDrivesDir);
  dirModel_ = new QFileSystemModel(this);
  dirModel_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
  dirModel_->setRootPath(QDir::rootPath());
  lbDir = new QTreeView(browser);
  lbDir->setObjectName("lbDir");
  lbDir->setModel(dirModel_);
  for (int c = 1; c < dirModel_->columnCount(); ++c)
    lbDir->hideColumn(c);
  lbDir->setHeaderHidden(true);
  lbDir->setDragEnabled(true);
  fileModel_ = new QFileSystemModel(this);
  fileModel_->setFilter(QDir::Files | QDir::Hidden);
  lbFiles = new QListView(browser);
  lbFiles->setObjectName("lbFiles");
  lbFiles->setModel(fileModel_);
  lbFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lbFiles->setDragEnabled(true);
  browser->setSizes({194, 200});
  right->addWidget(browser, 1);

  horizontal->addWidget(pDiscFiles);
  horizontal->addWidget(pDrivesDir);
  horizontal->setSizes({306, 432});

  Memo1 = new QPlainTextEdit(vertical);
  Memo1->setObjectName("Memo1");
  Memo1->setReadOnly(true);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  Memo1->setToolTip("Log");
  Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
  vertical->addWidget(horizontal);
  vertical->addWidget(Memo1);
  vertical->setSizes({300, 86});
  central->layout()->addWidget(vertical);

  // Choosing a volume shows its folders; choosing a folder shows its files.
  const auto showFolder = [this](const QString& path) {
    const QModelIndex index = dirModel_->index(path);
    lbDir->setCurrentIndex(index);
    lbDir->scrollTo(index);
    lbFiles->setRootIndex(fileModel_->setRootPath(path));
  };
  connect(DriveCB, &QComboBox::textActivated, this, showFolder);
  connect(lbDir->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            const QString path = dirModel_->filePath(current);
            lbFiles->setRootIndex(fileModel_->setRootPath(path));
          });
  showFolder(QDir::homePath());
}

void TForm1::BuildStatusBar(QWidget* central) {
  auto* pbottom = new QWidget(central);
  pbottom->setObjectName("pbottom");
  auto* row = new QHBoxLayout(pbottom);
  row->setContentsMargins(2, 0, 2, 0);
  row->addWidget(new QLabel(" CD Progress : ", pbottom));
  pcd = new QProgressBar(pbottom);
  pcd->setObjectName("pcd");
  pcd->setTextVisible(false);
  row->addWidget(pcd, 1);
  lSize = new QLabel("Size", pbottom);
  lSize->setObjectName("lSize");
  lSize->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  row->addWidget(lSize);
  bAbort = Button(pbottom, row, "bAbort", "Abort", "Abort write operation");
  bAbort->setStyleSheet("color: red");
  bAbort->hide();
  row->addWidget(new QLabel("Buffer : ", pbottom));
  pBuf = new QProgressBar(pbottom);
  pBuf->setObjectName("pBuf");
  pBuf->setToolTip("Software buffer status");
  pBuf->setRange(0, 100);
  pBuf->setValue(0);
  row->addWidget(pBuf);
  pHBuf = new QProgressBar(pbottom);
  pHBuf->setObjectName("pHBuf");
  pHBuf->setToolTip("Device buffer status");
  pHBuf->setRange(0, 1);  // Qt animates a bar whose maximum is 0: empty until a job sizes it
  pHBuf->setTextVisible(false);
  row->addWidget(pHBuf);
  central->layout()->addWidget(pbottom);
}

void TForm1::ConnectCommands() {
  connect(cbDrives, &QComboBox::activated, this, [this] { DriveChanged(); });
  connect(bAdvance, &QPushButton::clicked, this, &TForm1::ShowOptions);
  connect(bBurn, &QPushButton::clicked, this, &TForm1::Burn);
  connect(bCaps, &QPushButton::clicked, this, &TForm1::ShowCapabilities);
  connect(bDisc, &QPushButton::clicked, this, &TForm1::ShowDiscInfo);
  connect(bSaveISO, &QPushButton::clicked, this, &TForm1::BuildIso);
  connect(bBurnISO, &QPushButton::clicked, this, &TForm1::BurnIso);
  connect(bQErase, &QPushButton::clicked, this, [this] { Erase(true); });
  connect(bCErase, &QPushButton::clicked, this, [this] { Erase(false); });
  connect(bLoad, &QPushButton::clicked, this, &TForm1::LoadMedium);
  connect(bEject, &QPushButton::clicked, this, &TForm1::EjectMedium);
  connect(bReady, &QPushButton::clicked, this, &TForm1::CheckReady);
  connect(bAbort, &QPushButton::clicked, this, &TForm1::Abort);
  connect(bInsertMedium, &QPushButton::clicked, this, &TForm1::InsertVirtualMedium);
  connect(bRemoveMedium, &QPushButton::clicked, this, &TForm1::RemoveVirtualMedium);
  connect(bClear, &QPushButton::clicked, this, &TForm1::ClearList);
  connect(bNetwork, &QPushButton::clicked, this, &TForm1::ChangeNetworkPath);
  connect(cPathInfo, &QCheckBox::stateChanged, this, [this] { SavePathChanged(); });
  connect(clBox, &QTreeWidget::itemDoubleClicked, this, [this] { RemoveSelected(); });
  auto* remove = new QShortcut(QKeySequence::Delete, clBox, nullptr, nullptr, Qt::WidgetShortcut);
  connect(remove, &QShortcut::activated, this, &TForm1::RemoveSelected);
  connect(clBox, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu menu;
    menu.addAction("Remove", QKeySequence::Delete, this, &TForm1::RemoveSelected);
    menu.exec(clBox->viewport()->mapToGlobal(at));
  });
  auto* clearLog = new QShortcut(QKeySequence(Qt::Key_F8), Memo1, nullptr, nullptr, Qt::WidgetShortcut);
  connect(clearLog, &QShortcut::activated, Memo1, &QPlainTextEdit::clear);
  connect(Memo1, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu menu;
    menu.addAction("Clear Log", QKeySequence(Qt::Key_F8), Memo1, &QPlainTextEdit::clear);
    menu.exec(Memo1->mapToGlobal(at));
  });
  // Opening the speed list asks the drive which speeds it takes.
  cbSpeed->installEventFilter(this);
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!started_) {
    started_ = true;
    StartUp();
  }
}

void TForm1::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F5) {
    Memo1->selectAll();
    QApplication::clipboard()->setText(Memo1->toPlainText());
    return;
  }
  QMainWindow::keyPressEvent(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == cbSpeed && (event->type() == QEvent::MouseButtonPress ||
                             (event->type() == QEvent::KeyPress &&
                              static_cast<QKeyEvent*>(event)->key() == Qt::Key_Down &&
                              (static_cast<QKeyEvent*>(event)->modifiers() & Qt::AltModifier)))) {
    FillSpeedList();
    return false;
  }
  if (watched != clBox->viewport())
    return QMainWindow::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDropEvent*>(event);
      if (drag->source() == lbDir || drag->source() == lbFiles) {
        drag->acceptProposedAction();
        return true;
      }
      return false;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      if (!DropFromBrowser(drop->source()))
        return false;
      drop->acceptProposedAction();
      return true;
    }
    default:
      return false;
  }
}

void TForm1::Log(const QString& line) { qnzb_->SendDebugMessage(line.toStdString(), mtPlain); }

void TForm1::StartUp() {
  Log(QString(">>> ") + Caption);
  qnzb_->InitializeTransport(true, "");
  if (!qnzb_->ASPIInitialized()) {
    pTop->setEnabled(false);
    pTop2->setEnabled(false);
    Prompts().Message(this, Caption,
                      QString("Error initializing ASPI Layer, Please visit support page, ") + ProjectPage +
                          " for more information");
    return;
  }
  if (!qnzb_->DeviceList.empty()) {
    for (const std::string& line : qnzb_->DeviceList)
      cbDrives->addItem(QString::fromStdString(line));
    cbDrives->setCurrentIndex(0);
    DriveChanged();
  }
  LoadSettings(*qnzb_, Options, platform::SettingsFilePath());
  const QSignalBlocker quiet(cPathInfo);
  cPathInfo->setCheckState(Options.SavePath == TSavePath::Checked   ? Qt::Checked
                           : Options.SavePath == TSavePath::Grayed ? Qt::PartiallyChecked
                                                                    : Qt::Unchecked);
  Log(" ");
  qnzb_->SetCloseAfterCommand(true);
}

void TForm1::DriveChanged() {
  if (!DriveFree())
    return;
  const std::string line = cbDrives->currentText().toStdString();
  qnzb_->SelectDevice(line);
  cbDrives->setToolTip(cbDrives->currentText());
  const char letter = qnzb_->DriveLetter();
  lDrive->setText(letter != '\0' && letter != '\x7F' ? QString("Drive %1:").arg(QChar(letter)) : "  Drive :");
  bBurn->setEnabled((qnzb_->Capabilities & (CapWriteCDR | CapWriteDVDR | CapWriteDVDRAM)) != 0);
  UpdateVirtualRecorderControls();
}

void TForm1::UpdateVirtualRecorderControls() {
  const bool shown = qnzb_ && IsVirtualRecorderLine(qnzb_->SelectedId);
  for (QWidget* control : std::initializer_list<QWidget*>{cbMedium, bInsertMedium, bRemoveMedium})
    control->setVisible(shown);
}

bool TForm1::DriveFree() const { return !writeJob_ && !qnzb_->JobActive() && !qnzb_->Erasing; }

void TForm1::FillSpeedList() {
  if (!DriveFree())
    return;
  const int remembered = cbSpeed->currentIndex();
  const QSignalBlocker quiet(cbSpeed);
  cbSpeed->clear();
  for (const TSCSIDevice::TSpeedEntry& entry : qnzb_->WriteSpeedList(IsDvdKind(qnzb_->MediaKind())))
    cbSpeed->addItem(QString::fromStdString(entry.Text));
  if (cbSpeed->count() == 0)
    cbSpeed->addItem("Max");
  cbSpeed->setCurrentIndex(remembered < 0 || remembered >= cbSpeed->count() ? 0 : remembered);
}

uint16_t TForm1::ParseSpeed(const QString& text) {
  return SpeedFromText(text.toStdString(), IsDvdKind(qnzb_->MediaKind()));
}

void TForm1::AddRow(const QString& path, bool folder) {
  auto* row = new QTreeWidgetItem(clBox);
  row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
  row->setCheckState(0, folder ? Qt::Checked : Qt::Unchecked);
  row->setText(1, path);
  row->setText(2, GroupedSize(qnzb_->FolderSize(path.toStdString())));
  row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
}

void TForm1::AddDroppedNames(const QStringList& names) {
  for (const QString& name : names) {
    const TCompilationRow row = RowForPath(name.toStdString());
    AddRow(QString::fromStdString(row.Path), row.Path.ends_with('/'));
  }
}

bool TForm1::DropFromBrowser(const QObject* source) {
  if (source == lbDir)
    DragFromTree();
  else if (source == lbFiles)
    DragFromFiles();
  else
    return false;
  return true;
}

void TForm1::DragFromTree() {
  QString path = dirModel_->filePath(lbDir->currentIndex());
  if (path.isEmpty())
    return;
  AddRow(QString::fromStdString(FolderRow(path.toStdString()).Path), true);
}

void TForm1::DragFromFiles() {
  // Select-all picks every column of the model; a file is one row.
  QModelIndexList chosen = lbFiles->selectionModel()->selectedIndexes();
  chosen.removeIf([this](const QModelIndex& index) { return index.column() != lbFiles->modelColumn(); });
  std::sort(chosen.begin(), chosen.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  for (const QModelIndex& index : chosen)
    AddRow(fileModel_->filePath(index), false);
}

void TForm1::RemoveSelected() {
  if (QTreeWidgetItem* row = clBox->currentItem(); row && row->isSelected())
    delete row;
}

void TForm1::ClearList() {
  // A running job reads the layout until OnWriteDone; the button is a job
  // control, and this check keeps the rule for any other caller.
  if (writeJob_)
    return;
  clBox->clear();
  qnzb_->ResetLayout(600000, 20000);
}

TSavePath TForm1::SavePathState() const {
  return cPathInfo->checkState() == Qt::Checked            ? TSavePath::Checked
         : cPathInfo->checkState() == Qt::PartiallyChecked ? TSavePath::Grayed
                                                            : TSavePath::Unchecked;
}

void TForm1::SavePathChanged() {
  const TSavePath state = SavePathState();
  Options.SavePath = state;
  if (!SaveSavePath(state, platform::SettingsFilePath()))
    Log(QString::fromStdString(">>> THE SETTINGS FILE COULD NOT BE WRITTEN: " + platform::SettingsFilePath()));
}

void TForm1::ChangeNetworkPath() {
  const std::optional<QString> path =
      Prompts().InputText(this, "Network Path", "Enter Complete Network path (\\\\Machine1\\C)", QString());
  if (!path || path->isEmpty())
    return;
  if (!QFileInfo(*path).isDir()) {
    Prompts().Message(this, "Network Path", "No such folder: " + *path + ". Check the path and that the share is mounted.");
    return;
  }
  const QModelIndex index = dirModel_->index(*path);
  lbDir->setCurrentIndex(index);
  lbFiles->setRootIndex(fileModel_->setRootPath(*path));
}

TCompilation TForm1::Rows() const {
  TCompilation rows;
  for (int i = 0; i < clBox->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = clBox->topLevelItem(i);
    rows.push_back({row->text(1).toStdString(), row->checkState(0) == Qt::Checked});
  }
  return rows;
}

bool TForm1::FillCompilation() {
  qnzb_->ResetLayout(600000, 20000);
  const TCompilation rows = Rows();
  if (rows.empty())
    Prompts().Message(this, Caption, msgSelectSomething);
  return qnzb::FillCompilation(*qnzb_, rows, Options.SavePath, Options.ArchiveOnly, Options.SessionToImport,
                               [](TQNZBurner& b, int16_t session) {
                                 b.ImportPreviousSession(static_cast<int8_t>(session), nullptr);
                               });
}

void TForm1::RefreshStatus() {
  if (qnzb_->Erasing) {
    pcd->setMaximum(100);
    pcd->setValue(qnzb_->EraseProgress());
    return;
  }
  const int64_t written = qnzb_->BytesWritten();
  const int64_t track = qnzb_->TrackLength();
  // The verify is a second pass: the bars start again from empty.
  lSize->setText(QString(qnzb_->Verifying() ? "Verify " : "") + Megabytes(static_cast<double>(written)) + "/" +
                 Megabytes(static_cast<double>(track) * 2048) + " MB");
  pBuf->setValue(qnzb_->JobActive() ? qnzb_->CacheFill() : 0);
  pcd->setMaximum(static_cast<int>(track));
  pcd->setValue(static_cast<int>(written / 2048));
  const uint32_t size = qnzb_->DeviceBufferSize, free = qnzb_->DeviceFreeBufferSize;
  if (size >= free)
    pHBuf->setValue(static_cast<int>(size - free));
}

void TForm1::SetJobControlsEnabled(bool enabled) {
  for (QWidget* control : std::initializer_list<QWidget*>{pTop, pTop2, bSaveISO, bBurnISO, DriveCB, bClear})
    control->setEnabled(enabled);
}

} // namespace qnzb::app
