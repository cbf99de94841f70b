// SPDX-License-Identifier: MIT
#include "burn/messages.h"

namespace {

// Messages of the three application-mode steps, by the low four bits of the
// step's result: the communication check (State 1), the identity check
// (State 2) and the erase request (State 3).
constexpr const char* kState1[16] = {"UNKNOWN MESSAGE",       "PLC type is WRONG",
                                     "PLC type is WRONG",     "UNKNOWN MESSAGE",
                                     "UNKNOWN MESSAGE",       "PLC type is WRONG",
                                     "PLC in RUN MODE",       "UNKNOWN ERROR CODE @ State 1",
                                     "NO RESPONSE @ State 1", "UNKNOWN MESSAGE",
                                     "UNKNOWN MESSAGE",       "UNKNOWN MESSAGE",
                                     "UNKNOWN MESSAGE",       "UNKNOWN MESSAGE",
                                     "UNKNOWN MESSAGE",       "UNKNOWN MESSAGE"};
constexpr const char* kState2[16] = {
    "UNKNOWN MESSAGE @ State 2", "UNKNOWN MESSAGE @ State 2",    "PLC type is WRONG",
    "PLC type is WRONG",         "UNKNOWN MESSAGE @ State 2",    "PLC type is WRONG",
    "UNKNOWN MESSAGE @ State 2", "UNKNOWN ERROR CODE @ State 2", "NO RESPONSE @ State 2",
    "UNKNOWN MESSAGE @ State 2", "UNKNOWN MESSAGE @ State 2",    "UNKNOWN MESSAGE @ State 2",
    "UNKNOWN MESSAGE @ State 2", "UNKNOWN MESSAGE @ State 2",    "UNKNOWN MESSAGE @ State 2",
    "UNKNOWN MESSAGE @ State 2"};
constexpr const char* kState3[16] = {"UNKNOWN MESSAGE @ State 3", "UNKNOWN MESSAGE @ State 3",
                                     "UNKNOWN MESSAGE @ State 3", "PLC type is WRONG",
                                     "PLC type is WRONG",         "PLC type is WRONG",
                                     "UNKNOWN MESSAGE @ State 3", "UNKNOWN ERROR CODE @ State 3",
                                     "NO RESPONSE @ State 3",     "UNKNOWN MESSAGE @ State 3",
                                     "UNKNOWN MESSAGE @ State 3", "UNKNOWN MESSAGE @ State 3",
                                     "UNKNOWN MESSAGE @ State 3", "UNKNOWN MESSAGE @ State 3",
                                     "UNKNOWN MESSAGE @ State 3", "UNKNOWN MESSAGE @ State 3"};

}  // namespace

const char* MessageText(BurnMessage message) {
  switch (message) {
    case BurnMessage::kUsbSuccess:
      return "Firmware update is SUCCESSFUL!, please REPLUG the USB cable";
    case BurnMessage::kComSuccess: return "Firmware update is SUCCESSFUL";
    case BurnMessage::kNothingToWrite:
      return "The image has NOTHING to write: 0 bytes would be sent to the PLC";
    case BurnMessage::kDemoImage:
      return "The image is the DEMO image, not firmware: it only updates a simulated PLC. To "
             "update a real PLC, build with -DMORVIX_FIRMWARE_IMAGE=<model>_<version>.bin (or "
             "give the command line --image FILE)";
    case BurnMessage::kLoaderIdentityRefused: return "PLC type is WRONG";
    case BurnMessage::kVersionUnanswered: return "PLC DOES NOT respond to the version read";
    case BurnMessage::kEraseUnanswered: return "PLC DOES NOT respond to the erasing signal";
    case BurnMessage::kUpdateUnanswered: return "PLC DOES NOT respond to the update signal";
    case BurnMessage::kFlashWriteError:
      return "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW "
             "again";
    case BurnMessage::kTransferFailed: return "Firmware update is FAILED";
    case BurnMessage::kNoLoader:
      return "PLC DOES NOT restart into its loader (asked 3 times). RE-POWER PLC and update FW "
             "again";
  }
  return "";
}

const char* StateMessage(int state, AppStatus status) {
  const char* const* table = state == 1 ? kState1 : state == 2 ? kState2 : kState3;
  return table[static_cast<uint8_t>(status) & 0x0F];
}

std::string CannotOpenMessage(const std::string& port) {
  return "CANNOT open " + port + " Port!!!";
}
