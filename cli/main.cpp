// qnzb-cli: the command-line front end. Everything but the arguments' trip
// into RunCli lives in the command files, where the tests reach it.

#include <iostream>
#include <string>
#include <vector>

#include "cli/Commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return qnzb::cli::RunCli(args, std::cout, std::cerr);
}
