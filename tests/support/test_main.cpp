#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/MessageQueue.h"

// The test thread is the platform's main thread: handlers and run-on-main calls run on it
// whenever a test pumps (WaitUntil does).
int main(int argc, char** argv) {
  platform::InitMainThread();
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
