// SPDX-License-Identifier: MIT
// The name a serial port is opened by: every COM port in the "\\.\" form
// (the only form in which Windows opens ports above COM9), every other name
// as given.
#include "link/serial_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathCase {
  const char* port;
  const char* opened;
};

class SerialDevicePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(SerialDevicePathTest, OpensTheExpectedPath) {
  EXPECT_EQ(SerialDevicePath(GetParam().port), GetParam().opened) << GetParam().port;
}

INSTANTIATE_TEST_SUITE_P(
    ComPorts, SerialDevicePathTest,
    ::testing::Values(PathCase{"COM1", R"(\\.\COM1)"}, PathCase{"COM9", R"(\\.\COM9)"},
                      PathCase{"COM10", R"(\\.\COM10)"}, PathCase{"COM12", R"(\\.\COM12)"},
                      PathCase{"COM255", R"(\\.\COM255)"},
                      // Windows takes device names in any case; so does the rule.
                      PathCase{"com3", R"(\\.\com3)"}, PathCase{"Com12", R"(\\.\Com12)"}));

INSTANTIATE_TEST_SUITE_P(
    OtherNames, SerialDevicePathTest,
    ::testing::Values(
        PathCase{R"(\\.\COM12)", R"(\\.\COM12)"},
        PathCase{R"(\\?\usb#vid_3e9a&pid_0001#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed})",
                 R"(\\?\usb#vid_3e9a&pid_0001#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed})"},
        PathCase{"/dev/ttyUSB0", "/dev/ttyUSB0"}, PathCase{"USB", "USB"}, PathCase{"", ""},
        PathCase{"COM", "COM"}, PathCase{"COMX", "COMX"}, PathCase{"COM1A", "COM1A"},
        PathCase{"COM3:", "COM3:"}, PathCase{"COM 3", "COM 3"}, PathCase{"XCOM3", "XCOM3"},
        PathCase{"LPT1", "LPT1"}));

}  // namespace
