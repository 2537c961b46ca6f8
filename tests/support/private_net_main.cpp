// Test programs that open sockets run only inside a private network
// namespace (scripts/private-net): with no interface but lo, nothing can leave.
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!testing::GTEST_FLAG(list_tests)) {
    struct if_nameindex* interfaces = if_nameindex();
    for (struct if_nameindex* entry = interfaces; entry && entry->if_index != 0; ++entry) {
      if (std::string(entry->if_name) != "lo") {
        std::fprintf(stderr, "refusing to run: interface %s is present; run through scripts/private-net\n",
                     entry->if_name);
        return 3;
      }
    }
    if_freenameindex(interfaces);
  }
  return RUN_ALL_TESTS();
}
