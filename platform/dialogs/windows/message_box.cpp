// Message boxes on Windows: the system's own, texts from the program's
// string table.
#include "message_box.h"

#include "windows/wide_text.h"

namespace platform {

void ShowMessageBox(const std::string& title, const std::string& text, unsigned type) {
  ::MessageBoxW(::GetActiveWindow(), Wide(text).c_str(), Wide(title).c_str(), type);
}

std::string LoadResourceString(int stringId) {
  const wchar_t* text = nullptr;
  // With a length of 0 Windows gives the string in place, read-only.
  const int length = ::LoadStringW(::GetModuleHandleW(nullptr), static_cast<UINT>(stringId),
                                   reinterpret_cast<wchar_t*>(&text), 0);
  return length > 0 && text ? Narrow(std::wstring(text, static_cast<std::size_t>(length))) : "";
}

}  // namespace platform
