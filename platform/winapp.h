// The application object of a program or library: one per module, built at
// start, whose InitInstance decides whether the module goes on.
#pragma once

namespace platform {

class CWinApp {
 public:
  constexpr CWinApp() = default;
  virtual ~CWinApp() = default;
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual bool InitInstance() { return true; }
  virtual int ExitInstance() { return 0; }
};

}  // namespace platform
