// The settings dialog: find units by MAC address, read and write a unit's
// IP address, subnet mask, gateway and port, and a log of every step.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "dialogs/controls.h"
#include "dialogs/dialog.h"
#include "net/broadcast.h"
#include "settings_fields.h"

namespace netassign {

class NetAssignDialog : public platform::CDialog {
 public:
  NetAssignDialog();

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(platform::CDataExchange& exchange) override;
  void OnPaint(platform::CPaintDC& dc) override;

 private:
  // Status log.
  void AddStatusLine(const std::string& message);
  void OnResetStatus();

  // The record (settings_fields.h) filled from and decoded into the fields.
  void BuildSettingsFrame(protocol::SettingsCommand command);
  // Decodes a datagram into the fields and the MAC list, where it answers
  // what `command` asked. True for a second read reply naming the same unit
  // with other settings (the fields keep the first).
  bool DecodeReply(protocol::SettingsCommand command, std::span<const std::uint8_t> datagram);
  bool NamesRequestedUnit(const DecodedReply& reply) const;
  void TakeReadReply(const DecodedReply& reply);

  // The broadcast exchange behind the command buttons; its channel (the
  // sockets) lives for one command.
  void OnMacFind();
  void OnRead();
  void OnWrite();
  void OnSett();
  bool OpenUdpChannel(platform::BroadcastChannel& udpChannel);
  bool RunCommand(protocol::SettingsCommand command);
  bool CloseUdpChannel(platform::BroadcastChannel& udpChannel);

  std::optional<DecodedReply> firstReadReply;  // of the READ under way
  protocol::SettingsFrame
      sendFrame{};  // starts as zeros: an MR before any READ sends no stray bytes
  platform::CIPAddressCtrl gatewayField;
  platform::CIPAddressCtrl subnetMaskField;
  platform::CIPAddressCtrl ipAddressField;
  platform::CComboBox macList;
  std::string statusText;
  std::string maText;
  std::string portText;
  std::string mtText;
  platform::CIcon iconHandle;
};

}  // namespace netassign
