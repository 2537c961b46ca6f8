// The command buttons and the UDP broadcast exchange behind them.
#include <chrono>

#include "broadcast.h"
#include "netassign_dialog.h"
#include "text_format.h"
#include "wait_cursor.h"

namespace netassign {
namespace {

using protocol::FindMac;
using protocol::Read;
using protocol::Sett;
using protocol::SettingsCommand;
using protocol::Write;

using namespace std::chrono_literals;

using protocol::kSettingsPort;
using protocol::kSettingsReplyPort;

constexpr auto kReplyTimeout = 200ms;
// A collection normally ends 200 ms after the last reply; a host that never
// stops sending to our port must not hold the window for good.
constexpr auto kCollectionLimit = 3s;
// Room for thousands of units answering one broadcast at once.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

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

bool NetAssignDialog::OpenUdpChannel() {
  socketLayer.emplace(platform::kSocketVersion22);
  if (!*socketLayer) {
    socketLayer.reset();
    AddStatusLine("Error WinSock WSAStartup");
    return false;
  }

  broadcastAddress = platform::SocketAddress::FromDottedText("255.255.255.255", kSettingsPort);

  sendSocket = platform::Socket::OpenDatagram();
  if (!sendSocket) {
    AddStatusLine("Error Client Socket Make");
    socketLayer.reset();
    return false;
  }
  sendSocket.SetBroadcast(true);

  listenAddress = platform::SocketAddress::Any(kSettingsReplyPort);

  receiveSocket = platform::Socket::OpenDatagram();
  if (!receiveSocket) {
    AddStatusLine("Error Sever Socket Make");
    sendSocket.Close();
    socketLayer.reset();
    return false;
  }
  receiveSocket.SetReceiveBufferSize(kReceiveBufferBytes);

  if (!receiveSocket.Bind(listenAddress)) {
    AddStatusLine("Error Sever Socket Bind");
    receiveSocket.Close();
    sendSocket.Close();
    socketLayer.reset();
    return false;
  }

  AddStatusLine("Success UDP Setting");
  return true;
}

bool NetAssignDialog::RunCommand(SettingsCommand command) {
  if (!OpenUdpChannel()) return false;
  platform::CWaitCursor busy;

  BuildSettingsFrame(command);

  // Out of every adapter that can broadcast, with or without a route for
  // it; a request that went nowhere is said so, and nothing is collected.
  const platform::BroadcastSend sent =
      platform::SendBroadcast(sendSocket, sendFrame, kSettingsPort);
  if (sent.Copies() == 0) {
    AddStatusLine("Error Client Socket Send");
    CloseUdpChannel();
    return false;
  }

  receiveSocket.ConnectDatagram(listenAddress);  // the any-address: no peer, every sender
  receiveSocket.SetReceiveTimeout(kReplyTimeout);

  firstReadReply.reset();
  platform::ReplyWindow window(kReplyTimeout, kCollectionLimit);
  for (;;) {
    const long received = window.Receive(receiveSocket, receiveBuffer, listenAddress);
    if (received < 0) break;
    if (received > 0) {
      const bool duplicate = DecodeReply(command, received);
      replyMessage =
          protocol::FormatText("IP_Address Connect[ %s ]", listenAddress.DottedText().c_str());
      AddStatusLine(replyMessage);
      if (duplicate) {
        AddStatusLine(protocol::FormatText("Warning Duplicate Reply[ %s ]",
                                           listenAddress.DottedText().c_str()));
      }
    } else {
      replyMessage = protocol::FormatText("IP_Address[ %s ]", listenAddress.DottedText().c_str());
      AddStatusLine(replyMessage);
    }
  }
  CloseUdpChannel();
  return true;
}

bool NetAssignDialog::CloseUdpChannel() {
  receiveSocket.Close();
  sendSocket.Close();
  socketLayer.reset();
  return true;
}

}  // namespace netassign
