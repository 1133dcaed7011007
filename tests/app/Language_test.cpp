// The window's two languages: which one the environment picks, and every text of the main
// window, its message boxes and the password window in Russian (the source texts, no
// translation installed) and in English (the translation compiled into the program), for
// every row of the version presentation, the "not connected" state and the no-reply text. A
// text without a translation shows its Russian source.

#include "app/qt/Language.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/Main.h"
#include "app/qt/MainWindow.h"
#include "app/qt/PassWindow.h"
#include "tests/app/support/QtWait.h"

namespace {

using appqt::TLanguage;
using apptest::QtWaitUntil;

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// ---- the choice --------------------------------------------------------------------------------

TEST(LanguageChoice, FollowsTheLocaleAsGettextPicksACatalogue) {
  struct Case {
    const char* Name;
    std::map<std::string, std::string> Env;
    TLanguage Expected;
  };
  const TLanguage ru = TLanguage::Russian, en = TLanguage::English;
  const Case cases[] = {
      {"nothing set", {}, ru},
      {"English LANG", {{"LANG", "en_US.UTF-8"}}, en},
      {"British LANG", {{"LANG", "en_GB"}}, en},
      {"bare en", {{"LANG", "en"}}, en},
      {"English with a modifier", {{"LANG", "en_IE@euro"}}, en},
      {"Russian LANG", {{"LANG", "ru_RU.UTF-8"}}, ru},
      {"German LANG", {{"LANG", "de_DE.UTF-8"}}, ru},
      {"C", {{"LANG", "C"}}, ru},
      {"POSIX", {{"LANG", "POSIX"}}, ru},
      {"C.UTF-8", {{"LANG", "C.UTF-8"}}, ru},
      {"a language merely starting with en", {{"LANG", "eo_XX"}}, ru},
      {"LC_ALL over LANG", {{"LC_ALL", "ru_RU.UTF-8"}, {"LANG", "en_US.UTF-8"}}, ru},
      {"LC_ALL English", {{"LC_ALL", "en_US.UTF-8"}, {"LANG", "ru_RU.UTF-8"}}, en},
      {"LC_MESSAGES over LANG", {{"LC_MESSAGES", "en_US.UTF-8"}, {"LANG", "ru_RU.UTF-8"}}, en},
      {"LC_ALL over LC_MESSAGES", {{"LC_ALL", "C"}, {"LC_MESSAGES", "en_US.UTF-8"}}, ru},
      {"an empty LC_ALL counts as unset", {{"LC_ALL", ""}, {"LC_MESSAGES", "en_GB.UTF-8"}}, en},
      {"LANGUAGE over the locale", {{"LANGUAGE", "en"}, {"LANG", "ru_RU.UTF-8"}}, en},
      {"LANGUAGE: the first known entry", {{"LANGUAGE", "de:en_GB:ru"}, {"LANG", "de_DE"}}, en},
      {"LANGUAGE: Russian first", {{"LANGUAGE", "ru:en"}, {"LANG", "en_US.UTF-8"}}, ru},
      {"LANGUAGE of none known leaves the source", {{"LANGUAGE", "de"}, {"LANG", "en_US"}}, ru},
      {"LANGUAGE with empty entries", {{"LANGUAGE", "::en"}, {"LANG", "de_DE"}}, en},
      {"LANGUAGE is ignored in the C locale", {{"LANGUAGE", "en"}, {"LANG", "C"}}, ru},
      {"LANGUAGE is ignored without a locale", {{"LANGUAGE", "en"}}, ru},
  };
  for (const Case& c : cases) {
    const TLanguage got = appqt::LanguageFromEnvironment([&](const char* name) -> const char* {
      const auto it = c.Env.find(name);
      return it == c.Env.end() ? nullptr : it->second.c_str();
    });
    EXPECT_EQ(got, c.Expected) << c.Name;
  }
}

TEST(LanguageChoice, TheEnglishTranslationIsCompiledIn) {
  const appqt::TTranslations english(TLanguage::English);
  EXPECT_TRUE(english.Loaded());
  EXPECT_EQ(appqt::TranslateLogicText(app::kAbsent), Q("Not available"));
  const appqt::TTranslations russian(TLanguage::Russian);
  EXPECT_FALSE(russian.Loaded());
}

// ---- the window's texts -------------------------------------------------------------------------

struct TTexts {
  const char* Russian;
  const char* English;
  const char* In(TLanguage l) const { return l == TLanguage::English ? English : Russian; }
};

class WindowLanguageTest : public ::testing::TestWithParam<TLanguage> {
 protected:
  void SetUp() override {
    if (GetParam() == TLanguage::English) {
      translations_.emplace(TLanguage::English);
      ASSERT_TRUE(translations_->Loaded());
    }
    window_ = std::make_unique<appqt::TMainWindow>();
  }
  void TearDown() override {
    window_.reset();
    translations_.reset();
  }

  template <typename T>
  T* Find(const char* name) {
    T* w = window_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QString Status() { return Find<QLabel>("uiLabel1")->text(); }
  QString Box(const char* name) { return Find<QLineEdit>(name)->text(); }
  QString Text(const TTexts& t) { return Q(t.In(GetParam())); }
  std::string Suffix() const { return GetParam() == TLanguage::English ? "-en" : "-ru"; }
  app::TForm1& Form() { return window_->Form(); }

  std::optional<appqt::TTranslations> translations_;
  std::unique_ptr<appqt::TMainWindow> window_;
};

TEST_P(WindowLanguageTest, CaptionLabelsButtonAndTheStateBeforeTheFirstSearch) {
  EXPECT_EQ(window_->windowTitle(),
            Text({"Обновление Vexilora  v2.0.3017.3452", "Vexilora Update  v2.0.3017.3452"}));
  EXPECT_EQ(Find<QLabel>("uiLHWVer")->text(), Text({"Аппаратная версия :", "Hardware version:"}));
  EXPECT_EQ(Find<QLabel>("uiLSWVer")->text(), Text({"Программная версия :", "Software version:"}));
  EXPECT_EQ(Find<QLabel>("uiLUpVer")->text(), Text({"Версия обновления :", "Update version:"}));
  EXPECT_EQ(Find<QPushButton>("uiButton1")->text(), Text({"Обновить Vexilora", "Update Vexilora"}));
  EXPECT_EQ(Box("uiTEHWVer"), Text({"Отсутствует", "Not available"}));
  EXPECT_EQ(Box("uiTESWVer"), Text({"Отсутствует", "Not available"}));
  EXPECT_EQ(Box("uiTEUpVer"), Q("2.0.0.3452"));
  EXPECT_EQ(Status(), Text({"Подключите изделие к ПК.", "Connect the device to the computer."}));
  // The logic's state stays in the source language whatever the window shows.
  EXPECT_EQ(Form().View().uiTEHWVer, app::kAbsent);
  // Every label still fits beside its box.
  for (const char* name : {"uiLHWVer", "uiLSWVer", "uiLUpVer"})
    EXPECT_LE(Find<QLabel>(name)->geometry().right(), 153) << name;
}

TEST_P(WindowLanguageTest, EveryVersionStatusRowNotConnectedAndNoReply) {
  const TTexts kNoHardware = {
      "Не удалось получить аппаратную версию подключенной к компьютеру Vexilora.\n"
      "Попробуйте отключить Vexilora от компьютера и подключить ее снова.",
      "Could not read the hardware version of the Vexilora connected to the computer.\n"
      "Try disconnecting the Vexilora from the computer and connecting it again."};
  const TTexts kIncompatible = {
      "Поддерживается обновление Vexilora с аппаратной версией 2.0. \n"
      "Обновление Vexilora невозможно.",
      "Only a Vexilora with hardware version 2.0 can be updated. \n"
      "This Vexilora cannot be updated."};
  const TTexts kUnreadable = {
      "Не удалось получить версию программного обеспечения, установленного в Vexilora.\n"
      "Тем не менее, программное обеспечение Vexilora можно обновить.",
      "Could not read the version of the software installed in the Vexilora.\n"
      "The Vexilora software can be updated nevertheless."};
  const TTexts kUpdatable = {
      "Программное обеспечение подключенной к компьютеру Vexilora можно обновить.",
      "The software of the Vexilora connected to the computer can be updated."};
  const TTexts kDowngrade = {
      "В результате обновления в Vexilora будет установленая предыдущая версия программного "
      "обеспечения.",
      "This update will install an earlier software version in the Vexilora."};
  const TTexts kAbsentBox = {"Отсутствует", "Not available"};
  const TTexts kBootloaderBox = {"Загрузчик", "Bootloader"};
  struct Row {
    const char* Name;
    const char* Hardware;  // nullptr: absent
    const char* Software;  // nullptr: absent
    TTexts Status;
    int Icon;
    std::optional<TTexts> SoftwareBox;  // the box's text after the presentation, when a word
  };
  const Row rows[] = {
      {"no-hardware", nullptr, "2.0.0.3452", kNoHardware, app::iiError, std::nullopt},
      {"incompatible", "2.1", "2.0.0.3452", kIncompatible, app::iiNotAllowed, std::nullopt},
      {"bootloader", "2.0", nullptr, kUnreadable, app::iiWarning, kBootloaderBox},
      {"unreadable-software", "2.0", "2.0.0", kUnreadable, app::iiWarning, kBootloaderBox},
      {"updatable", "2.0", "2.0.0.3452", kUpdatable, app::iiSuccess, std::nullopt},
      {"downgrade", "2.0", "2.0.0.3453", kDowngrade, app::iiWarning, std::nullopt},
  };
  window_->show();
  ASSERT_TRUE(QtWaitUntil([&] { return window_->isVisible(); }));
  for (const Row& r : rows) {
    Form().SetHWVerText(r.Hardware != nullptr ? r.Hardware : app::kAbsent);
    Form().SetSWVerText(r.Software != nullptr ? r.Software : app::kAbsent);
    Form().ShowVersionStatus();
    EXPECT_EQ(Status(), Text(r.Status)) << r.Name;
    EXPECT_EQ(window_->ShownIcon(), r.Icon) << r.Name;
    EXPECT_EQ(Box("uiTEHWVer"), r.Hardware != nullptr ? Q(r.Hardware) : Text(kAbsentBox)) << r.Name;
    const QString software = r.SoftwareBox ? Text(*r.SoftwareBox) : Q(r.Software);
    EXPECT_EQ(Box("uiTESWVer"), software) << r.Name;
    apptest::SaveScreenshot(window_.get(), "language-" + std::string(r.Name) + Suffix());
  }

  Form().ShowNotConnected();
  EXPECT_EQ(Status(), Text({"Пожалуйста, подключите Vexilora к компьютеру!",
                            "Please connect the Vexilora to the computer!"}));
  EXPECT_EQ(Box("uiTEHWVer"), Text(kAbsentBox));
  EXPECT_EQ(Box("uiTESWVer"), Text(kAbsentBox));
  apptest::SaveScreenshot(window_.get(), "language-not-connected" + Suffix());

  Form().DataPacket1Timeout(&Form().DataPacket1);
  EXPECT_EQ(Status(), Text({"Не удается получить ответ от Vexilora. Пожалуйста, отключите её от "
                            "компьютера и подключите снова.",
                            "The Vexilora does not answer. Please disconnect it from the "
                            "computer and connect it again."}));
  apptest::SaveScreenshot(window_.get(), "language-no-reply" + Suffix());
}

TEST_P(WindowLanguageTest, ADevicesVersionIsShownAsTheDeviceSaidIt) {
  // Only the logic's own words in the boxes are translated; a device's reply that happens to
  // be another text of the logic, or carries a template's place, stays what it was.
  Form().SetHWVerText("Ошибка");
  Form().SetSWVerText("Загрузчик 2 %1");
  EXPECT_EQ(Box("uiTEHWVer"), Q("Ошибка"));
  EXPECT_EQ(Box("uiTESWVer"), Q("Загрузчик 2 %1"));
}

TEST_P(WindowLanguageTest, AStatusTemplateWithoutATranslationShowsItsRussianSource) {
  // A text added to the logic before its translation: the Russian source, filled in.
  Form().SetStatusText("Новый текст без перевода: %1.\rВторая строка.", {"EIO"});
  EXPECT_EQ(Status(), Q("Новый текст без перевода: EIO.\nВторая строка."));
  // A translated template keeps its arguments, whatever they hold.
  Form().SetStatusText(
      "Поддерживается обновление Vexilora с аппаратной версией %1.%2. \rОбновление Vexilora "
      "невозможно.",
      {"%2", "7"});
  EXPECT_EQ(Status(), Text({"Поддерживается обновление Vexilora с аппаратной версией %2.7. \n"
                            "Обновление Vexilora невозможно.",
                            "Only a Vexilora with hardware version %2.7 can be updated. \n"
                            "This Vexilora cannot be updated."}));
}

TEST_P(WindowLanguageTest, MessageBoxesAndThePasswordWindow) {
  std::vector<QString> buttons;
  apptest::TBoxCloser closer([&](const apptest::TSeenBox&) {
    if (QMessageBox* box = apptest::FindMessageBox())
      buttons.push_back(box->button(QMessageBox::Ok)->text());
  });
  window_->MessageBox(
      "Ошибка",
      "В исполняемом файле утилиты для обновления Vexilora отсутствует программное обеспечение "
      "Vexilora!",
      app::TMessageIcon::Error);
  window_->MessageBox("", "Программное обеспечение Vexilora успешно обновлено.",
                      app::TMessageIcon::Information);
  // A message of the system's (an exception's) has no translation and is shown as it is.
  window_->MessageBox(app::kApplicationTitle, "ie_BadId - Specified comport doesn't exist",
                      app::TMessageIcon::Error);
  ASSERT_EQ(closer.Seen().size(), 3u);
  EXPECT_EQ(closer.Seen()[0].Title, Text({"Ошибка", "Error"}));
  EXPECT_EQ(closer.Seen()[0].Text,
            Text({"В исполняемом файле утилиты для обновления Vexilora отсутствует программное "
                  "обеспечение Vexilora!",
                  "The Vexilora update utility's executable does not contain the Vexilora "
                  "software!"}));
  EXPECT_EQ(closer.Seen()[1].Title, QString());
  EXPECT_EQ(closer.Seen()[1].Text, Text({"Программное обеспечение Vexilora успешно обновлено.",
                                         "The Vexilora software has been updated successfully."}));
  EXPECT_EQ(closer.Seen()[2].Title, Q("vexilora-update"));
  EXPECT_EQ(closer.Seen()[2].Text, Q("ie_BadId - Specified comport doesn't exist"));
  ASSERT_EQ(buttons.size(), 3u);
  for (const QString& b : buttons) EXPECT_EQ(b, Text({"ОК", "OK"}));

  window_->show();
  ASSERT_TRUE(QtWaitUntil([&] { return window_->isVisible(); }));
  window_->OpenPasswordWindow();
  appqt::TForm2* w = window_->PasswordWindows().back().get();
  ASSERT_TRUE(QtWaitUntil([&] { return w->isVisible(); }));
  EXPECT_EQ(w->windowTitle(), Text({"Пароль", "Password"}));
  EXPECT_EQ(w->findChild<QLabel*>("uiLabel1")->text(), Text({"Пароль:", "Password:"}));
  EXPECT_EQ(w->OkButton()->text(), Text({"Ок", "OK"}));
  EXPECT_EQ(w->CancelButton()->text(), Text({"Отмена", "Cancel"}));
  EXPECT_LE(w->findChild<QLabel*>("uiLabel1")->geometry().right(), 83);
  apptest::SaveScreenshot(w, "language-password" + Suffix());
  w->CancelButton()->click();
}

INSTANTIATE_TEST_SUITE_P(Languages, WindowLanguageTest,
                         ::testing::Values(TLanguage::Russian, TLanguage::English),
                         [](const ::testing::TestParamInfo<TLanguage>& info) {
                           return info.param == TLanguage::English ? "English" : "Russian";
                         });

}  // namespace
