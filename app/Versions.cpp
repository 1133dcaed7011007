#include "app/Versions.h"

#include <charconv>

#include "app/FileVersion.h"
#include "app/Main.h"

namespace app {

std::string GetField(std::string_view S, std::string_view Delim, int N) {
  if (Delim.empty() || N < 1) return {};
  const char delim = Delim.front();
  int field = 1;
  size_t start = 0;
  while (true) {
    const size_t end = S.find(delim, start);
    if (field == N)
      return std::string(S.substr(start, end == std::string_view::npos ? S.npos : end - start));
    if (end == std::string_view::npos) return {};
    start = end + 1;
    ++field;
  }
}

bool IsHardwareCompatible(std::string_view Hardware, std::string_view FileVersion) {
  const size_t n = std::min(Hardware.size(), FileVersion.size());
  int dots = 0;
  for (size_t i = 0; i < n; ++i) {
    if (Hardware[i] != FileVersion[i]) return false;
    if (Hardware[i] == '.' && ++dots == 2) return true;
  }
  return true;
}

bool TryStrToInt(std::string_view text, int& value) {
  if (text.empty()) return false;
  size_t start = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    start = 1;
  }
  const std::string_view digits = text.substr(start);
  if (digits.empty()) return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  long long magnitude = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) return false;
  const long long signedValue = negative ? -magnitude : magnitude;
  if (signedValue < INT32_MIN || signedValue > INT32_MAX) return false;
  value = static_cast<int>(signedValue);
  return true;
}

int CompareSoftwareVersions(std::string_view Installed, std::string_view Update) {
  int installed = 0;
  if (!TryStrToInt(GetField(Installed, ".", 4), installed)) return 2;
  int update = 0;
  if (!TryStrToInt(GetField(Update, ".", 4), update)) return 2;
  return installed > update ? 1 : 0;
}

void TForm1::ShowVersionStatus() {
  const std::string hardware = View().uiTEHWVer;
  const std::string software = View().uiTESWVer;
  const std::string update = View().uiTEUpVer;
  const std::string fileVersion = ExeFileVersion(ExePath());

  if (hardware == kAbsent) {
    SetStatusText(QT_TRANSLATE_NOOP(
        "TForm1",
        "Не удалось получить аппаратную версию подключенной к компьютеру Vexilora.\r"
        "Попробуйте отключить Vexilora от компьютера и подключить ее снова."));
    ShowIcon(iiError);
    return;
  }
  // Without its own version the utility cannot tell which hardware its image is for: an empty
  // version would pass every hardware. No update is offered rather than one that may not fit.
  if (fileVersion.empty()) {
    SetStatusText(QT_TRANSLATE_NOOP(
        "TForm1",
        "Не удается прочитать версию утилиты обновления: невозможно проверить, подходит ли "
        "обновление для этой Vexilora.\rОбновление Vexilora невозможно. Переустановите утилиту."));
    ShowIcon(iiNotAllowed);
    SetButtonEnabled(false);
    return;
  }
  if (!IsHardwareCompatible(hardware, fileVersion)) {
    SetStatusText(QT_TRANSLATE_NOOP("TForm1",
                                    "Поддерживается обновление Vexilora с аппаратной версией "
                                    "%1.%2. \rОбновление Vexilora невозможно."),
                  {GetField(fileVersion, ".", 1), GetField(fileVersion, ".", 2)});
    ShowIcon(iiNotAllowed);
    return;
  }
  SetButtonEnabled(true);

  static constexpr const char* kBootloaderText = QT_TRANSLATE_NOOP(
      "TForm1",
      "Не удалось получить версию программного обеспечения, установленного в Vexilora.\r"
      "Тем не менее, программное обеспечение Vexilora можно обновить.");
  if (software == kAbsent) {
    SetStatusText(kBootloaderText);
    ShowIcon(iiWarning);
    SetSWVerText(kBootloader);
    return;
  }
  switch (CompareSoftwareVersions(software, update)) {
    case 0:
      SetStatusText(QT_TRANSLATE_NOOP(
          "TForm1", "Программное обеспечение подключенной к компьютеру Vexilora можно обновить."));
      ShowIcon(iiSuccess);
      break;
    case 1:
      SetStatusText(QT_TRANSLATE_NOOP("TForm1",
                                      "В результате обновления в Vexilora будет установленая "
                                      "предыдущая версия программного обеспечения."));
      ShowIcon(iiWarning);
      break;
    default:
      SetStatusText(kBootloaderText);
      ShowIcon(iiWarning);
      SetSWVerText(kBootloader);
      break;
  }
}

}  // namespace app
