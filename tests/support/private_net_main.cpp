// Test programs that open sockets run only inside a private network
// namespace (scripts/private-net): with no interface but lo, nothing can leave.
#include <gtest/gtest.h>

#include <cstdio>

#include "lamp_unit_process.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string other;
  if (!testing::GTEST_FLAG(list_tests) && !lamptest::OnlyLoopbackPresent(other)) {
    std::fprintf(stderr, "refusing to run: interface %s is present; run through scripts/private-net\n",
                 other.c_str());
    return 3;
  }
  return RUN_ALL_TESTS();
}
