// A product's program that runs: started from the product's directory, it
// keeps its own file mapped (so it cannot be deleted) for the milliseconds
// its command line names.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  Sleep(argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 30000);
  return 0;
}
