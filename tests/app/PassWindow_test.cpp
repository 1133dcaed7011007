// The password window offscreen: its design, what can be typed, its two buttons and what
// closing it does to the main window and the update.

#include "app/qt/PassWindow.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/qt/MainWindow.h"
#include "tests/app/support/QtWait.h"

namespace {

using apptest::QtWaitUntil;

const char* const kCannotConnect =
    "Не удается подключиться к Vexilora. Пожалуйста, отключите её от компьютера и подключите "
    "снова.";

// Types text as key presses carrying the characters (as a keyboard layout with them would).
void Type(QWidget* w, const QString& text) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QCoreApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
    QCoreApplication::sendEvent(w, &release);
  }
}

class PassWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    main_ = std::make_unique<appqt::TMainWindow>();
    main_->show();
    ASSERT_TRUE(QtWaitUntil([&] { return main_->isVisible(); }));
    // A device that asked for a password; the update button is on.
    Form().PasswordRequired = true;
    Form().SetButtonEnabled(true);
  }
  void TearDown() override { main_.reset(); }

  app::TForm1& Form() { return main_->Form(); }
  QPushButton* UpdateButton() { return main_->findChild<QPushButton*>("uiButton1"); }
  appqt::TForm2* Open() {
    const size_t before = main_->PasswordWindows().size();
    QTest::mouseClick(UpdateButton(), Qt::LeftButton);
    EXPECT_EQ(main_->PasswordWindows().size(), before + 1);
    appqt::TForm2* w = main_->PasswordWindows().back().get();
    EXPECT_TRUE(QtWaitUntil([&] { return w->isVisible(); }));
    return w;
  }

  std::unique_ptr<appqt::TMainWindow> main_;
};

TEST_F(PassWindowTest, OpensCentredOnTopAndHoldsTheMainWindow) {
  appqt::TForm2* w = Open();
  EXPECT_EQ(w->size(), QSize(193, 85));
  EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Пароль"));
  EXPECT_EQ(w->frameGeometry().center(), main_->frameGeometry().center());

  auto* label = w->findChild<QLabel*>("uiLabel1");
  EXPECT_EQ(label->pos(), QPoint(16, 16));
  EXPECT_EQ(label->text(), QString::fromUtf8("Пароль:"));
  EXPECT_EQ(w->TextEdit()->geometry().topLeft(), QPoint(83, 15));
  EXPECT_EQ(w->TextEdit()->width(), 89);
  EXPECT_EQ(w->TextEdit()->echoMode(), QLineEdit::Password);
  EXPECT_EQ(w->TextEdit()->maxLength(), 8);
  EXPECT_EQ(w->TextEdit()->text(), QString());
  EXPECT_EQ(w->OkButton()->geometry(), QRect(16, 48, 75, 20));
  EXPECT_EQ(w->OkButton()->text(), QString::fromUtf8("Ок"));
  EXPECT_EQ(w->CancelButton()->geometry(), QRect(97, 48, 75, 20));
  EXPECT_EQ(w->CancelButton()->text(), QString::fromUtf8("Отмена"));
  // Tab order: the box, "Ок", "Отмена"; neither button is a default one.
  EXPECT_EQ(w->TextEdit()->nextInFocusChain(), w->OkButton());
  EXPECT_EQ(w->OkButton()->nextInFocusChain(), w->CancelButton());
  EXPECT_FALSE(w->OkButton()->isDefault() || w->OkButton()->autoDefault());
  EXPECT_FALSE(w->CancelButton()->isDefault() || w->CancelButton()->autoDefault());

  // The main window takes no input meanwhile: its button does not open a second window.
  EXPECT_FALSE(Form().View().Enabled);
  EXPECT_FALSE(main_->isEnabled());
  QTest::mouseClick(UpdateButton(), Qt::LeftButton);
  EXPECT_EQ(main_->PasswordWindows().size(), 1u);
  apptest::SaveScreenshot(w, "password-window");
}

TEST_F(PassWindowTest, TakesAtMostEightCharactersOfTheDevicesCodePage) {
  appqt::TForm2* w = Open();
  QTest::keyClicks(w->TextEdit(), "123456789");
  EXPECT_EQ(w->TextEdit()->text(), "12345678");
  w->TextEdit()->clear();
  Type(w->TextEdit(), QString::fromUtf8("Пар日ль€"));
  EXPECT_EQ(w->TextEdit()->text(), QString::fromUtf8("Парль€"));
  // Enter and Escape do nothing special.
  QTest::keyClick(w->TextEdit(), Qt::Key_Return);
  QTest::keyClick(w->TextEdit(), Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_TRUE(w->isVisible());
  EXPECT_FALSE(main_->isEnabled());
}

TEST_F(PassWindowTest, CancelReenablesTheMainWindowAndStartsNothing) {
  Form().Password = "kept";
  Form().DialogueState = app::dsAwaitProbe;
  appqt::TForm2* w = Open();
  QTest::keyClicks(w->TextEdit(), "abcd");
  QTest::mouseClick(w->CancelButton(), Qt::LeftButton);
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(w->ModalResult(), 2);
  EXPECT_TRUE(main_->isEnabled());
  EXPECT_EQ(Form().Password, "kept");
  EXPECT_EQ(Form().DialogueState, 0);  // StartUpdate did not run
}

TEST_F(PassWindowTest, OkStoresThePasswordAndStartsTheUpdate) {
  struct Case {
    const char* Typed;
    const char* Stored;
  };
  const Case cases[] = {{"abcd", "abcd"}, {"", ""}, {"Пароль", "Пароль"}};
  for (const Case& c : cases) {
    Form().DialogueState = app::dsAwaitProbe;
    Form().SetStatusText("before");
    appqt::TForm2* w = Open();
    // Every click makes a new window with an empty box.
    EXPECT_EQ(w->TextEdit()->text(), QString());
    Type(w->TextEdit(), QString::fromUtf8(c.Typed));
    QTest::mouseClick(w->OkButton(), Qt::LeftButton);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(w->ModalResult(), 1);
    EXPECT_TRUE(main_->isEnabled());
    EXPECT_EQ(Form().Password, c.Stored);
    // StartUpdate ran: with no port here to open, the window says it cannot connect.
    EXPECT_EQ(Form().UpdateOutcome(), app::uoCannotOpen) << c.Typed;
    EXPECT_EQ(Form().View().uiLabel1, kCannotConnect) << c.Typed;
  }
  EXPECT_EQ(main_->PasswordWindows().size(), 3u);
}

TEST_F(PassWindowTest, ClosedAnyOtherWayItOnlyReenablesTheMainWindow) {
  Form().DialogueState = app::dsAwaitProbe;
  appqt::TForm2* w = Open();
  QTest::keyClicks(w->TextEdit(), "abcd");
  w->close();
  EXPECT_EQ(w->ModalResult(), 0);
  EXPECT_TRUE(main_->isEnabled());
  EXPECT_EQ(Form().DialogueState, 0);
  EXPECT_EQ(Form().Password, "");
}

TEST_F(PassWindowTest, ClosingTheMainWindowClosesAnOpenPasswordWindow) {
  Form().DialogueState = app::dsAwaitProbe;
  appqt::TForm2* w = Open();
  main_->close();
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(w->ModalResult(), 0);
  EXPECT_EQ(Form().DialogueState, 0);
}

TEST_F(PassWindowTest, WithoutAPasswordTheButtonStartsTheUpdateAtOnce) {
  Form().PasswordRequired = false;
  Form().DialogueState = app::dsAwaitProbe;
  QTest::mouseClick(UpdateButton(), Qt::LeftButton);
  EXPECT_TRUE(main_->PasswordWindows().empty());
  EXPECT_EQ(Form().UpdateOutcome(), app::uoCannotOpen);
  EXPECT_EQ(Form().View().uiLabel1, kCannotConnect);
}

}  // namespace
