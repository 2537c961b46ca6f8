// Dialog tests: a Qt application on the offscreen platform, inside a
// private network namespace (scripts/private-net).
#include <gtest/gtest.h>

#include <QApplication>

#include "dialogs/dialog_font.h"
#include "private_network.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!testing::GTEST_FLAG(list_tests) && !lamptest::InsidePrivateNetwork()) return 3;
  const lamptest::ScratchFolder scratch;
  QApplication application(argc, argv);
  platform::RegisterDialogFontSubstitutes();
  return RUN_ALL_TESTS();
}
