#include "private_network.h"

#include <net/if.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace lamptest {

bool InsidePrivateNetwork() {
  struct if_nameindex* interfaces = if_nameindex();
  bool onlyLoopback = interfaces != nullptr;
  for (struct if_nameindex* entry = interfaces; entry && entry->if_index != 0; ++entry) {
    if (std::string(entry->if_name) != "lo") {
      std::fprintf(stderr,
                   "refusing to run: interface %s is present; run through scripts/private-net\n",
                   entry->if_name);
      onlyLoopback = false;
      break;
    }
  }
  if (interfaces) if_freenameindex(interfaces);
  return onlyLoopback;
}

ScratchFolder::ScratchFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/lamptest-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return;  // the tests then write to /tmp
  path_ = pattern;
  ::setenv("TEST_TMPDIR", (path_ + "/").c_str(), 1);
  ::setenv("TMPDIR", path_.c_str(), 1);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace lamptest
