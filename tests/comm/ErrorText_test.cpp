#include "comm/ErrorText.h"

#include <gtest/gtest.h>

TEST(ErrorText, LooksUpByAbsoluteValue) {
  EXPECT_EQ(comm::ErrorText(-2008), "ie_Open - device already open");
  EXPECT_EQ(comm::ErrorText(2008), "ie_Open - device already open");
}
