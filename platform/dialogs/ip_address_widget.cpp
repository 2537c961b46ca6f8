#include "ip_address_widget.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpressionValidator>

#include "qt_child.h"

namespace platform {
namespace {

class OctetField : public QLineEdit {
 public:
  OctetField(int index, IpAddressWidget* owner) : QLineEdit(owner), owner_(owner), index_(index) {
    setFrame(false);
    setAlignment(Qt::AlignCenter);
    setMaxLength(3);
    setValidator(MakeChild<QRegularExpressionValidator>(
        this, QRegularExpression(QStringLiteral("[0-9]{0,3}"))));
    // Numbers above 255 become 255, as the control allows no more.
    connect(this, &QLineEdit::editingFinished, this, [this] { ClampToByte(); });
    connect(this, &QLineEdit::textEdited, this, [this](const QString& text) {
      if (text.size() == 3) {
        ClampToByte();
        MoveTo(index_ + 1);
      }
    });
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    // '.' ends the number being typed. In a field just entered (empty, or
    // its old number all selected, as after three digits moved on into it)
    // it ends nothing: typing a whole address over an old one goes field by field.
    if (event->key() == Qt::Key_Period) {
      if (!text().isEmpty() && selectedText() != text()) MoveTo(index_ + 1);
      return;
    }
    if (event->key() == Qt::Key_Backspace && text().isEmpty() && index_ > 0) {
      MoveTo(index_ - 1);
      return;
    }
    QLineEdit::keyPressEvent(event);
  }

 private:
  void ClampToByte() {
    if (!text().isEmpty() && text().toInt() > 255) setText(QStringLiteral("255"));
  }
  void MoveTo(int index) {
    if (index < 0 || index > 3) return;
    owner_->Field(index)->setFocus(Qt::OtherFocusReason);
    owner_->Field(index)->selectAll();
  }

  IpAddressWidget* owner_;
  int index_;
};

}  // namespace

IpAddressWidget::IpAddressWidget(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  auto* row = MakeChild<QHBoxLayout>(this);
  row->setContentsMargins(2, 0, 2, 0);
  row->setSpacing(0);
  for (int i = 0; i < 4; ++i) {
    fields_[i] = MakeChild<OctetField>(this, i);
    // The control is one tab stop: Tab enters the first field and leaves from it.
    if (i > 0) fields_[i]->setFocusPolicy(Qt::ClickFocus);
    row->addWidget(fields_[i], 1);
    if (i < 3) row->addWidget(MakeChild<QLabel>(this, QStringLiteral(".")));
  }
  setFocusProxy(fields_[0]);
}

int IpAddressWidget::GetAddress(std::array<std::uint8_t, 4>& address) const {
  int filled = 0;
  for (int i = 0; i < 4; ++i) {
    const QString text = fields_[i]->text();
    address[i] = text.isEmpty() ? 0 : static_cast<std::uint8_t>(std::min(text.toInt(), 255));
    if (!text.isEmpty()) ++filled;
  }
  return filled;
}

void IpAddressWidget::SetAddress(const std::array<std::uint8_t, 4>& address) {
  for (int i = 0; i < 4; ++i) fields_[i]->setText(QString::number(address[i]));
}

void IpAddressWidget::ClearAddress() {
  for (QLineEdit* field : fields_) field->clear();
}

bool IpAddressWidget::IsBlank() const {
  for (QLineEdit* field : fields_) {
    if (!field->text().isEmpty()) return false;
  }
  return true;
}

}  // namespace platform
