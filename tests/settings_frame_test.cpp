#include "protocol/settings_frame.h"

#include <gtest/gtest.h>

#include "netassign/settings_fields.h"
#include "protocol/text_format.h"

namespace {

using namespace protocol;
using namespace netassign;

SettingsFields SampleFields() {
  SettingsFields fields;
  fields.macText = "0.80.194.1.2.255";
  fields.ipAddress = {192, 168, 0, 20};
  fields.subnetMask = {255, 255, 255, 0};
  fields.gateway = {192, 168, 0, 1};
  fields.portText = "502";
  fields.mtText = "7";
  fields.maText = "0.80.194.1.2.3";
  return fields;
}

void ExpectFixedPositions(const SettingsFrame& frame, const char* letters, char xTag) {
  EXPECT_EQ(frame[0], '$');
  EXPECT_EQ(frame[1], letters[0]);
  EXPECT_EQ(frame[2], letters[1]);
  const std::pair<int, char> fixed[] = {
      {3, ','},  {4, 'M'},  {11, ','}, {12, 'I'}, {17, ','}, {18, 'S'},  {23, ','},  {24, 'G'},
      {29, ','}, {30, 'P'}, {33, ','}, {34, 'T'}, {36, ','}, {37, xTag}, {44, '\r'}, {45, '\n'}};
  for (auto [offset, value] : fixed) EXPECT_EQ(frame[offset], value) << "offset " << offset;
}

TEST(SettingsFrameBuild, ReadCarriesEveryField) {
  SettingsFrame frame{};
  BuildSettingsFrame(frame, Read, SampleFields());
  ExpectFixedPositions(frame, "IR", 'X');
  const SettingsFrame expected = {'$', 'I', 'R', ',', 'M', 0,   80,  194,  1,    2,   255, ',',
                                  'I', 192, 168, 0,   20,  ',', 'S', 255,  255,  255, 0,   ',',
                                  'G', 192, 168, 0,   1,   ',', 'P', 0x01, 0xF6, ',', 'T', 7,
                                  ',', 'X', 0,   80,  194, 1,   2,   3,    '\r', '\n'};
  EXPECT_EQ(frame, expected);
}

TEST(SettingsFrameBuild, FindMacKeepsThePreviousValues) {
  SettingsFrame frame{};
  BuildSettingsFrame(frame, Read, SampleFields());
  SettingsFrame previous = frame;
  BuildSettingsFrame(frame, FindMac, SettingsFields{});
  ExpectFixedPositions(frame, "MR", 'X');
  previous[1] = 'M';
  previous[2] = 'R';
  EXPECT_EQ(frame, previous);

  SettingsFrame fresh{};  // the first request of a dialog: value positions all 0
  BuildSettingsFrame(fresh, FindMac, SampleFields());
  EXPECT_EQ(fresh[5], 0);
  EXPECT_EQ(fresh[13], 0);
  EXPECT_EQ(fresh[38], 0);
}

TEST(SettingsFrameBuild, SettDiffersFromWriteOnlyAtTheXTag) {
  SettingsFrame write{}, sett{};
  BuildSettingsFrame(write, Write, SampleFields());
  BuildSettingsFrame(sett, Sett, SampleFields());
  ExpectFixedPositions(write, "IW", 'X');
  ExpectFixedPositions(sett, "IW", 'M');
  for (int i = 0; i < kSettingsFrameSize; ++i) {
    if (i != 37) {
      EXPECT_EQ(write[i], sett[i]) << "offset " << i;
    }
  }
}

TEST(SettingsFrameBuild, PortAndMtConversions) {
  struct Case {
    const char* port;
    std::uint8_t high, low;
  };
  for (auto [port, high, low] : {Case{"502", 0x01, 0xF6}, Case{"70000", 0x11, 0x70}, Case{"", 0, 0},
                                 Case{"-1", 0xFF, 0xFF}, Case{"  20000abc", 0x4E, 0x20}}) {
    SettingsFrame frame{};
    SettingsFields fields = SampleFields();
    fields.portText = port;
    BuildSettingsFrame(frame, Write, fields);
    EXPECT_EQ(frame[31], high) << port;
    EXPECT_EQ(frame[32], low) << port;
  }
  for (auto [mt, value] : {std::pair{"300", 44}, std::pair{"", 0}, std::pair{"-1", 255}}) {
    SettingsFrame frame{};
    SettingsFields fields = SampleFields();
    fields.mtText = mt;
    BuildSettingsFrame(frame, Write, fields);
    EXPECT_EQ(frame[35], value) << mt;
  }
}

TEST(SettingsFrameBuild, NoSelectionAndEmptyMaWriteOneZero) {
  SettingsFrame frame{};
  BuildSettingsFrame(frame, Read, SampleFields());
  SettingsFields fields = SampleFields();
  fields.macText = "";
  fields.maText = "";
  BuildSettingsFrame(frame, Read, fields);
  EXPECT_EQ(std::vector<int>(frame.begin() + 5, frame.begin() + 11),
            (std::vector<int>{0, 80, 194, 1, 2, 255}));
  EXPECT_EQ(std::vector<int>(frame.begin() + 38, frame.begin() + 44),
            (std::vector<int>{0, 80, 194, 1, 2, 3}));
}

TEST(DottedBytes, ParsingFillsWhatThePiecesReach) {
  struct Case {
    const char* text;
    std::array<std::uint8_t, 8> expected;  // guard, six bytes, guard
  };
  const Case cases[] = {
      {"0.80.194.1.2.255", {9, 0, 80, 194, 1, 2, 255, 9}},
      {"1.2.3", {9, 1, 2, 3, 7, 7, 7, 9}},
      {"", {9, 0, 7, 7, 7, 7, 7, 9}},
      {"1.2.3.4.5.6.7", {9, 1, 2, 3, 4, 5, 6, 9}},
      {"0:80:194:1:2:255", {9, 0, 7, 7, 7, 7, 7, 9}},
      {"300.-1. 7.x.5.6", {9, 44, 255, 7, 0, 5, 6, 9}},
  };
  for (const Case& c : cases) {
    std::array<std::uint8_t, 8> bytes = {9, 7, 7, 7, 7, 7, 7, 9};
    ParseDottedBytes(bytes, 1, 6, c.text);
    EXPECT_EQ(bytes, c.expected) << '"' << c.text << '"';
  }
}

TEST(DottedBytes, FormattingHasNoLeadingZeros) {
  const std::uint8_t bytes[] = {9, 0, 80, 194, 1, 2, 255};
  EXPECT_EQ(DottedText(std::span(bytes).subspan(1, 6)), "0.80.194.1.2.255");
}

SettingsFrame ReplyOf(const char* letters) {
  SettingsFrame frame{};
  BuildSettingsFrame(frame, Read, SampleFields());
  frame[1] = letters[0];
  frame[2] = letters[1];
  return frame;
}

TEST(SettingsReplyDecode, MacAnswerAndReadReply) {
  DecodedReply mac = DecodeReply(ReplyOf("MR"));
  EXPECT_EQ(mac.kind, DecodedReply::kMacAnswer);
  EXPECT_EQ(mac.macText, "0.80.194.1.2.255");

  SettingsFrame frame = ReplyOf("IR");
  frame[31] = 0xFF;
  frame[32] = 0xFF;
  frame[35] = 200;
  DecodedReply read = DecodeReply(frame);
  EXPECT_EQ(read.kind, DecodedReply::kReadReply);
  EXPECT_EQ(read.macText, "0.80.194.1.2.255");
  EXPECT_EQ(read.ipAddress, (IpBytes{192, 168, 0, 20}));
  EXPECT_EQ(read.subnetMask, (IpBytes{255, 255, 255, 0}));
  EXPECT_EQ(read.gateway, (IpBytes{192, 168, 0, 1}));
  EXPECT_EQ(read.portText, "65535");
  EXPECT_EQ(read.mtText, "200");
}

TEST(SettingsReplyDecode, OnlyWholeRecordsStartingWithTheMarkAreDecoded) {
  EXPECT_EQ(DecodeReply(ReplyOf("IW")).kind, DecodedReply::kNotDecoded);
  SettingsFrame notMarked = ReplyOf("MR");
  notMarked[0] = '#';
  EXPECT_EQ(DecodeReply(notMarked).kind, DecodedReply::kNotDecoded);
  const SettingsFrame whole = ReplyOf("MR");
  EXPECT_EQ(DecodeReply(std::span(whole).first(45)).kind, DecodedReply::kNotDecoded);
  EXPECT_EQ(DecodeReply(std::span(whole).first(3)).kind, DecodedReply::kNotDecoded);
  // 'M' then 'R' is a find answer, whatever the rest holds.
  SettingsFrame oddMac = ReplyOf("MX");
  EXPECT_EQ(DecodeReply(oddMac).kind, DecodedReply::kMacAnswer);
  std::array<std::uint8_t, 49> longer{};
  std::copy(whole.begin(), whole.end(), longer.begin());
  EXPECT_EQ(DecodeReply(longer).kind, DecodedReply::kMacAnswer);
}

TEST(SettingsMessage, ReadsEveryValueAndBuildsTheSameRecordAgain) {
  SettingsFrame frame = ReplyOf("MR");
  frame[31] = 0xFF;
  frame[32] = 0xFE;
  const auto message = Decode(frame);
  ASSERT_TRUE(message);
  const SettingsRecord* record = &message->record;
  EXPECT_EQ(std::string(message->command.data(), 2), "MR");
  EXPECT_EQ(record->mac, (MacBytes{0, 80, 194, 1, 2, 255}));
  EXPECT_EQ(record->ipAddress, (IpBytes{192, 168, 0, 20}));
  EXPECT_EQ(record->port, 65534);
  EXPECT_EQ(record->t, 7);

  // A write of the record, its MAC address as the X value (as after a READ).
  const SettingsFrame again = Encode(SettingsRequest(Write, *record, record->mac));
  for (int offset : {5, 13, 19, 25, 31, 32, 35}) EXPECT_EQ(again[offset], frame[offset]) << offset;
  // The X value carries the unit's MAC address, as after a READ in the dialog.
  EXPECT_EQ(std::vector<int>(again.begin() + 38, again.begin() + 44),
            (std::vector<int>{0, 80, 194, 1, 2, 255}));

  EXPECT_FALSE(Decode(std::span(frame).first(45)));
  frame[0] = '#';
  EXPECT_FALSE(Decode(frame));
}

}  // namespace
