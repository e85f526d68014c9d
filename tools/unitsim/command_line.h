#pragma once
// The command line of tagris-unit-sim, parsed into SimulatorOptions.
#include <string>
#include <vector>

#include "simulator.h"

namespace tagris::unitsim {

struct CommandLine {
  SimulatorOptions options;
  bool help = false;
  std::string error;  // empty when the arguments were good
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);  // without the program name
std::string Usage();

}  // namespace tagris::unitsim
