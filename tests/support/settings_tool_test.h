// The settings tool open on the offscreen platform, with what its tests
// read and do: the log without time stamps, the MAC list, the address
// fields, selecting a unit and typing an address.
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <regex>
#include <string>
#include <vector>

#include "dialog_driver.h"
#include "dialogs/ip_address_widget.h"
#include "net/socket_layer.h"
#include "netassign/netassign_dialog.h"
#include "netassign/netassign_resource.h"
#include "protocol/settings_frame.h"

namespace lamptest {

class SettingsToolTest : public testing::Test {
 protected:
  void SetUp() override {
    tool.Create();
    ASSERT_TRUE(Activate(tool));
  }

  // Status lines without their time stamps; checks each stamp's form.
  std::vector<std::string> Log() {
    std::vector<std::string> lines = Lines(tool.GetDlgItemText(netassign::IDC_STATUS_VIEW));
    EXPECT_EQ(lines.back(), "");  // every line ends with CR LF
    lines.pop_back();
    for (std::string& line : lines) {
      EXPECT_TRUE(std::regex_search(line, std::regex("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9] -- ")))
          << line;
      line.erase(0, 12);
    }
    return lines;
  }

  QComboBox* MacList() { return static_cast<QComboBox*>(tool.GetDlgItem(netassign::IDC_MAC_LIST)); }
  std::vector<std::string> MacEntries() {
    std::vector<std::string> entries;
    for (int i = 0; i < MacList()->count(); ++i)
      entries.push_back(MacList()->itemText(i).toStdString());
    return entries;
  }
  void SelectMac(const std::string& text) {
    MacList()->setFocus();
    for (int i = 0; i < MacList()->count() && MacList()->currentText().toStdString() != text; ++i) {
      Key(tool, Qt::Key_Down);
    }
    ASSERT_EQ(MacList()->currentText().toStdString(), text);
  }
  protocol::IpBytes Address(int id) {
    protocol::IpBytes bytes{};
    static_cast<platform::IpAddressWidget*>(tool.GetDlgItem(id))->GetAddress(bytes);
    return bytes;
  }
  void TypeAddress(int id, const QString& dotted) {
    auto* control = static_cast<platform::IpAddressWidget*>(tool.GetDlgItem(id));
    control->ClearAddress();
    control->Field(0)->setFocus();
    TypeKeys(tool, dotted);
  }
  std::string Text(int id) { return tool.GetDlgItemText(id); }

  // The program holds a start-up of the socket layer for its whole run.
  platform::SocketLayerSession programSocketLayer{platform::kSocketVersion11};
  netassign::NetAssignDialog tool;
};

}  // namespace lamptest
