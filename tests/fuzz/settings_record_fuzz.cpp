// Datagrams from anyone on the network, decoded as a settings message and
// as the settings tool's reply. A decoded message encoded again, and a
// reply built again from the tool's fields, must give the bytes they were
// decoded from, and nothing may be read past the datagram.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "netassign/settings_fields.h"
#include "protocol/settings_frame.h"

using namespace protocol;
using namespace netassign;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckSame(const SettingsFrame& built, const std::vector<std::uint8_t>& datagram, int offset,
               int count) {
  for (int i = offset; i < offset + count; ++i) Check(built[i] == datagram[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A buffer of exactly the datagram's size, so a read past it is caught.
  const std::vector<std::uint8_t> datagram(data, data + size);
  const auto message = Decode(datagram);
  Check(message.has_value() == (size >= kSettingsFrameSize && datagram[0] == '$'));
  if (message) {
    const SettingsFrame encoded = Encode(*message);
    for (int offset : {0, 1, 2, kXTagOffset}) Check(encoded[offset] == datagram[offset]);
    for (int offset : {kMacOffset, kXOffset}) CheckSame(encoded, datagram, offset, kMacSize);
    for (int offset : {kIpOffset, kMaskOffset, kGatewayOffset}) {
      CheckSame(encoded, datagram, offset, 4);
    }
    CheckSame(encoded, datagram, kPortOffset, 2);
    CheckSame(encoded, datagram, kTOffset, 1);
  }

  const DecodedReply reply = DecodeReply(datagram);
  if (reply.kind == DecodedReply::kNotDecoded) {
    Check(size < kSettingsFrameSize || datagram[0] != '$' ||
          (datagram[1] != 'M' && datagram[2] != 'R'));
    return 0;
  }
  Check(size >= kSettingsFrameSize && datagram[0] == '$');

  SettingsFields fields;
  fields.macText = reply.macText;
  fields.maText = reply.macText;
  if (reply.kind == DecodedReply::kReadReply) {
    Check(datagram[1] != 'M' && datagram[2] == 'R');
    fields.ipAddress = reply.ipAddress;
    fields.subnetMask = reply.subnetMask;
    fields.gateway = reply.gateway;
    fields.portText = reply.portText;
    fields.mtText = reply.mtText;
  } else {
    Check(datagram[1] == 'M');
  }
  SettingsFrame built{};
  BuildSettingsFrame(built, Read, fields);
  CheckSame(built, datagram, kMacOffset, kMacSize);
  if (reply.kind == DecodedReply::kReadReply) {
    CheckSame(built, datagram, kIpOffset, 4);
    CheckSame(built, datagram, kMaskOffset, 4);
    CheckSame(built, datagram, kGatewayOffset, 4);
    CheckSame(built, datagram, kPortOffset, 2);
    CheckSame(built, datagram, kTOffset, 1);
    for (int i = 0; i < kMacSize; ++i) Check(built[kXOffset + i] == datagram[kMacOffset + i]);
  }
  return 0;
}
