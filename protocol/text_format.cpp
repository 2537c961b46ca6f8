#include "text_format.h"

#include <cstdarg>
#include <cstdio>

namespace protocol {

std::string DottedText(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(bytes[i]);
  }
  return text;
}

std::string EndpointText(std::span<const std::uint8_t, 4> address, std::uint16_t port) {
  return DottedText(address) + ":" + std::to_string(port);
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

namespace {

// Strict dotted decimal of exactly `bytes.size()` bytes.
bool ParseDottedDecimal(std::string_view text, std::span<std::uint8_t> bytes) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const std::size_t start = at;
    int value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
      value = value * 10 + (text[at] - '0');
      ++at;
    }
    const std::size_t digits = at - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    bytes[i] = static_cast<std::uint8_t>(value);
  }
  return at == text.size();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Six pairs of hex digits joined by `separator`.
bool ParseHexPairs(std::string_view text, char separator, std::span<std::uint8_t, 6> bytes) {
  if (text.size() != 17) return false;
  for (std::size_t i = 0; i < 6; ++i) {
    const int high = HexDigit(text[3 * i]), low = HexDigit(text[3 * i + 1]);
    if (high < 0 || low < 0) return false;
    if (i < 5 && text[3 * i + 2] != separator) return false;
    bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

}  // namespace

bool ParseIpv4(std::string_view text, std::array<std::uint8_t, 4>& address) {
  std::array<std::uint8_t, 4> parsed{};
  if (!ParseDottedDecimal(text, parsed)) return false;
  address = parsed;
  return true;
}

std::string MacColonText(std::span<const std::uint8_t, 6> mac) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < mac.size(); ++i) {
    if (i > 0) text += ':';
    text += kDigits[mac[i] >> 4];
    text += kDigits[mac[i] & 0x0F];
  }
  return text;
}

bool ParseMac(std::string_view text, std::array<std::uint8_t, 6>& mac) {
  std::array<std::uint8_t, 6> parsed{};
  if (!ParseHexPairs(text, ':', parsed) && !ParseHexPairs(text, '-', parsed) &&
      !ParseDottedDecimal(text, parsed)) {
    return false;
  }
  mac = parsed;
  return true;
}

std::string FormatText(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list measuring;
  va_copy(measuring, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, arguments);
  va_end(arguments);
  return text;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string PrintableText(std::string_view text, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\\') {
      shown += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7f) {
      shown += static_cast<char>(byte);
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    }
  }
  if (text.size() > limit) shown += "...";
  return shown;
}

}  // namespace protocol
