// SPDX-License-Identifier: MIT
// The port list and the model list are QComboBoxes that keep their entries
// sorted, as the Windows program's sorted combo boxes do.
#pragma once

#include <QString>

#include "ui/port_list.h"

class QComboBox;

// Inserts `text` at its place in the alphabetical order, letter case aside.
void AddSorted(QComboBox& list, const QString& text);

// The port list as discovery fills it.
class ComboBoxPortList final : public PortList {
 public:
  explicit ComboBoxPortList(QComboBox& list) : list_(list) {}
  void DeleteFirst() override;
  void Add(const std::string& text) override;
  void SelectFirst() override;

 private:
  QComboBox& list_;
};
