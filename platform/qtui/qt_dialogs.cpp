#include "platform/qtui/qt_dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QPushButton>
#include <algorithm>

#include "platform/core/error.h"

namespace qtui {

namespace {

QMessageBox::StandardButton ButtonOf(int result) {
  switch (result) {
    case ui::vbOK:
      return QMessageBox::Ok;
    case ui::vbCancel:
      return QMessageBox::Cancel;
    case ui::vbAbort:
      return QMessageBox::Abort;
    case ui::vbRetry:
      return QMessageBox::Retry;
    case ui::vbIgnore:
      return QMessageBox::Ignore;
    case ui::vbYes:
      return QMessageBox::Yes;
    case ui::vbNo:
      return QMessageBox::No;
    default:
      return QMessageBox::NoButton;
  }
}

QMessageBox::Icon IconOf(int icon) {
  switch (icon) {
    case ui::vbCritical:
      return QMessageBox::Critical;
    case ui::vbQuestion:
      return QMessageBox::Question;
    case ui::vbExclamation:
      return QMessageBox::Warning;
    case ui::vbInformation:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

// The answer of a box dismissed without a button: its safest choice.
int SafeResult(const std::vector<int>& results) {
  for (int r : {ui::vbCancel, ui::vbNo, ui::vbAbort, ui::vbOK}) {
    if (std::find(results.begin(), results.end(), r) != results.end()) return r;
  }
  return results.front();
}

}  // namespace

int ResultOf(int standard_button, int fallback) {
  switch (standard_button) {
    case QMessageBox::Ok:
      return ui::vbOK;
    case QMessageBox::Cancel:
      return ui::vbCancel;
    case QMessageBox::Abort:
      return ui::vbAbort;
    case QMessageBox::Retry:
      return ui::vbRetry;
    case QMessageBox::Ignore:
      return ui::vbIgnore;
    case QMessageBox::Yes:
      return ui::vbYes;
    case QMessageBox::No:
      return ui::vbNo;
    default:
      return fallback;
  }
}

std::unique_ptr<QMessageBox> MakeMessageBox(const ui::MessageBox& box, QWidget* parent) {
  const std::vector<int> results = ui::ButtonResults(box.style);
  if (results.empty()) {
    throw core::RuntimeError(
        core::err::kInvalidProcedureCall,
        "Invalid procedure call (message box style " + std::to_string(box.style) + ")");
  }
  auto dialog = std::make_unique<QMessageBox>(parent);
  dialog->setTextFormat(Qt::PlainText);
  dialog->setText(QString::fromStdString(box.prompt));
  dialog->setWindowTitle(box.title.empty() ? QCoreApplication::applicationName()
                                           : QString::fromStdString(box.title));
  dialog->setIcon(IconOf(box.Icon()));
  QMessageBox::StandardButtons buttons;
  for (int r : results) buttons |= ButtonOf(r);
  dialog->setStandardButtons(buttons);
  const std::size_t default_index = static_cast<std::size_t>(box.DefaultButton() >> 8);
  if (default_index < results.size()) {
    dialog->setDefaultButton(ButtonOf(results[default_index]));
  }
  const int safe = SafeResult(results);
  if (safe == ui::vbCancel || safe == ui::vbNo || safe == ui::vbOK || results.size() == 1) {
    dialog->setEscapeButton(ButtonOf(safe));
  }
  return dialog;
}

QtDialogs::QtDialogs() : runner_([](QMessageBox& box) { return box.exec(); }) {}

int QtDialogs::MsgBox(const ui::MessageBox& box) {
  std::unique_ptr<QMessageBox> dialog = MakeMessageBox(box, QApplication::activeWindow());
  const int fallback = SafeResult(ui::ButtonResults(box.style));
  // An hourglass over the whole program would make the box look busy too.
  const bool busy = QGuiApplication::overrideCursor() != nullptr;
  if (busy) QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
  struct Restore {
    bool on;
    ~Restore() {
      if (on) QGuiApplication::restoreOverrideCursor();
    }
  } restore{busy};
  const int pressed = runner_(*dialog);
  // exec() returns the pressed standard button; clickedButton() covers runners
  // that click a button and return nothing useful.
  int result = ResultOf(pressed, 0);
  if (result == 0 && dialog->clickedButton() != nullptr) {
    result = ResultOf(dialog->standardButton(dialog->clickedButton()), 0);
  }
  return result == 0 ? fallback : result;
}

}  // namespace qtui
