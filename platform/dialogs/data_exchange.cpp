#include "data_exchange.h"

#include <QAbstractButton>

#include "controls.h"
#include "dialog.h"

namespace platform {

void DDX_Control(CDataExchange& exchange, int id, CWnd& control) {
  if (!control.IsAttached()) control.Attach(exchange.dialog.GetDlgItem(id));
}

void DDX_Text(CDataExchange& exchange, int id, std::string& value) {
  if (exchange.saveAndValidate) {
    value = exchange.dialog.GetDlgItemText(id);
  } else {
    exchange.dialog.SetDlgItemText(id, value);
  }
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
