// The programs of the build tree the tests run in. The tree is the folder
// above the running test program's own (tests/ or bench/), so the tests'
// code is the same in every tree and is compiled once for all of them.
#pragma once

#include <string>

namespace lamptest {

// The path of `relative` inside this build tree; stays valid to the end.
const char* InBuildTree(const std::string& relative);

// Whether what the tests drive was built with AddressSanitizer (the test's
// environment says: LAMPTEST_SANITIZED=1).
bool SanitizedTree();

}  // namespace lamptest

#define LAMPD_PATH ::lamptest::InBuildTree("lampd/lampd")
#define LAMPCTL_PATH ::lamptest::InBuildTree("lampctl/lampctl")
#define LAMPUNIT_PATH ::lamptest::InBuildTree("lampunit/lampunit")
#define LAMPSEND_PATH ::lamptest::InBuildTree("lamplink/lampsend")
#define LAMPPANEL_PATH ::lamptest::InBuildTree("lamppanel/lamppanel")
#define NETASSIGN_PATH ::lamptest::InBuildTree("netassign/netassign")
#define LAMPTOWER_PATH ::lamptest::InBuildTree("lamptower/lamptower")
#define WALL_CLOCK_SHIFT_PATH ::lamptest::InBuildTree("tests/libwall_clock_shift.so")
