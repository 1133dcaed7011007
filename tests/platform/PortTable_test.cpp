#include "platform/PortTable.h"

#include <gtest/gtest.h>

#include "platform/SystemText.h"

using namespace platform;

// The table lives for the whole process, so each case uses paths of its own.
TEST(PortTable, NumbersArePerPathAndStable) {
  const int first = EnterPortPath("/dev/test-port-a");
  const int second = EnterPortPath("/dev/test-port-b");
  EXPECT_GE(first, 1);
  EXPECT_NE(first, second);
  EXPECT_EQ(EnterPortPath("/dev/test-port-a"), first);
  EXPECT_EQ(PortPath(first), "/dev/test-port-a");
  EXPECT_EQ(PortPath(second), "/dev/test-port-b");
  EXPECT_EQ(PortPath(0), "");
  EXPECT_EQ(PortPath(999), "");
}

TEST(PortTable, TakesTheLowestFreeNumber) {
  int last = 0;
  for (int i = 0; i < 5; ++i) last = EnterPortPath("/dev/test-fill-" + std::to_string(i));
  // The numbers are dense from 1, so the next path gets the one after the highest.
  EXPECT_EQ(EnterPortPath("/dev/test-fill-next"), last + 1);
  for (int n = 1; n <= last + 1; ++n) EXPECT_NE(PortPath(n), "") << n;
}

TEST(PortTable, DeviceNamesResolveThroughTheTable) {
  const int number = EnterPortPath("/dev/test-named");
  EXPECT_EQ(DeviceNamePath("\\\\.\\COM" + std::to_string(number)), "/dev/test-named");
  for (const char* bad :
       {"", "COM1", "\\\\.\\COM", "\\\\.\\COM0", "\\\\.\\COMx", "\\\\.\\COM-1", "\\\\.\\COM1 ",
        "\\\\.\\com1", "\\\\.\\COM99999999999", "\\\\.\\COM9999"}) {
    EXPECT_EQ(DeviceNamePath(bad), "") << bad;
  }
}

TEST(SystemText, ErrorTextsAndOperatingSystem) {
  EXPECT_EQ(SystemErrorText(13), "Permission denied");
  EXPECT_EQ(SystemErrorText(2), "No such file or directory");
  EXPECT_EQ(SystemErrorText(4725), "");
  EXPECT_EQ(SystemErrorText(0), "");
  EXPECT_EQ(SystemErrorText(-5), "");
  EXPECT_EQ(OperatingSystemText().rfind("Linux ", 0), 0u) << OperatingSystemText();
}
