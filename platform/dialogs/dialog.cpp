#include "dialog.h"

#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

#include "data_exchange.h"
#include "dialog_font.h"
#include "template_controls.h"

namespace platform {

// The Qt window behind a CDialog; it hands keys, closing and painting to it.
class DialogWindow : public QDialog {
 public:
  explicit DialogWindow(CDialog& owner)
      : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                             Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
        owner_(owner) {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    // Enter reaches here when no push button has the focus (a focused push
    // button presses itself): the framework's OK. Esc is its Cancel.
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
      if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        owner_.OnCommandMessage(IDOK);
        return;
      }
      if (event->key() == Qt::Key_Escape) {
        owner_.OnCommandMessage(IDCANCEL);
        return;
      }
    }
    QDialog::keyPressEvent(event);
  }
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    owner_.OnCommandMessage(IDCANCEL);
  }
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    CPaintDC dc(painter);
    owner_.OnPaint(dc);
  }

 private:
  CDialog& owner_;
};

CDialog::CDialog(const DialogTemplate& dialogTemplate) : template_(dialogTemplate) {}

CDialog::~CDialog() = default;

QDialog* CDialog::Window() const { return window_.get(); }

void CDialog::BuildWindow() {
  window_ = std::make_unique<DialogWindow>(*this);
  window_->setWindowTitle(QString::fromUtf8(template_.caption));
  QFont font(QString::fromUtf8(template_.fontName));
  font.setPointSize(template_.fontPoints);
  window_->setFont(font);
  const BaseUnits base = DialogBaseUnits(window_->font());
  window_->setFixedSize(DialogUnitsToPixelsX(template_.width, base),
                        DialogUnitsToPixelsY(template_.height, base));

  QWidget* previousTabStop = nullptr;
  std::vector<int> radioGroup;  // of the radio button being made
  for (const DialogControl& control : template_.controls) {
    if (control.styles & kGroup) radioGroup.clear();  // a group mark ends the group before it
    QWidget* widget = MakeControl(control, window_.get());
    const int x = DialogUnitsToPixelsX(control.rect.x, base);
    const int y = DialogUnitsToPixelsY(control.rect.y, base);
    int width = DialogUnitsToPixelsX(control.rect.x + control.rect.width, base) - x;
    int height = DialogUnitsToPixelsY(control.rect.y + control.rect.height, base) - y;
    // A drop-down list's template height is that of its open list.
    if (control.kind == ControlKind::kComboBox) height = widget->sizeHint().height();
    // Our radio mark is wider than the classic one; never cut the caption short.
    if (control.kind == ControlKind::kRadioButton)
      width = std::max(width, widget->sizeHint().width());
    widget->setGeometry(x, y, width, std::max(height, 1));
    if (control.styles & kDisabled) widget->setEnabled(false);

    if (!TakesFocus(control.kind)) {
      widget->setFocusPolicy(Qt::NoFocus);
    } else if (control.styles & kTabStop) {
      widget->setFocusPolicy(Qt::StrongFocus);
      if (previousTabStop) QWidget::setTabOrder(previousTabStop, widget);
      previousTabStop = widget;
    } else {
      widget->setFocusPolicy(Qt::ClickFocus);
    }
    // Group boxes and frames lie under the controls they frame.
    if (control.kind == ControlKind::kGroupBox || control.kind == ControlKind::kBlackFrame) {
      widget->lower();
    }

    if (control.id != kNoId) controls_[control.id] = widget;
    const int id = control.id;
    if (IsPushButton(control.kind)) {
      auto* button = static_cast<QPushButton*>(widget);
      QObject::connect(button, &QPushButton::clicked, window_.get(),
                       [this, id] { OnCommandMessage(id); });
    } else if (control.kind == ControlKind::kRadioButton) {
      if (radioGroup.empty()) radioGroup = RadioGroup(id);
      auto* radio = static_cast<QRadioButton*>(widget);
      QObject::connect(radio, &QRadioButton::clicked, window_.get(), [this, id, radioGroup] {
        for (int member : radioGroup) {
          if (member != id) static_cast<QRadioButton*>(GetDlgItem(member))->setChecked(false);
        }
        OnCommandMessage(id);
      });
    }
  }
}

void CDialog::Create() {
  BuildWindow();
  const bool focusDefault = OnInitDialog();
  window_->show();
  window_->activateWindow();
  if (focusDefault) FocusFirstTabStop();
}

int CDialog::DoModal() {
  Create();
  return window_->exec();
}

void CDialog::EndDialog(int result) { window_->done(result); }

void CDialog::FocusFirstTabStop() {
  for (const DialogControl& control : template_.controls) {
    QWidget* widget = GetDlgItem(control.id);
    if (widget && (control.styles & kTabStop) && widget->isEnabled() &&
        widget->focusPolicy() != Qt::NoFocus) {
      widget->setFocus(Qt::TabFocusReason);
      return;
    }
  }
}

void CDialog::OnPaint(CPaintDC&) {}

void CDialog::DrawIconCentred(CPaintDC& dc, const CIcon& icon) const {
  const int iconSize = QApplication::style()->pixelMetric(QStyle::PM_LargeIconSize);
  const QRect client = window_->rect();
  const int x = (client.width() - iconSize + 1) / 2;
  const int y = (client.height() - iconSize + 1) / 2;
  icon.Icon().paint(&dc.Painter(), x, y, iconSize, iconSize);
}

QWidget* CDialog::GetDlgItem(int id) const {
  auto found = controls_.find(id);
  return found == controls_.end() ? nullptr : found->second;
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
  QWidget* widget = GetDlgItem(id);
  QString value = QString::fromStdString(text);
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
    edit->setPlainText(value.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
    line->setText(value);
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(value);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(value);
  } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
    box->setTitle(value);
  }
}

std::string CDialog::GetDlgItemText(int id) const {
  QWidget* widget = GetDlgItem(id);
  QString value;
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
    value = edit->toPlainText().replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
    value = line->text();
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    value = label->text();
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    value = button->text();
  } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
    value = box->title();
  }
  return value.toStdString();
}

void CDialog::SetIcon(const CIcon& icon, bool) { window_->setWindowIcon(icon.Icon()); }

bool CDialog::IsIconic() const { return window_ && window_->isMinimized(); }

}  // namespace platform
