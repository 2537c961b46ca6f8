// The 8-byte lamp frame: what the console sends to a unit and what a unit
// sends back. Plain data; building and decoding do no I/O.
//
//   byte 0  operation   1 = write, 0 = read (on the wire 'W' / 'R')
//   byte 1  model       0..7, the selected model
//   byte 2  red lamp    lamp code
//   byte 3  yellow lamp lamp code
//   byte 4  green lamp  lamp code
//   byte 5  blue lamp   lamp code
//   byte 6  white lamp  lamp code
//   byte 7  sound       sound code (the sound is lamp number 5)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace protocol {

inline constexpr int kFrameSize = 8;
inline constexpr int kOperationByte = 0;
inline constexpr int kModelByte = 1;
inline constexpr int kFirstLampByte = 2;
inline constexpr int kLampCount = 5;
inline constexpr int kSoundLamp = 5;  // the sound takes the place of a sixth lamp
inline constexpr int kSoundByte = kFirstLampByte + kSoundLamp;

inline constexpr std::uint8_t kOperationWrite = 1;
inline constexpr std::uint8_t kOperationRead = 0;
inline constexpr std::uint8_t kWireWrite = 'W';
inline constexpr std::uint8_t kWireRead = 'R';

// Lamp codes; sound codes are 0 (off), 1..5 (sound n) and kLeaveUnchanged.
inline constexpr std::uint8_t kLampOff = 0;
inline constexpr std::uint8_t kLampOn = 1;
inline constexpr std::uint8_t kLampBlink = 2;
inline constexpr std::uint8_t kSoundOff = 0;
inline constexpr std::uint8_t kLeaveUnchanged = 0x64;

using LampFrame = std::array<std::uint8_t, kFrameSize>;

// The five lamps top to bottom, as commands take them and output names them.
inline constexpr std::array<std::string_view, kLampCount> kLampNames = {"red", "yellow", "green",
                                                                        "blue", "white"};

// A lamp code as a word, as the console's status words read a lamp byte:
// 0 "off", 1 "on", anything else "blink".
std::string_view LampStateName(std::uint8_t code);
// "off", "on" or "blink" as a lamp code; nothing for any other word.
std::optional<std::uint8_t> LampCodeOf(std::string_view word);
// "red" .. "white" as the lamp's number 0..4; nothing for any other name.
std::optional<int> LampNumberOf(std::string_view name);

// What a write asks of each lamp (0..4) and of the sound (5): a code, or
// kLeaveUnchanged.
using LampCodes = std::array<std::uint8_t, kLampCount + 1>;
inline constexpr LampCodes kLeaveAllUnchanged = {kLeaveUnchanged, kLeaveUnchanged, kLeaveUnchanged,
                                                 kLeaveUnchanged, kLeaveUnchanged, kLeaveUnchanged};

// Requests as they go on the wire, each as the console builds it.
LampFrame StatusRequest(int model);
LampFrame ResetRequest(int model);
LampFrame WriteRequest(int model, const LampCodes& codes);

// The frame of one command: lamp 0..4 or kSoundLamp, value a lamp or sound
// code. A pending reset turns every lamp and the sound off whatever the
// command; a pending read makes it a read request.
LampFrame BuildLampFrame(int lamp, int value, int modelIndex, bool readPending, bool resetPending);

// The frame as it goes on the wire: byte 0 becomes 'W' when it is 1 and
// 'R' otherwise, as LampLink rewrites it.
LampFrame WireFrame(LampFrame built);

// The six status words of a reply, bytes 2 to 7, run together:
// "R-ON/Y-OF/G-BL/B-OF/W-OF/(S)-ON/".
std::string DecodeStatusWords(const LampFrame& reply);

}  // namespace protocol
