// Dialog tests: a Qt application on the offscreen platform, inside a
// private network namespace (scripts/private-net).
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>

#include "dialog_font.h"
#include "lamp_unit_process.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string other;
  if (!testing::GTEST_FLAG(list_tests) && !lamptest::OnlyLoopbackPresent(other)) {
    std::fprintf(stderr, "refusing to run: interface %s is present; run through scripts/private-net\n",
                 other.c_str());
    return 3;
  }
  QApplication application(argc, argv);
  platform::RegisterDialogFontSubstitutes();
  return RUN_ALL_TESTS();
}
