#pragma once
// The user-visible texts of the logic. They are Russian, in UTF-8, and they are the source
// texts of the window's translations: each one stands in the code marked with
// QT_TRANSLATE_NOOP("TForm1", "...") so that Qt's translation tools find it, while the logic
// itself holds no Qt (the marker is only the text here). A text with variable parts is a
// template with the places %1, %2, ... (up to %9), filled in by FillTemplate; the view keeps
// the template and its arguments, so that it can show the template's translation filled in
// with the same arguments.

#include <string>
#include <vector>

#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(scope, text) text
#endif

namespace app {

// The context of every text of the main window's logic in the translations.
inline constexpr const char* kTextContext = "TForm1";

// The template with each %n (n from 1 to 9) replaced by args[n - 1]; a place without an
// argument, and a % not followed by a digit, stay as they are. Arguments are inserted as they
// are (a % in one is not a place).
std::string FillTemplate(const std::string& text, const std::vector<std::string>& args);

}  // namespace app
