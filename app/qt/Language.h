#pragma once
// The window's language. The texts in the code are Russian and are what the window shows by
// default; an English locale gets the English translation (translations/, compiled into the
// program). Texts of the logic (app/Texts.h) are translated in the context "TForm1" as the
// view shows them; the windows' own texts through tr().

#include <QString>
#include <QTranslator>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace appqt {

enum class TLanguage { Russian, English };

// The language from the environment, picked as gettext picks a message catalogue: the first
// of LC_ALL, LC_MESSAGES and LANG that is set names the locale; when that locale is anything
// but C or POSIX, LANGUAGE (a colon-separated list, when set) comes first and its first
// entry of a language the window has (Russian or English) decides; otherwise the locale's
// language does. English when that language is "en", Russian for every other case (no
// translation exists for it, and Russian is the texts' own language).
TLanguage LanguageFromEnvironment(const std::function<const char*(const char*)>& getEnv =
                                      [](const char* name) {
                                        return static_cast<const char*>(std::getenv(name));
                                      });

// The translations of one language installed into the application for the lifetime of the
// object: the window's own (none for Russian) and Qt's for its standard texts (context menus
// of the text boxes), the latter when the system has them.
class TTranslations {
 public:
  explicit TTranslations(TLanguage language);
  ~TTranslations();
  TTranslations(const TTranslations&) = delete;
  TTranslations& operator=(const TTranslations&) = delete;

  TLanguage Language() const { return language_; }
  // Whether the window's own translation was loaded (always false for Russian).
  bool Loaded() const { return loaded_; }

 private:
  TLanguage language_;
  bool loaded_ = false;
  std::vector<std::unique_ptr<QTranslator>> installed_;
};

// A text of the logic (a Russian source text of app/Texts.h) in the window's language; a text
// that has no translation stays as it is.
QString TranslateLogicText(const std::string& source);
// A status template of the logic, translated, filled in with its arguments, and with its
// carriage returns turned into the label's line breaks.
QString TranslateStatusText(const std::string& source, const std::vector<std::string>& args);

}  // namespace appqt
