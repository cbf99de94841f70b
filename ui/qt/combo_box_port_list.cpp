// SPDX-License-Identifier: MIT
#include "ui/qt/combo_box_port_list.h"

#include <QComboBox>

void AddSorted(QComboBox& list, const QString& text) {
  int at = 0;
  while (at < list.count() && list.itemText(at).compare(text, Qt::CaseInsensitive) <= 0) ++at;
  list.insertItem(at, text);
}

void ComboBoxPortList::DeleteFirst() { list_.removeItem(0); }

void ComboBoxPortList::Add(const std::string& text) {
  AddSorted(list_, QString::fromStdString(text));
}

void ComboBoxPortList::SelectFirst() { list_.setCurrentIndex(0); }
