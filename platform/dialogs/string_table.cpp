// The string table of our programs where there are no Windows resources:
// the same texts the Windows programs carry as strings 101 and 103.
#include "message_box.h"
#include "net/startup_message.h"

namespace platform {

std::string LoadResourceString(int stringId) {
  switch (stringId) {
    case kLibraryStartupFailedString:
    case kProgramStartupFailedString:
      return kSocketStartupFailedText;
    default:
      return "";
  }
}

}  // namespace platform
