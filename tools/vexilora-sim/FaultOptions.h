#pragma once

// The device's faults as command-line options, shared by vexilora-sim and vexilora-usb-sim so
// that both programs spell them and explain them alike.

#include "tools/vexilora-sim/Simulator.h"

namespace vexsim {

// The usage lines of the options ParseFaultOption takes, aligned as the programs' own.
extern const char kFaultUsage[];

enum class TOptionParse { NotMine, Taken, Bad };

// Takes argv[i] when it names a fault, with its value (i then points at the value). Bad: the
// option or its value is wrong, and standard error says why under the program's name.
TOptionParse ParseFaultOption(const char* program, int argc, char** argv, int& i,
                              TOptions& options);

// A whole decimal number from 0 to 1000000.
bool ParseCount(const char* text, int& value);

}  // namespace vexsim
