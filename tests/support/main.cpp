// Entry point of every test program.
#include "wtest.h"

int main(int argc, char** argv) { return wtest::RunAll(argc, argv); }
