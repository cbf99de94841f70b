// SPDX-License-Identifier: MIT
// The main window's port list, a sorted drop-down combo box, seen as a
// PortList.
#pragma once

#include <windows.h>

#include "ui/port_list.h"

class ComboBoxPortList final : public PortList {
 public:
  explicit ComboBoxPortList(HWND comboBox) : comboBox_(comboBox) {}
  void DeleteFirst() override;
  void Add(const std::string& text) override;
  void SelectFirst() override;

 private:
  HWND comboBox_;
};
