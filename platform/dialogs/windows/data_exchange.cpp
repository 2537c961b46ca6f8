// Field exchange on Windows: the controls' texts and checks by message.
#include "data_exchange.h"

#include "controls.h"
#include "dialog.h"
#include "windows/wide_text.h"

namespace platform {
namespace {

// How much of the log the control shows, kept on the control itself.
constexpr wchar_t kLogShown[] = L"lampLogShown";

}  // namespace

void DDX_LogText(CDataExchange& exchange, int id, std::string& log) {
  HWND edit = exchange.dialog.GetDlgItem(id);
  if (exchange.saveAndValidate) {
    log = exchange.dialog.GetDlgItemText(id);
    return;
  }
  const auto shown = reinterpret_cast<std::size_t>(::GetPropW(edit, kLogShown));
  const bool edited = ::SendMessageW(edit, EM_GETMODIFY, 0, 0) != 0;
  if (shown > 0 && !edited && log.size() >= shown) {
    // What the log gained, at the end.
    const int end = ::GetWindowTextLengthW(edit);
    ::SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
    ::SendMessageW(edit, EM_REPLACESEL, FALSE,
                   reinterpret_cast<LPARAM>(Wide(log.substr(shown)).c_str()));
  } else {
    exchange.dialog.SetDlgItemText(id, log);
  }
  ::SendMessageW(edit, EM_SETMODIFY, FALSE, 0);
  ::SetPropW(edit, kLogShown, reinterpret_cast<HANDLE>(log.size()));
}

void DDX_Radio(CDataExchange& exchange, int firstId, int& index) {
  const auto group = exchange.dialog.RadioGroup(firstId);
  if (exchange.saveAndValidate) {
    index = -1;
    for (std::size_t i = 0; i < group.size(); ++i) {
      if (::SendMessageW(exchange.dialog.GetDlgItem(group[i]), BM_GETCHECK, 0, 0) == BST_CHECKED) {
        index = static_cast<int>(i);
      }
    }
    return;
  }
  for (std::size_t i = 0; i < group.size(); ++i) {
    ::SendMessageW(exchange.dialog.GetDlgItem(group[i]), BM_SETCHECK,
                   static_cast<int>(i) == index ? BST_CHECKED : BST_UNCHECKED, 0);
  }
}

}  // namespace platform
