// Drives a dialog the way a person does: real mouse clicks and key presses
// on its controls, found by their ids.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QTest>
#include <string>
#include <vector>

#include "dialogs/dialog.h"

namespace lamptest {

inline void Click(platform::CDialog& dialog, int id) {
  QWidget* control = dialog.GetDlgItem(id);
  QTest::mouseClick(control, Qt::LeftButton, Qt::NoModifier, control->rect().center());
  QApplication::processEvents();
}

// Makes the dialog the active window, as a window manager would on opening.
inline bool Activate(platform::CDialog& dialog) {
  dialog.Window()->activateWindow();
  return QTest::qWaitForWindowActive(dialog.Window());
}

inline void Key(platform::CDialog& dialog, Qt::Key key) {
  QWidget* focus = dialog.Window()->focusWidget();
  QWidget* target = focus ? focus : dialog.Window();
  QTest::keyClick(target, key);
  QApplication::processEvents();
}

// Replaces the text of an edit box by typing, as a person would.
inline void Type(platform::CDialog& dialog, int id, const QString& text) {
  auto* edit = static_cast<QLineEdit*>(dialog.GetDlgItem(id));
  edit->setFocus(Qt::MouseFocusReason);
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, text);
  QApplication::processEvents();
}

// Types into whatever holds the focus, key by key, as focus moves.
inline void TypeKeys(platform::CDialog& dialog, const QString& text) {
  for (QChar c : text) {
    QWidget* focus = dialog.Window()->focusWidget();
    QTest::keyClick(focus ? focus : dialog.Window(), c.toLatin1());
  }
  QApplication::processEvents();
}

// The id of the control holding the focus, or -1.
inline int FocusedId(platform::CDialog& dialog) {
  QWidget* focus = dialog.Window()->focusWidget();
  for (const auto& control : dialog.Template().controls) {
    QWidget* widget = dialog.GetDlgItem(control.id);
    if (widget && (widget == focus || widget->isAncestorOf(focus))) return control.id;
  }
  return -1;
}

// Lines of a status box text, split at CR LF.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return lines;
    start = end + 2;
  }
}

}  // namespace lamptest
