#pragma once
// Runs a program in a child process and sends it a signal the moment a file
// whose name starts with a prefix appears in a folder: the way to hit a long
// command while it is writing, told by inotify rather than by polling (which
// let short jobs finish first).

#include <string>
#include <vector>

namespace qnzb::test {

struct TSignalRun {
  bool Seen = false;     // the file appeared (within 20 s) and the signal was sent after it
  int Status = -1;       // the child's wait status
  std::string Err;       // its standard error
};

// `argv[0]` is the program's path. Standard error goes to `errFile`.
TSignalRun RunAndSignalOnCreate(const std::vector<std::string>& argv, const std::string& folder,
                                const std::string& prefix, int signal, const std::string& errFile);

} // namespace qnzb::test
