// SPDX-License-Identifier: MIT
#include "link/dialogue.h"

namespace {

struct OperationWords {
  const char* name;
  const char* purpose;
};

constexpr OperationWords kOperations[] = {
    {"DummyComm", "the wake-up burst"},
    {"ConfirmComm", "the communication check"},
    {"CheckID_A", "the identity query"},
    {"READ_D1386", "the read of register D1386"},
    {"READ_D1001", "the read of register D1001"},
    {"READ_D1148", "the read of register D1148"},
    {"read_fu_version_A", "the loader-version query"},
    {"SendErase_A", "the erase request (restart into the loader)"},
    {"CheckID_B", "the loader's identity query"},
    {"read_fu_version_B", "the loader's version query"},
    {"SendErase_B", "the flash erase"},
    {"SendUpdate", "the update request"},
    {"SendFW", "the image blocks"},
};

}  // namespace

const char* OperationName(Operation operation) {
  return kOperations[static_cast<size_t>(operation)].name;
}

const char* OperationPurpose(Operation operation) {
  return kOperations[static_cast<size_t>(operation)].purpose;
}
