// SPDX-License-Identifier: MIT
// The Win32 serial link on a real COM port, opened by the name the port list
// shows (COM9, and COM12, which the system opens only as "\\.\COM12"). Run
// by run_serial_test.sh, which points the port at a pseudo-terminal whose far
// end echoes every byte and logs the line speed; without MORVIX_TEST_COM_PORT
// the test is skipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "link/serial.h"

namespace {

std::string PortUnderTest() {
  const char* port = std::getenv("MORVIX_TEST_COM_PORT");
  return port != nullptr ? port : "";
}

std::vector<uint8_t> Echo(Link& link, const std::vector<uint8_t>& bytes) {
  EXPECT_EQ(link.Write(bytes.data(), bytes.size()), bytes.size());
  std::vector<uint8_t> back(bytes.size());
  back.resize(link.Read(back.data(), back.size()));
  return back;
}

TEST(Win32SerialLink, MovesEveryByteBothWaysAtBothLineSettings) {
  const std::string port = PortUnderTest();
  if (port.empty()) GTEST_SKIP() << "MORVIX_TEST_COM_PORT is not set";
  auto link = OpenSerialLink(port).link;
  ASSERT_NE(link, nullptr) << port;

  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  all.push_back('\r');
  all.push_back('\n');

  link->ApplyLineSettings(kLoaderLineSettings);
  link->SetTimeouts(kExchangeTimeouts);
  EXPECT_EQ(Echo(*link, all), all);

  // 7-bit text at the application settings.
  link->ApplyLineSettings(kApplicationLineSettings);
  const std::vector<uint8_t> frame = {':', '0', '0', '7', 'F', '8', '1', '\r', '\n'};
  EXPECT_EQ(Echo(*link, frame), frame);

  link->ApplyLineSettings(kLoaderLineSettings);
  EXPECT_EQ(Echo(*link, all), all);
}

TEST(Win32SerialLink, ReadTimesOutWithWhatArrived) {
  const std::string port = PortUnderTest();
  if (port.empty()) GTEST_SKIP() << "MORVIX_TEST_COM_PORT is not set";
  auto link = OpenSerialLink(port).link;
  ASSERT_NE(link, nullptr);
  link->ApplyLineSettings(kLoaderLineSettings);
  link->SetTimeouts(kShortTimeouts);
  const uint8_t five[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(link->Write(five, 5), 5u);
  uint8_t reply[19] = {};
  EXPECT_EQ(link->Read(reply, sizeof reply), 5u);  // the echo, then the 200 ms time-out
}

TEST(Win32SerialLink, NameAlreadyInTheDeviceFormOpensTheSamePort) {
  const std::string port = PortUnderTest();
  if (port.empty()) GTEST_SKIP() << "MORVIX_TEST_COM_PORT is not set";
  auto link = OpenSerialLink("\\\\.\\" + port).link;
  ASSERT_NE(link, nullptr);
  link->ApplyLineSettings(kLoaderLineSettings);
  link->SetTimeouts(kShortTimeouts);
  const std::vector<uint8_t> bytes = {0x06, 0x15, 0x04};
  EXPECT_EQ(Echo(*link, bytes), bytes);
}

// The port's settings as a program that opens it finds them; with `change`,
// changed and written back as that program would leave them.
DCB PortState(const std::string& port, void (*change)(DCB&) = nullptr) {
  const std::string path = "\\\\.\\" + port;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path;
  EXPECT_TRUE(GetCommState(handle, &dcb));
  if (change != nullptr) {
    change(dcb);
    EXPECT_TRUE(SetCommState(handle, &dcb));
  }
  CloseHandle(handle);
  return dcb;
}

// Another program left the port stripping NULs and with XON/XOFF both ways.
// Wine keeps only what the terminal itself holds (XON/XOFF, not NUL
// stripping), so that is what the link's own settings meet here.
TEST(Win32SerialLink, SettingsAnotherProgramLeftDoNotHoldBytesBack) {
  const std::string port = PortUnderTest();
  if (port.empty()) GTEST_SKIP() << "MORVIX_TEST_COM_PORT is not set";
  PortState(port, [](DCB& dcb) {
    dcb.fNull = TRUE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
  });
  const DCB left = PortState(port);
  ASSERT_TRUE(left.fOutX && left.fInX) << "the port did not keep what the other program left";

  auto link = OpenSerialLink(port).link;
  ASSERT_NE(link, nullptr);
  link->ApplyLineSettings(kLoaderLineSettings);
  link->SetTimeouts(kShortTimeouts);
  // A loader reply with a 0x00 in it, and the two flow-control bytes.
  const std::vector<uint8_t> bytes = {0x06, 0x00, 0x17, 0x11, 0x13, 0x00};
  EXPECT_EQ(Echo(*link, bytes), bytes);
  link.reset();
  const DCB after = PortState(port);
  EXPECT_FALSE(after.fNull || after.fOutX || after.fInX);
}

TEST(Win32SerialLink, MissingPortDoesNotOpenAndSaysSo) {
  for (const char* port : {"COM77", "COM123", ""}) {
    const LinkOpening opening = OpenSerialLink(port);
    EXPECT_EQ(opening.link, nullptr) << port;
    EXPECT_EQ(opening.failure, OpenFailure::kMissing) << port;
  }
}

}  // namespace
