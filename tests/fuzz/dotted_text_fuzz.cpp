// Text typed by a user or taken from a reply, read by the dotted and
// decimal rules. Nothing is written outside the bytes asked for, numbers
// read as the C library reads them where it can, and text made from bytes
// reads back as those bytes.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "netassign/settings_fields.h"
#include "protocol/decimal_text.h"
#include "protocol/text_format.h"

using namespace protocol;
using netassign::ParseDottedBytes;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr std::uint8_t kGuard = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int count = data[0] % 8;  // 0..7 bytes asked for
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  // The dotted rule writes only inside [1, 1 + count).
  std::vector<std::uint8_t> bytes(count + 2, kGuard);
  ParseDottedBytes(bytes, 1, count, text);
  Check(bytes.front() == kGuard && bytes.back() == kGuard);

  // The decimal rule agrees with strtol wherever strtol's value fits.
  const std::string trimmed = text.substr(0, text.find('\0'));
  errno = 0;
  char* end = nullptr;
  const long reference = std::strtol(trimmed.c_str(), &end, 10);
  const bool sawDigit = end != trimmed.c_str();
  if (errno == 0 && reference >= -2147483647L && reference <= 2147483647L) {
    Check(DecimalTextToInt(trimmed) == (sawDigit ? reference : 0));
  }

  // Bytes made into dotted text read back as the same bytes.
  std::vector<std::uint8_t> original(data + 1, data + 1 + std::min<std::size_t>(6, size - 1));
  const std::string dotted = DottedText(original);
  std::vector<std::uint8_t> again(original.size() + 2, kGuard);
  if (!original.empty()) {
    ParseDottedBytes(again, 1, static_cast<int>(original.size()), dotted);
    Check(std::equal(original.begin(), original.end(), again.begin() + 1));
  }
  Check(again.front() == kGuard && again.back() == kGuard);

  // A strictly parsed address prints back as the very text.
  std::array<std::uint8_t, 4> address{};
  if (ParseIpv4(text, address)) Check(DottedText(address) == text);
  return 0;
}
