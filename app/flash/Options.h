#pragma once
// The command line of vexilora-flash, taken apart.

#include <optional>
#include <string>
#include <vector>

namespace flash {

// Exit codes: what a production script branches on.
enum TExitCode : int {
  ecAllDone = 0,   // every requested device updated (or listed)
  ecFailed = 1,    // one or more devices failed, or the run was interrupted
  ecUsage = 2,     // the command line is wrong or names a file that cannot be used
  ecNoDevice = 3,  // no Vexilora found (or none at the path given)
  ecRefused = 4,   // refused by a version rule (and none failed)
};

enum class TCommand { Help, Version, List, Update };

struct TOptions {
  TCommand Command = TCommand::Help;
  bool Json = false;
  // list
  bool Query = false;
  // update
  std::string Device;  // --device PATH
  bool All = false;
  std::optional<std::string> Password;  // from --password or --password-file
  std::string ImagePath;                // --image FILE
  std::string Sha256;  // --sha256 HEX: what the image sent must hash to (lower case)
  bool AllowDowngrade = false;
  std::string LogPath;  // --log FILE
  bool Wait = false;    // station mode
  int Count = 0;        // --count N (0: until interrupted)
  // Seconds a device may stay silent before it counts as failed.
  int TimeoutSeconds = 60;
  // What the operator should hear of although the command line is usable.
  std::vector<std::string> Warnings;
};

// Nothing and a message in error when the command line is wrong. Passwords are checked here
// as the password window would: at most 8 characters, each one the device's code page has.
std::optional<TOptions> ParseOptions(const std::vector<std::string>& args, std::string& error);

extern const char* const kUsage;

}  // namespace flash
