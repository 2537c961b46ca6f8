// The command buttons and the UDP broadcast exchange behind them.
#include <chrono>

#include "dialogs/wait_cursor.h"
#include "net/broadcast.h"
#include "netassign_dialog.h"
#include "protocol/text_format.h"

namespace netassign {
namespace {

using protocol::FindMac;
using protocol::Read;
using protocol::Sett;
using protocol::SettingsCommand;
using protocol::Write;

using namespace std::chrono_literals;

// Requests to every unit's port 50000, answers on our 50001 until 200 ms
// pass without one; a host that never stops sending to our port must not
// hold the window for good, so 3 s at the most.
platform::BroadcastOptions SettingsBroadcast() {
  platform::BroadcastOptions options;
  options.unitPort = protocol::kSettingsPort;
  options.replyPort = protocol::kSettingsReplyPort;
  options.quiet = 200ms;
  options.bound = 3s;
  options.datagramSize = kReceiveBufferSize;
  return options;
}

}  // namespace

void NetAssignDialog::OnMacFind() {
  macList.ResetContent();
  RunCommand(FindMac);
}

void NetAssignDialog::OnRead() {
  UpdateData(true);
  RunCommand(Read);
  UpdateData(false);
}

void NetAssignDialog::OnWrite() {
  UpdateData(true);
  RunCommand(Write);
}

void NetAssignDialog::OnSett() {
  UpdateData(true);
  RunCommand(Sett);
}

bool NetAssignDialog::OpenUdpChannel(platform::BroadcastChannel& udpChannel) {
  using Failure = platform::BroadcastChannel::Failure;
  if (udpChannel.Open()) {
    AddStatusLine("Success UDP Setting");
    return true;
  }
  switch (udpChannel.FailedAt()) {
    case Failure::kSocketLayer:
      AddStatusLine("Error WinSock WSAStartup");
      break;
    case Failure::kSendSocket:
      AddStatusLine("Error Client Socket Make");
      break;
    case Failure::kReceiveSocket:
      AddStatusLine("Error Sever Socket Make");
      break;
    default:
      AddStatusLine("Error Sever Socket Bind");
  }
  return false;
}

bool NetAssignDialog::RunCommand(SettingsCommand command) {
  platform::BroadcastChannel udpChannel(SettingsBroadcast());
  if (!OpenUdpChannel(udpChannel)) return false;
  platform::CWaitCursor busy;

  BuildSettingsFrame(command);

  // Out of every adapter that can broadcast, with or without a route for
  // it; a request that went nowhere is said so, and nothing is collected.
  if (!udpChannel.Send(sendFrame)) {
    AddStatusLine("Error Client Socket Send");
    CloseUdpChannel(udpChannel);
    return false;
  }

  firstReadReply.reset();
  udpChannel.Collect(
      [&](const platform::SocketAddress& from, std::span<const std::uint8_t> datagram) {
        const std::string sender = from.DottedText();
        if (datagram.empty()) {
          AddStatusLine(protocol::FormatText("IP_Address[ %s ]", sender.c_str()));
          return;
        }
        const bool duplicate = DecodeReply(command, datagram);
        AddStatusLine(protocol::FormatText("IP_Address Connect[ %s ]", sender.c_str()));
        if (duplicate) {
          AddStatusLine(protocol::FormatText("Warning Duplicate Reply[ %s ]", sender.c_str()));
        }
      });
  return CloseUdpChannel(udpChannel);
}

bool NetAssignDialog::CloseUdpChannel(platform::BroadcastChannel& udpChannel) {
  udpChannel.Close();
  return true;
}

}  // namespace netassign
