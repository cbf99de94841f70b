// SPDX-License-Identifier: MIT
#include "ui/port_list.h"

#include "discovery/ports.h"

namespace {

// The list holds only what this side put into it, so removing the first
// entry as often as the last fill added one empties it.
void RemovePreviousFill(PortList& list) {
  for (int32_t i = 0; i < list.totalComPort; ++i) list.DeleteFirst();
  list.totalComPort = 0;
}

}  // namespace

void RefillPortList(PortList& list, const std::optional<std::vector<std::string>>& ports) {
  if (!ports) return;
  RemovePreviousFill(list);
  for (const std::string& port : *ports) {
    list.Add(port);
    ++list.totalComPort;
  }
}

void EnumComPort(PortList& list) { RefillPortList(list, ListComPorts()); }

void EnumUSBPort(PortList& list) {
  RemovePreviousFill(list);
  list.Add("USB");
  list.SelectFirst();
  list.totalComPort = 1;
}
