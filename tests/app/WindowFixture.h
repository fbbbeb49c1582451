#pragma once
// What the desktop program's window tests share: questions answered by a
// script, and a main window over the virtual recorder of a scratch state
// folder, attached in-process as drive E:.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/MainWindow.h"
#include "app/Prompts.h"
#include "engine/device/Transport.h"
#include "platform/ScsiPassThrough.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "vdrive/Recorder.h"

namespace qnzb::app::test_support {

class TScriptedPrompts final : public TPrompts {
public:
  std::deque<bool> Answers;
  std::deque<std::optional<QString>> Texts;  // typed texts, chosen files and folders; nullopt cancels
  QStringList Messages;
  QStringList Questions;
  QStringList Presets;  // what each input box and folder choice started with
  bool Confirm(QWidget*, const QString& title, const QString&) override {
    Questions << title;
    return Take(Answers, false);
  }
  std::optional<QString> InputText(QWidget*, const QString&, const QString&, const QString& preset) override {
    Presets << preset;
    return Take(Texts, std::optional<QString>());
  }
  std::optional<QString> OpenFile(QWidget*, const QString&, const QString&) override {
    return Take(Texts, std::optional<QString>());
  }
  std::optional<QString> ChooseFolder(QWidget*, const QString&, const QString& start) override {
    Presets << start;
    return Take(Texts, std::optional<QString>());
  }
  void Message(QWidget*, const QString&, const QString& text) override { Messages << text; }

private:
  // The answer is moved into the result before it leaves the queue: a local
  // copy of an optional QString trips GCC's maybe-uninitialized at -O2.
  template <typename T> static T Take(std::deque<T>& queue, T none) {
    if (!queue.empty()) {
      none = std::move(queue.front());
      queue.pop_front();
    }
    return none;
  }
};

class TWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    CloseTransport();
    std::string error;
    recorder = vdrive::Recorder::Open(tmp.at("vdrive"), error);
    ASSERT_TRUE(recorder) << error;
    platform::TSimulatedDrive drive;
    drive.Device = recorder.get();
    drive.Address = platform::SCSI_ADDRESS{};
    ASSERT_TRUE(platform::AttachSimulatedDrive('E', drive));
    SetPrompts(&prompts);
  }
  void TearDown() override {
    form.reset();
    SetPrompts(nullptr);
    platform::DetachAllSimulatedDrives();
    CloseTransport();
  }
  TForm1& Open() {
    form = std::make_unique<TForm1>();
    form->show();
    Settle();
    return *form;
  }
  template <typename T> T* Find(const char* name) const { return form->findChild<T*>(name); }
  // Runs the window's event loop until `done` holds (20 s at most).
  static bool Until(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 20000) {
      QCoreApplication::processEvents();
      QThread::msleep(2);
    }
    return done();
  }
  // Runs `act` on the next modal dialog as soon as it shows (the caller then
  // opens it and waits in its exec()); `act` must close it.
  static void WhenModal(const std::function<void(QWidget*)>& act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
      if (QWidget* dialog = QApplication::activeModalWidget()) {
        poll->stop();
        poll->deleteLater();
        act(dialog);
      }
    });
    poll->start(5);
  }
  // Lets queued log lines arrive.
  static void Settle() {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 100)
      QCoreApplication::processEvents();
  }
  QStringList LogLines() const { return Find<QPlainTextEdit>("Memo1")->toPlainText().split('\n'); }
  bool Logged(const QString& line) const { return LogLines().contains(line); }
  bool LoggedStart(const QString& start) const {
    for (const QString& line : LogLines())
      if (line.startsWith(start))
        return true;
    return false;
  }
  void Insert(const char* kind) {
    Find<QComboBox>("cbMedium")->setCurrentText(kind);
    Find<QPushButton>("bInsertMedium")->click();
  }

  test::TempDir tmp;
  const test::TScopedEnv ini{"QNZB_INI", tmp.at("QNZB.ini")};
  const test::TScopedEnv vdriveDir{"QNZB_VDRIVE", tmp.at("vdrive")};
  const test::TScopedEnv drives{"QNZB_DRIVES", ""};
  TScriptedPrompts prompts;
  std::unique_ptr<vdrive::Recorder> recorder;
  std::unique_ptr<TForm1> form;
};

} // namespace qnzb::app::test_support
