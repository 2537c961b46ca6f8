#include "private_network.h"

#include <net/if.h>

#include <cstdio>
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

}  // namespace lamptest
