#pragma once

#include <string>

namespace lamptest {

// True when lo is the only network interface (a private namespace made by
// scripts/private-net), so nothing sent can leave the machine; otherwise
// says so on standard error.
bool InsidePrivateNetwork();

// A temporary folder for one test program's run, removed with what is in it
// at the end: testing::TempDir() and the programs it starts (TMPDIR) write
// there, not into the machine's /tmp.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

 private:
  std::string path_;
};

}  // namespace lamptest
