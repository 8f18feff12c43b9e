// kivlog: builds, lists, checks and extends uninstall files for the stub.
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// shellapi.h after windows.h: CommandLineToArgvW.
#include <shellapi.h>
#endif

#include "commands.h"

namespace {

#ifdef _WIN32
// The arguments as the wide command line has them, in UTF-8: the ANSI argv
// would have lost every character outside the system's code page.
std::vector<std::string> Utf8Arguments() {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return args;
  for (int i = 1; i < count; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
    arg.resize(arg.size() - 1);  // the NUL
    args.push_back(std::move(arg));
  }
  LocalFree(wide);
  return args;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  // Output is UTF-8: a console shows it as such; a pipe or file gets the bytes.
  SetConsoleOutputCP(CP_UTF8);
  const std::vector<std::string> args = Utf8Arguments();
#else
  const std::vector<std::string> args(argv + 1, argv + argc);
#endif
  const int code = kivlog::RunCommandLine(args, std::cout, std::cerr);
  std::cout.flush();
  return code;
}
