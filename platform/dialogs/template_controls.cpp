// The widget of each kind of template control.
#include "template_controls.h"

#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include "ip_address_widget.h"
#include "qt_child.h"

namespace platform {
namespace {

// A radio button whose whole template rectangle takes the click, that stays
// selected when clicked again, and whose group the dialog keeps exclusive.
class RadioButton : public QRadioButton {
 public:
  using QRadioButton::QRadioButton;

 protected:
  bool hitButton(const QPoint& position) const override { return rect().contains(position); }
  void nextCheckState() override { setChecked(true); }
};

// The multi-line edit box: Tab moves on to the next control and Enter goes
// to the dialog (its default button), as in a box without want-return.
class MultiLineEdit : public QPlainTextEdit {
 public:
  explicit MultiLineEdit(QWidget* parent) : QPlainTextEdit(parent) { setTabChangesFocus(true); }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      event->ignore();
      return;
    }
    QPlainTextEdit::keyPressEvent(event);
  }
};

}  // namespace

QWidget* MakeControl(const DialogControl& control, QWidget* parent) {
  const QString text = QString::fromUtf8(control.text ? control.text : "");
  switch (control.kind) {
    case ControlKind::kPushButton:
    case ControlKind::kBitmapButton:
      return MakeChild<QPushButton>(parent, text);
    case ControlKind::kDefPushButton: {
      auto* button = MakeChild<QPushButton>(parent, text);
      button->setDefault(true);
      return button;
    }
    case ControlKind::kGroupBox: {
      auto* box = MakeChild<QGroupBox>(parent, text);
      box->setAttribute(Qt::WA_TransparentForMouseEvents);
      return box;
    }
    case ControlKind::kStatic: {
      auto* label = MakeChild<QLabel>(parent, text);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      if (control.styles & kSunken) label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      return label;
    }
    case ControlKind::kBlackFrame: {
      auto* frame = MakeChild<QFrame>(parent);
      frame->setAutoFillBackground(true);
      QPalette palette = frame->palette();
      palette.setColor(QPalette::Window, Qt::black);
      frame->setPalette(palette);
      return frame;
    }
    case ControlKind::kEdit: {
      if (control.styles & kMultiLine) {
        auto* edit = MakeChild<MultiLineEdit>(parent);
        edit->setPlainText(text);
        edit->setVerticalScrollBarPolicy((control.styles & kVScroll) ? Qt::ScrollBarAlwaysOn
                                                                     : Qt::ScrollBarAlwaysOff);
        if (!(control.styles & kBorder)) edit->setFrameShape(QFrame::NoFrame);
        return edit;
      }
      auto* edit = MakeChild<QLineEdit>(parent, text);
      edit->setFrame(control.styles & kBorder);
      edit->setAlignment((control.styles & kRightAlign) ? Qt::AlignRight : Qt::AlignLeft);
      return edit;
    }
    case ControlKind::kRadioButton:
      return MakeChild<RadioButton>(parent, text);
    case ControlKind::kIPAddress:
      return MakeChild<IpAddressWidget>(parent);
    case ControlKind::kComboBox: {
      auto* combo = MakeChild<QComboBox>(parent);
      combo->setProperty("sorted", (control.styles & kSorted) != 0);
      return combo;
    }
  }
  return nullptr;
}

bool IsPushButton(ControlKind kind) {
  return kind == ControlKind::kPushButton || kind == ControlKind::kDefPushButton ||
         kind == ControlKind::kBitmapButton;
}

bool TakesFocus(ControlKind kind) {
  return IsPushButton(kind) || kind == ControlKind::kEdit || kind == ControlKind::kRadioButton ||
         kind == ControlKind::kIPAddress || kind == ControlKind::kComboBox;
}

}  // namespace platform
