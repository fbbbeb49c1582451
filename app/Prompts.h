#pragma once
// The window's questions, input boxes, file dialogs and messages, behind one
// seam: the program shows them as dialogs, tests answer them without a
// person (no dialog ever opens while a test runs unattended).

#include <QString>

#include <optional>

class QWidget;

namespace qnzb::app {

class TPrompts {
public:
  virtual ~TPrompts() = default;
  // A Yes/No question; true for Yes.
  virtual bool Confirm(QWidget* parent, const QString& title, const QString& text) = 0;
  // An input box preset with `preset`; nullopt when cancelled.
  virtual std::optional<QString> InputText(QWidget* parent, const QString& title, const QString& label,
                                           const QString& preset) = 0;
  // A file to open (`filter` as Qt's file dialogs take it); nullopt when cancelled.
  virtual std::optional<QString> OpenFile(QWidget* parent, const QString& title, const QString& filter) = 0;
  // The same, preset with the file `preset` (empty: none). Answered as
  // OpenFile unless overridden.
  virtual std::optional<QString> OpenFileAt(QWidget* parent, const QString& title, const QString& filter,
                                            const QString& preset) {
    (void)preset;
    return OpenFile(parent, title, filter);
  }
  // A folder to choose, starting at `start`; nullopt when cancelled.
  virtual std::optional<QString> ChooseFolder(QWidget* parent, const QString& title, const QString& start) = 0;
  // A message with an OK button.
  virtual void Message(QWidget* parent, const QString& title, const QString& text) = 0;
};

// The prompts in use: Qt's dialogs unless SetPrompts installed others.
TPrompts& Prompts();
// Installs `prompts` (not owned; nullptr: back to the dialogs).
void SetPrompts(TPrompts* prompts);

} // namespace qnzb::app
