#include "app/qt/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <algorithm>
#include <cstdlib>
#include <optional>

#include "app/Texts.h"

namespace appqt {

namespace {

// The language part of a locale name such as "en_GB.UTF-8@euro".
std::string LanguageOf(const std::string& locale) {
  const size_t end = locale.find_first_of("_.@");
  return locale.substr(0, end);
}

bool IsCLocale(const std::string& locale) {
  return locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0;
}

std::optional<TLanguage> Known(const std::string& language) {
  if (language == "en") return TLanguage::English;
  if (language == "ru") return TLanguage::Russian;
  return std::nullopt;
}

}  // namespace

TLanguage LanguageFromEnvironment(const std::function<const char*(const char*)>& getEnv) {
  auto value = [&](const char* name) -> std::string {
    const char* v = getEnv(name);
    return v != nullptr ? std::string(v) : std::string();
  };
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    locale = value(name);
    if (!locale.empty()) break;
  }
  if (locale.empty() || IsCLocale(locale)) return TLanguage::Russian;
  const std::string list = value("LANGUAGE");
  if (!list.empty()) {
    // Like gettext: the list replaces the locale's language; an entry without a translation
    // passes on to the next, and a list of none of them leaves the source texts.
    size_t start = 0;
    while (start <= list.size()) {
      const size_t end = std::min(list.find(':', start), list.size());
      if (const std::optional<TLanguage> known = Known(LanguageOf(list.substr(start, end - start))))
        return *known;
      start = end + 1;
    }
    return TLanguage::Russian;
  }
  return Known(LanguageOf(locale)).value_or(TLanguage::Russian);
}

TTranslations::TTranslations(TLanguage language) : language_(language) {
  const QString code = language == TLanguage::English ? QStringLiteral("en") : QStringLiteral("ru");
  if (language == TLanguage::English) {
    auto own = std::make_unique<QTranslator>();
    // Compiled into the program from translations/vexilora-update_en.ts.
    if (own->load(QStringLiteral(":/i18n/vexilora-update_en.qm"))) {
      QCoreApplication::installTranslator(own.get());
      installed_.push_back(std::move(own));
      loaded_ = true;
    }
  }
  // Qt's own texts are English in the library; other languages come with the system's
  // translations package, when it is installed.
  if (language != TLanguage::English) {
    auto qt = std::make_unique<QTranslator>();
    if (qt->load(QStringLiteral("qtbase_") + code,
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
      QCoreApplication::installTranslator(qt.get());
      installed_.push_back(std::move(qt));
    }
  }
}

TTranslations::~TTranslations() {
  for (const std::unique_ptr<QTranslator>& t : installed_)
    QCoreApplication::removeTranslator(t.get());
}

QString TranslateLogicText(const std::string& source) {
  return QCoreApplication::translate(app::kTextContext, source.c_str());
}

QString TranslateStatusText(const std::string& source, const std::vector<std::string>& args) {
  // The arguments go into the translated template as they are (versions, system texts).
  const QByteArray translated = TranslateLogicText(source).toUtf8();
  QString text = QString::fromStdString(
      app::FillTemplate(std::string(translated.constData(), translated.size()), args));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

}  // namespace appqt
