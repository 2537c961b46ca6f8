// The command lines' text rules in process: which units an address or range
// names, and which frame `lampctl set`'s assignments make. What a bad one
// does to the program (exit 2, the usage) is pinned by the process tests.
#include <gtest/gtest.h>

#include "lampctl/lamp_commands.h"
#include "protocol/unit_address.h"

namespace {

using protocol::UnitAddress;

std::vector<std::string> Texts(const std::vector<UnitAddress>& units) {
  std::vector<std::string> texts;
  for (const UnitAddress& unit : units) texts.push_back(unit.Text());
  return texts;
}

TEST(UnitText, AddressesPortsAndRanges) {
  struct Case {
    const char* text;
    bool range;
    std::vector<std::string> units;  // empty: refused
  };
  const Case cases[] = {
      {"192.168.10.200", false, {"192.168.10.200:20000"}},
      {"192.168.10.200:502", false, {"192.168.10.200:502"}},
      {"10.0.0.253-255:502", true, {"10.0.0.253:502", "10.0.0.254:502", "10.0.0.255:502"}},
      {"10.0.0.7-7", true, {"10.0.0.7:20000"}},
      {"10.0.0.7-7", false, {}},  // a range only where one is taken
      {"10.0.0.8-7", true, {}},
      {"10.0.0.1-256", true, {}},
      {"10.0.0.1:020000", false, {}},  // no leading zeros
      {"10.0.0.1:", false, {}},
      {"10.0.0.1:0", false, {}},
      {"10.0.0.1:65536", false, {}},
      {"10.0.0.01", false, {}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    std::vector<UnitAddress> units;
    std::string error;
    const bool parsed = protocol::ParseUnit(c.text, c.range, units, error);
    EXPECT_EQ(parsed, !c.units.empty()) << c.text;
    EXPECT_EQ(Texts(units), c.units) << c.text;
    EXPECT_EQ(error.empty(), parsed) << c.text;
  }
}

TEST(SetAssignments, MakeOneWriteOfWhatIsNamed) {
  std::string error;
  const auto codes = lampctl::ParseAssignments({"white=blink", "red=on", "sound=3"}, error);
  ASSERT_TRUE(codes) << error;
  constexpr std::uint8_t D = protocol::kLeaveUnchanged;
  EXPECT_EQ(protocol::WriteRequest(6, *codes), (protocol::LampFrame{'W', 6, 1, D, D, D, 2, 3}));
  EXPECT_EQ(*lampctl::ParseAssignments({"sound=off", "green=off"}, error),
            (protocol::LampCodes{D, D, 0, D, D, 0}));

  for (const auto& refused : std::vector<std::vector<std::string>>{
           {"red=on", "red=off"}, {"sound=1", "sound=off"}, {"Red=on"}, {"red"}, {"sound=0"}}) {
    error.clear();
    EXPECT_FALSE(lampctl::ParseAssignments(refused, error)) << refused[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
