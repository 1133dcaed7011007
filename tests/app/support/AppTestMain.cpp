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

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer. Its thread pool (used for image work while painting)
// hands tasks, their memory and wait conditions between its threads through synchronisation
// the sanitizer cannot see; these names are Qt's own internals only. called_from_lib: the
// memory Qt's painting code allocates and frees on the pool's threads.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Gui.so.6\n"
         "race:QThreadPoolPrivate::enqueueTask\n"
         "race:QWaitCondition::~QWaitCondition\n"
         "race:QRunnable::create\n";
}
#endif
