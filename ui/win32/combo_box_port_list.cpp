// SPDX-License-Identifier: MIT
#include "ui/win32/combo_box_port_list.h"

void ComboBoxPortList::DeleteFirst() { SendMessageA(comboBox_, CB_DELETESTRING, 0, 0); }

void ComboBoxPortList::Add(const std::string& text) {
  SendMessageA(comboBox_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void ComboBoxPortList::SelectFirst() { SendMessageA(comboBox_, CB_SETCURSEL, 0, 0); }
