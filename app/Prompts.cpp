#include "app/Prompts.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace qnzb::app {

namespace {

class TDialogPrompts final : public TPrompts {
public:
  bool Confirm(QWidget* parent, const QString& title, const QString& text) override {
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  }
  std::optional<QString> InputText(QWidget* parent, const QString& title, const QString& label,
                                   const QString& preset) override {
    bool ok = false;
    const QString text = QInputDialog::getText(parent, title, label, QLineEdit::Normal, preset, &ok);
    return ok ? std::optional<QString>(text) : std::nullopt;
  }
  std::optional<QString> OpenFile(QWidget* parent, const QString& title, const QString& filter) override {
    const QString file = QFileDialog::getOpenFileName(parent, title, QString(), filter);
    return file.isEmpty() ? std::nullopt : std::optional<QString>(file);
  }
  std::optional<QString> OpenFileAt(QWidget* parent, const QString& title, const QString& filter,
                                    const QString& preset) override {
    const QString file = QFileDialog::getOpenFileName(parent, title, preset, filter);
    return file.isEmpty() ? std::nullopt : std::optional<QString>(file);
  }
  std::optional<QString> ChooseFolder(QWidget* parent, const QString& title, const QString& start) override {
    const QString folder = QFileDialog::getExistingDirectory(parent, title, start);
    return folder.isEmpty() ? std::nullopt : std::optional<QString>(folder);
  }
  void Message(QWidget* parent, const QString& title, const QString& text) override {
    QMessageBox::information(parent, title, text);
  }
};

TPrompts* installed = nullptr;

} // namespace

TPrompts& Prompts() {
  static TDialogPrompts dialogs;
  return installed ? *installed : dialogs;
}

void SetPrompts(TPrompts* prompts) { installed = prompts; }

} // namespace qnzb::app
