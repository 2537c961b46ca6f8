// How the suite writes bytes as text: addresses and MAC addresses in dotted
// decimal, endpoints with their port, raw bytes in hex. Every program and
// log uses these, so one unit's address reads the same everywhere.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace protocol {

// Each byte in decimal without leading zeros, joined by '.': "10.0.0.5",
// "0.80.194.1.2.255". No bytes give empty text.
std::string DottedText(std::span<const std::uint8_t> bytes);

// An IPv4 address (first number first) and a port: "192.168.10.200:20000".
std::string EndpointText(std::span<const std::uint8_t, 4> address, std::uint16_t port);

// Two upper-case hex digits a byte, separated by blanks: "57 00 01".
std::string HexBytes(std::span<const std::uint8_t> bytes);

// Strict dotted-quad text: four decimal numbers 0..255 joined by '.', no
// blanks, signs or leading zeros. False (and `address` untouched) otherwise.
bool ParseIpv4(std::string_view text, std::array<std::uint8_t, 4>& address);

// A MAC address as people write it: "00:50:c2:01:02:0a".
std::string MacColonText(std::span<const std::uint8_t, 6> mac);

// A MAC address in any of the forms people use: "00:50:c2:01:02:0a",
// "00-50-C2-01-02-0A" (two hex digits a byte) or NetAssign's dotted decimal
// "0.80.194.1.2.10" (strict: 0..255, no blanks, signs or leading zeros).
// False (and `mac` untouched) otherwise.
bool ParseMac(std::string_view text, std::array<std::uint8_t, 6>& mac);

// Text that came from outside (a file, a datagram, an argument) made safe
// to print: printable ASCII as it is, a backslash doubled, every other byte
// as \xNN (so no escape sequence reaches a terminal), and cut after `limit`
// bytes of the original with "..." behind.
std::string PrintableText(std::string_view text, std::size_t limit = 200);

// ASCII letters in lower case, every other byte as it is (HTTP's header names).
std::string LowerCase(std::string_view text);

// printf into a string of whatever length it takes: FormatText("Lamp %d ON ", 1).
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace protocol
