// tagris-cli: the moisture meter from the command line; everything is in tagris_cli_lib.
#include <iostream>
#include <string>
#include <vector>

#include "run.h"

int main(int argc, char* argv[]) {
  return tagris::cli::Main(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
