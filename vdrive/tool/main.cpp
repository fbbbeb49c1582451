// qnzb-vdrive: the `vdrive` subcommand as a program of its own.

#include <iostream>
#include <string>
#include <vector>

#include "vdrive/VDriveCommand.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qnzb::vdrive::RunVDriveCommand(args, std::cout, std::cerr);
}
