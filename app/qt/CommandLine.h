#pragma once
// The utility's own command line: it opens its window and takes no arguments but Qt's
// standard ones, --help and --version. Qt takes its options out first; what is left is
// answered here.

#include <optional>
#include <string>
#include <vector>

namespace appqt {

// The --version text: the program's file version (its version record, read from the file on
// disk) and the version of the firmware image it carries. Its first line is "vexilora-update
// VERSION", as manual-page generators expect.
std::string VersionText(const std::string& exePath);
// The --help text.
std::string HelpText();

// The answer to the arguments that are left (without the program's name): nothing when there
// are none (the window opens), else the exit code after printing the help, the version, or
// the usage for anything else (2).
std::optional<int> AnswerOwnArguments(const std::vector<std::string>& arguments,
                                      const std::string& exePath);

}  // namespace appqt
