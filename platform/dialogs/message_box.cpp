#include "message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "dialog_font.h"
#include "display.h"
#include "net/winapp.h"

namespace platform {

void ShowMessageBox(const std::string& title, const std::string& text, unsigned type) {
  if (!DisplayAvailable()) return;
  // A library's start-up runs before the program has made its application.
  std::unique_ptr<QApplication> made;
  if (!QApplication::instance()) {
    static int argc = 1;
    static char name[] = "lamp";
    static char* argv[] = {name, nullptr};
    // The text is on standard error already; a display that cannot be
    // reached ends the program as a failed library load would.
    PrepareDisplay(title, 127);
    made = std::make_unique<QApplication>(argc, argv);
    DisplayPrepared();
    RegisterDialogFontSubstitutes();
  }
  QMessageBox box((type & MB_ICONEXCLAMATION) ? QMessageBox::Warning : QMessageBox::NoIcon,
                  QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok);
  QFont font(QStringLiteral("굴림"));
  font.setPointSize(9);
  box.setFont(font);
  box.exec();
}

}  // namespace platform
