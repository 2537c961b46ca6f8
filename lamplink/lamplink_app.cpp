// The library's application object, its load-time start-up, and the export.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "lamplink.h"
#include "net/socket_layer.h"
#include "net/startup_message.h"
#include "net/winapp.h"
#include "tcp_exchange.h"

namespace lamplink {
namespace {

class LampLinkApp : public platform::CWinApp {
 public:
  // The socket layer is started for the whole process and held until unload.
  bool InitInstance() override {
    if (!platform::StartSocketLayer(platform::kSocketVersion11)) {
      platform::ShowStartupFailure("LampLink", platform::kSocketStartupFailedText);
      return false;
    }
    socketLayerHeld_ = true;
    return true;
  }

  int ExitInstance() override {
    if (socketLayerHeld_) platform::CleanupSocketLayer();
    socketLayerHeld_ = false;
    return 0;
  }

 private:
  bool socketLayerHeld_ = false;
};

LampLinkApp theApp;

#ifndef _WIN32
// The library's entry point, run when it is attached to a process and when it
// is detached. A library that cannot start refuses to load; the process
// cannot go on without it, so it ends the way a failed load of a needed
// library ends a program.
struct LibraryEntry {
  LibraryEntry() {
    if (!theApp.InitInstance()) _exit(127);
  }
  ~LibraryEntry() { theApp.ExitInstance(); }
};
LibraryEntry entry;  // after theApp: built after it, destroyed before it
#endif

}  // namespace
}  // namespace lamplink

#ifdef _WIN32
// On Windows the loader asks: a FALSE at attach refuses the load, and a
// program linked against the library does not start.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) return lamplink::theApp.InitInstance() ? TRUE : FALSE;
  if (reason == DLL_PROCESS_DETACH) lamplink::theApp.ExitInstance();
  return TRUE;
}
#endif

extern "C" LAMPLINK_API uint8_t LAMPLINK_CALL Tcp_Orvik_RW(int32_t port, const uint8_t* address,
                                                           uint8_t* frame) {
  frame[0] = frame[0] == 1 ? 'W' : 'R';
  std::error_code reason;
  if (lamplink::Tcp_Exchange(8, port, address, frame, reason)) return 1;
  // The reason for C callers, the system's way.
  platform::SetLastSocketError(reason);
  return 0;
}
