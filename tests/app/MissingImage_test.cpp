// A program built without the firmware image: start-up says so in an error box and goes on.

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>

#include "app/FirmwareImage.h"
#include "app/qt/MainWindow.h"
#include "tests/app/support/QtWait.h"

namespace {

TEST(MissingImage, StartUpShowsTheErrorBoxAndGoesOn) {
  EXPECT_FALSE(app::FindResource("WBLOCK").has_value());
  EXPECT_EQ(app::GetUpdateVersion(), "");

  apptest::TBoxCloser closer;
  appqt::TMainWindow window;
  ASSERT_EQ(closer.Seen().size(), 1u);
  EXPECT_EQ(closer.Seen()[0].Title, QString::fromUtf8("Ошибка"));
  EXPECT_EQ(closer.Seen()[0].Text,
            QString::fromUtf8("В исполняемом файле утилиты для обновления Vexilora отсутствует "
                              "программное обеспечение Vexilora!"));
  EXPECT_EQ(closer.Seen()[0].Icon, QMessageBox::Critical);

  // Start-up went on: the caption is there, the update box stays empty, the window shows and
  // searches for the device.
  EXPECT_EQ(window.windowTitle(), QString::fromUtf8("Обновление Vexilora  v2.0.3017.3452"));
  EXPECT_EQ(window.findChild<QLineEdit*>("uiTEUpVer")->text(), QString());
  window.show();
  ASSERT_TRUE(apptest::QtWaitUntil([&] { return window.isVisible(); }));
  EXPECT_EQ(window.findChild<QLabel*>("uiLabel1")->text(),
            QString::fromUtf8("Пожалуйста, подключите Vexilora к компьютеру!"));
  EXPECT_EQ(closer.Seen().size(), 1u);
  apptest::SaveScreenshot(&window, "main-missing-image");
}

}  // namespace
