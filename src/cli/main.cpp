// tagris-cli: the moisture meter from the command line; everything is in tagris_cli_lib.
#include <iostream>
#include <string>
#include <vector>

#include "platform.h"
#include "run.h"

#ifdef _WIN32
int wmain(int argc, wchar_t* argv[]) {
#else
int main(int argc, char* argv[]) {
#endif
  return tagris::cli::Main(tagris::cli::ProgramArguments(argc, argv), std::cout, std::cerr);
}
