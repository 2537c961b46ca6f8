#include "protocol/lamp_frame.h"

#include <gtest/gtest.h>

namespace {

using protocol::BuildLampFrame;
using protocol::DecodeStatusWords;
using protocol::LampFrame;

constexpr std::uint8_t D = 0x64;

TEST(LampFrameBuild, EachCommandGivesItsFrame) {
  // lamp, value, model, read, reset -> frame as built (byte 0 before the wire rewrite)
  EXPECT_EQ(BuildLampFrame(0, 1, 0, false, false), (LampFrame{1, 0, 1, D, D, D, D, D}));
  EXPECT_EQ(BuildLampFrame(2, 2, 3, false, false), (LampFrame{1, 3, D, D, 2, D, D, D}));
  EXPECT_EQ(BuildLampFrame(4, 2, 0, false, false), (LampFrame{1, 0, D, D, D, D, 2, D}));
  EXPECT_EQ(BuildLampFrame(1, 0, 7, false, false), (LampFrame{1, 7, D, 0, D, D, D, D}));
  EXPECT_EQ(BuildLampFrame(5, 5, 2, false, false), (LampFrame{1, 2, D, D, D, D, D, 5}));
  EXPECT_EQ(BuildLampFrame(5, 0, 2, false, false), (LampFrame{1, 2, D, D, D, D, D, 0}));
  EXPECT_EQ(BuildLampFrame(0, 0, 1, true, false), (LampFrame{0, 1, 0, D, D, D, D, D}));
}

TEST(LampFrameBuild, ResetTurnsEverythingOffWhateverTheCommand) {
  EXPECT_EQ(BuildLampFrame(0, 0, 6, false, true), (LampFrame{1, 6, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(BuildLampFrame(3, 2, 6, false, true), (LampFrame{1, 6, 0, 0, 0, 0, 0, 0}));
}

TEST(LampFrameBuild, OnlyLowEightBitsOfValueAndModelCount) {
  EXPECT_EQ(BuildLampFrame(0, 0x101, 0x107, false, false), (LampFrame{1, 7, 1, D, D, D, D, D}));
  // A lamp number past the sound lands nowhere rather than outside the frame.
  EXPECT_EQ(BuildLampFrame(9, 1, 0, false, false), (LampFrame{1, 0, D, D, D, D, D, D}));
}

TEST(LampFrameDecode, WordsFollowEachByte) {
  EXPECT_EQ(DecodeStatusWords({'R', 0, 1, 0, 2, 0, 0, 3}), "R-ON/Y-OF/G-BL/B-OF/W-OF/(S)-ON/");
  EXPECT_EQ(DecodeStatusWords({'R', 0, 0, 0, 0, 0, 0, 0}), "R-OF/Y-OF/G-OF/B-OF/W-OF/(S)-OF/");
  EXPECT_EQ(DecodeStatusWords({'R', 0, D, 1, 1, 1, 1, D}), "R-BL/Y-ON/G-ON/B-ON/W-ON/(S)-ON/");
  EXPECT_EQ(DecodeStatusWords({'R', 0, 255, 255, 255, 255, 255, 1}),
            "R-BL/Y-BL/G-BL/B-BL/W-BL/(S)-ON/");
}

TEST(LampFrameDecode, UnansweredReadDecodesTheRequest) {
  LampFrame request = BuildLampFrame(0, 0, 0, true, false);
  request[0] = 'R';
  EXPECT_EQ(DecodeStatusWords(request), "R-OF/Y-BL/G-BL/B-BL/W-BL/(S)-ON/");

  // A 4-byte reply: red and yellow from the unit, the rest still the request.
  LampFrame merged = request;
  const std::uint8_t reply[4] = {'R', 0, 1, 1};
  std::copy(reply, reply + 4, merged.begin());
  EXPECT_EQ(DecodeStatusWords(merged), "R-ON/Y-ON/G-BL/B-BL/W-BL/(S)-ON/");
}

}  // namespace
