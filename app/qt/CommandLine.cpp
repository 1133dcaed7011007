#include "app/qt/CommandLine.h"

#include <cstdio>

#include "app/FileVersion.h"
#include "app/FirmwareImage.h"

namespace appqt {

std::string VersionText(const std::string& exePath) {
  const std::string fileVersion = app::GetFileVersion(exePath);
  std::string text = "vexilora-update " + (fileVersion.empty() ? "(unknown)" : fileVersion) + "\n";
  const std::string imageVersion = app::GetUpdateVersion();
  if (!app::FindResource(app::kFirmwareResourceName))
    text += "firmware image: none (this program carries no firmware)\n";
  else if (imageVersion.empty())
    text += "firmware image: without a version tag\n";
  else
    text += "firmware image " + imageVersion + "\n";
  return text;
}

std::string HelpText() {
  return "Usage: vexilora-update [QT-OPTION]...\n"
         "  or:  vexilora-update --version\n"
         "Updates the software of a Vexilora connected by USB: the window finds the device,\n"
         "shows its hardware and software versions and the version of the software this\n"
         "program carries, and installs it at the press of a button.\n"
         "\n"
         "Options:\n"
         "      --help       print this help and exit\n"
         "      --version    print the program's file version and the version of the\n"
         "                   firmware it carries, and exit\n"
         "\n"
         "Qt's standard options are taken as well, for example -platform offscreen, or\n"
         "-display :1 for an X display.\n"
         "\n"
         "Starting the program again while its window is open brings that window to the\n"
         "front, and the second start exits with 0.\n"
         "\n"
         "Exit status:\n"
         "  0  the window was closed, or the running window was brought to the front\n"
         "  1  the self-driving mode did not complete an update, or the running window\n"
         "     did not answer\n"
         "  2  an argument the program does not take\n"
         "\n"
         "Environment:\n"
         "  LANGUAGE, LC_ALL, LC_MESSAGES, LANG\n"
         "                     an English locale shows the window in English; every\n"
         "                     other locale, C and POSIX included, shows it in Russian\n"
         "  VEXILORA_DEMO=1    self-driving mode: the window updates the device it finds\n"
         "                     by itself, prints each step, and exits with 0 once the\n"
         "                     device reports the new version\n"
         "  VEXILORA_DEMO_PASSWORD\n"
         "                     the password the self-driving mode types when asked\n"
         "  VEXILORA_DEMO_SCREENSHOTS\n"
         "                     a folder for the self-driving mode's pictures\n"
         "  VEXILORA_DEMO_TIMEOUT\n"
         "                     seconds the self-driving mode may take (default 300)\n";
}

std::optional<int> AnswerOwnArguments(const std::vector<std::string>& arguments,
                                      const std::string& exePath) {
  if (arguments.empty()) return std::nullopt;
  if (arguments.size() == 1 && arguments[0] == "--help") {
    std::fputs(HelpText().c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (arguments.size() == 1 && arguments[0] == "--version") {
    std::fputs(VersionText(exePath).c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: vexilora-update [Qt options] | --help | --version\n"
               "The Vexilora update utility takes no other arguments.\n");
  return 2;
}

}  // namespace appqt
