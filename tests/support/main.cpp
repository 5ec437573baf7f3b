// Entry point of every test program.
#include "module_host.h"
#include "wtest.h"

int main(int argc, char** argv) {
  const int result = wtest::RunAll(argc, argv);
  RemoveLeftFolders(3000);
  return result;
}
