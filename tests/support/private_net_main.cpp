// Test programs that open sockets run only inside a private network
// namespace (scripts/private-net): with no interface but lo, nothing can leave.
#include <gtest/gtest.h>

#include "private_network.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!testing::GTEST_FLAG(list_tests) && !lamptest::InsidePrivateNetwork()) return 3;
  const lamptest::ScratchFolder scratch;
  return RUN_ALL_TESTS();
}
