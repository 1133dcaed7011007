#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "platform/MessageQueue.h"

// The window tests run offscreen in one application; the test thread is the platform's main
// thread and Qt's GUI thread at once, as in the program.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  platform::InitMainThread();
  QApplication application(argc, argv);
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
