// kivlog: builds, lists, checks and extends uninstall files for the stub.
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const int code = kivlog::RunCommandLine(args, std::cout, std::cerr);
  std::cout.flush();
  return code;
}
