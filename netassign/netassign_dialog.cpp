// The dialog, its fields and the status log.
#include "netassign_dialog.h"

#include <algorithm>

#include "dialogs/data_exchange.h"
#include "dialogs/local_time.h"
#include "netassign_resource.h"
#include "netassign_template.h"

namespace netassign {

using protocol::SettingsCommand;

NetAssignDialog::NetAssignDialog()
    : CDialog(kNetAssignTemplate), iconHandle(IDR_MAINFRAME, kResourceModule) {
  OnCommand(IDC_MAC_FIND, &NetAssignDialog::OnMacFind);
  OnCommand(IDC_RESET_STATUS, &NetAssignDialog::OnResetStatus);
  OnCommand(IDC_READ, &NetAssignDialog::OnRead);
  OnCommand(IDC_WRITE, &NetAssignDialog::OnWrite);
  OnCommand(IDC_SETT, &NetAssignDialog::OnSett);
}

void NetAssignDialog::DoDataExchange(platform::CDataExchange& exchange) {
  platform::DDX_Control(exchange, IDC_GATEWAY, gatewayField);
  platform::DDX_Control(exchange, IDC_SUBNET_MASK, subnetMaskField);
  platform::DDX_Control(exchange, IDC_IP_ADDRESS, ipAddressField);
  platform::DDX_Control(exchange, IDC_MAC_LIST, macList);
  platform::DDX_LogText(exchange, IDC_STATUS_VIEW, statusText);
  platform::DDX_Text(exchange, IDC_MA, maText);
  platform::DDX_Text(exchange, IDC_PORT, portText);
  platform::DDX_Text(exchange, IDC_MT, mtText);
}

bool NetAssignDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  SetIcon(iconHandle, true);
  SetIcon(iconHandle, false);
  return true;
}

void NetAssignDialog::OnPaint(platform::CPaintDC& dc) {
  if (IsIconic()) DrawIconCentred(dc, iconHandle);  // otherwise the default painting
}

void NetAssignDialog::AddStatusLine(const std::string& message) {
  const std::string line = platform::FormatLocalTime("%H:%M:%S") + " -- " + message;
  statusText += line + "\r\n";
  UpdateData(false);
}

void NetAssignDialog::OnResetStatus() {
  statusText.clear();
  UpdateData(false);
}

void NetAssignDialog::BuildSettingsFrame(SettingsCommand command) {
  SettingsFields fields;
  const int selected = macList.GetCurSel();
  if (selected != platform::CComboBox::kNoSelection) fields.macText = macList.GetLBText(selected);
  auto& ip = fields.ipAddress;
  auto& mask = fields.subnetMask;
  auto& gateway = fields.gateway;
  ipAddressField.GetAddress(ip[0], ip[1], ip[2], ip[3]);
  subnetMaskField.GetAddress(mask[0], mask[1], mask[2], mask[3]);
  gatewayField.GetAddress(gateway[0], gateway[1], gateway[2], gateway[3]);
  fields.portText = portText;
  fields.mtText = mtText;
  fields.maText = maText;
  netassign::BuildSettingsFrame(sendFrame, command, fields);
}

bool NetAssignDialog::DecodeReply(SettingsCommand command, std::span<const std::uint8_t> datagram) {
  const DecodedReply reply = netassign::DecodeReply(datagram);
  switch (reply.kind) {
    case DecodedReply::kMacAnswer:
      // Only Mac Find lists units, each once however many ways it answers.
      if (command == protocol::FindMac &&
          macList.FindStringExact(-1, reply.macText) == platform::CComboBox::kNoSelection) {
        macList.AddString(reply.macText);
      }
      return false;
    case DecodedReply::kReadReply:
      // Only READ takes settings, and only from the unit it asked for.
      if (command != protocol::Read || !NamesRequestedUnit(reply)) return false;
      if (firstReadReply) return !protocol::SameSettings(firstReadReply->record, reply.record);
      firstReadReply = reply;
      TakeReadReply(reply);
      return false;
    case DecodedReply::kNotDecoded:
      return false;
  }
  return false;
}

bool NetAssignDialog::NamesRequestedUnit(const DecodedReply& reply) const {
  return std::equal(reply.record.mac.begin(), reply.record.mac.end(),
                    sendFrame.begin() + protocol::kMacOffset);
}

void NetAssignDialog::TakeReadReply(const DecodedReply& reply) {
  maText = reply.macText;
  const auto& ip = reply.ipAddress;
  const auto& mask = reply.subnetMask;
  const auto& gateway = reply.gateway;
  ipAddressField.SetAddress(ip[0], ip[1], ip[2], ip[3]);
  subnetMaskField.SetAddress(mask[0], mask[1], mask[2], mask[3]);
  gatewayField.SetAddress(gateway[0], gateway[1], gateway[2], gateway[3]);
  portText = reply.portText;
  mtText = reply.mtText;
}

}  // namespace netassign
