// Ctrl-C during a cached build: the job stops through its abort, the command
// says why and fails, and no image (whole or partial) is left.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "support/TempDir.h"

extern char** environ;

namespace qnzb::test {
namespace {

#ifdef QNZB_CLI_PATH
TEST(CliInterrupt, CtrlCAbortsTheBuildAndLeavesNoImage) {
  TempDir tmp;
  for (int i = 0; i < 4; ++i)
    tmp.writePattern("src/big" + std::to_string(i) + ".bin", 64 << 20, i);
  const std::string out = tmp.at("out.iso");
  const std::string errFile = tmp.at("err.txt");
  setenv("QNZB_INI", tmp.at("QNZB.ini").c_str(), 1);
  // Told the moment the image file appears: polling for it let the build
  // finish first.
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, tmp.path().c_str(), IN_CREATE), 0);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string cli = QNZB_CLI_PATH, sub = "build-iso", cache = "--cache-size", size = "2097152", src = tmp.at("src");
  char* argv[] = {cli.data(), sub.data(), cache.data(), size.data(), const_cast<char*>(out.c_str()), src.data(),
                  nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Interrupt as soon as the image is being written.
  bool created = false;
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       !created && std::chrono::steady_clock::now() < until;) {
    pollfd ready{watch, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0)
      continue;
    alignas(inotify_event) char events[4096];
    const ssize_t got = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      created = created || (event->len > 0 && std::string(event->name) == "out.iso.part");
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  close(watch);
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  unsetenv("QNZB_INI");
  const std::string err = readFile(errFile);
  ASSERT_TRUE(created);
  ASSERT_TRUE(WIFEXITED(status)) << err;
  EXPECT_NE(WEXITSTATUS(status), 0) << "the build finished before the interrupt arrived";
  EXPECT_NE(err.find("OPERATION ABORTED BY USER"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(out + ".part"));
}
#endif

} // namespace
} // namespace qnzb::test
