// The application object of a program or library: one per module, built at
// start, whose InitInstance decides whether the module goes on.
#pragma once

namespace platform {

class CWinApp {
 public:
  // Becomes the current application object of its module (program or
  // library). `description` says in a sentence or two what the program is,
  // for its --help.
  explicit CWinApp(const char* appName = nullptr, const char* description = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // False ends the program once it returns: no event loop follows.
  virtual bool InitInstance() { return true; }
  // The program's exit status.
  virtual int ExitInstance() { return 0; }

  const char* AppName() const { return appName_; }
  const char* Description() const { return description_; }
  static CWinApp* Current();

 private:
  const char* appName_;
  const char* description_;
};

}  // namespace platform
