#include "data_exchange.h"

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

#include "controls.h"
#include "dialog.h"

namespace platform {

namespace {

// How much of the log the control shows, kept on the control itself.
constexpr char kLogShown[] = "lampLogShown";

}  // namespace

void DDX_LogText(CDataExchange& exchange, int id, std::string& log) {
  auto* edit = static_cast<QPlainTextEdit*>(exchange.dialog.GetDlgItem(id));
  QTextDocument* document = edit->document();
  const QVariant shownValue = edit->property(kLogShown);
  if (exchange.saveAndValidate) {
    log = exchange.dialog.GetDlgItemText(id);
  } else if (shownValue.isValid() && !document->isModified() &&
             log.size() >= shownValue.toULongLong()) {
    QString added = QString::fromStdString(log.substr(shownValue.toULongLong()));
    QTextCursor end(document);
    end.movePosition(QTextCursor::End);
    end.insertText(added.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  } else {
    // A log grows without end: no undo history for it.
    edit->setUndoRedoEnabled(false);
    exchange.dialog.SetDlgItemText(id, log);
  }
  // From here the control shows exactly the log.
  document->setModified(false);
  edit->setProperty(kLogShown, QVariant::fromValue<qulonglong>(log.size()));
}

void DDX_Radio(CDataExchange& exchange, int firstId, int& index) {
  const auto group = exchange.dialog.RadioGroup(firstId);
  if (exchange.saveAndValidate) {
    index = -1;
    for (std::size_t i = 0; i < group.size(); ++i) {
      auto* radio = static_cast<QAbstractButton*>(exchange.dialog.GetDlgItem(group[i]));
      if (radio->isChecked()) index = static_cast<int>(i);
    }
    return;
  }
  for (std::size_t i = 0; i < group.size(); ++i) {
    auto* radio = static_cast<QAbstractButton*>(exchange.dialog.GetDlgItem(group[i]));
    radio->setChecked(static_cast<int>(i) == index);
  }
}

}  // namespace platform
