// The settings dialog: find units by MAC address, read and write a unit's
// IP address, subnet mask, gateway and port, and a log of every step.
#pragma once

#include <QIcon>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "controls.h"
#include "dialog.h"
#include "settings_frame.h"
#include "socket_layer.h"

namespace netassign {

class NetAssignDialog : public platform::CDialog {
 public:
  NetAssignDialog();

  QIcon OnQueryDragIcon() const { return iconHandle; }

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(platform::CDataExchange& exchange) override;
  void OnPaint(QPainter& painter) override;

 private:
  // Status log.
  void AddStatusLine(const std::string& message);
  void OnResetStatus();

  // The record (settings_frame.h) filled from and decoded into the fields.
  void BuildSettingsFrame(protocol::SettingsCommand command);
  // Decodes the datagram in receiveBuffer into the fields and the MAC list,
  // where it answers what `command` asked. True for a second read reply
  // naming the same unit with other settings (the fields keep the first).
  bool DecodeReply(protocol::SettingsCommand command, long length);
  bool NamesRequestedUnit() const;
  static bool SameSettings(const protocol::DecodedReply& first,
                           const protocol::DecodedReply& second);
  void TakeReadReply(const protocol::DecodedReply& reply);

  // The broadcast exchange behind the command buttons.
  void OnMacFind();
  void OnRead();
  void OnWrite();
  void OnSett();
  bool OpenUdpChannel();
  bool RunCommand(protocol::SettingsCommand command);
  bool CloseUdpChannel();

  std::string replyMessage;
  std::optional<protocol::DecodedReply> firstReadReply;  // of the READ under way
  protocol::SettingsFrame
      sendFrame{};  // starts as zeros: an MR before any READ sends no stray bytes
  std::array<std::uint8_t, protocol::kReceiveBufferSize> receiveBuffer{};
  std::optional<platform::SocketLayerSession> socketLayer;
  platform::Socket sendSocket;
  platform::Socket receiveSocket;
  platform::SocketAddress listenAddress;
  platform::SocketAddress broadcastAddress;
  platform::CIPAddressCtrl gatewayField;
  platform::CIPAddressCtrl subnetMaskField;
  platform::CIPAddressCtrl ipAddressField;
  platform::CComboBox macList;
  std::string statusText;
  std::string maText;
  std::string portText;
  std::string mtText;
  QIcon iconHandle;
};

}  // namespace netassign
