// On Windows the library's start-up failure is a message box, exclamation
// icon and OK, as well as the line on standard error.
#include "net/startup_message.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace platform {
namespace {

std::wstring Wide(const char* text) {
  const int count = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring wide(count > 0 ? static_cast<std::size_t>(count) : 1, L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), count);
  return wide;
}

}  // namespace

void ShowStartupFailure(const char* title, const char* text) {
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
  // The text as the library's own string table holds it (string 101), where it has one.
  HMODULE module = nullptr;
  const wchar_t* own = nullptr;
  int length = 0;
  if (::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&ShowStartupFailure), &module)) {
    length = ::LoadStringW(module, kLibraryStartupFailedString, reinterpret_cast<LPWSTR>(&own), 0);
  }
  const std::wstring shown =
      length > 0 && own ? std::wstring(own, static_cast<std::size_t>(length)) : Wide(text);
  ::MessageBoxW(nullptr, shown.c_str(), Wide(title).c_str(), MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace platform
