// A signal during an image build: the job stops through its abort, the
// command says why and ends with 128 + the signal's number, and no image
// (whole, partial or side file) is left. Every mode, every signal a user or
// a session manager sends.

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
#include <set>

#include "support/TempDir.h"

extern char** environ;

namespace qnzb::test {
namespace {

#ifdef QNZB_CLI_PATH
struct TInterruptCase {
  const char* Mode;  // "--quick" or the cached default
  int Signal;
};
void PrintTo(const TInterruptCase& c, std::ostream* os) { *os << (*c.Mode ? c.Mode : "cached") << " sig" << c.Signal; }

class CliInterrupt : public testing::TestWithParam<TInterruptCase> {};

TEST_P(CliInterrupt, StopsTheBuildAndLeavesNoImage) {
  TempDir tmp;
  for (int i = 0; i < 4; ++i)
    tmp.writePattern("src/big" + std::to_string(i) + ".bin", 64 << 20, i);
  const std::string out = tmp.at("out.iso");
  const std::string errFile = tmp.at("err.txt");
  setenv("QNZB_INI", tmp.at("QNZB.ini").c_str(), 1);
  // Told the moment the side file appears: polling for it let the build
  // finish first.
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, tmp.path().c_str(), IN_CREATE), 0);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string cli = QNZB_CLI_PATH, sub = "build-iso", cache = "--cache-size", size = "2097152", src = tmp.at("src");
  std::string mode = GetParam().Mode;
  std::vector<char*> argv = {cli.data(), sub.data(), cache.data(), size.data()};
  if (!mode.empty())
    argv.push_back(mode.data());
  argv.push_back(const_cast<char*>(out.c_str()));
  argv.push_back(src.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv.data(), environ), 0);
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
      created = created || (event->len > 0 && std::string(event->name).starts_with(".out.iso."));
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  close(watch);
  kill(pid, GetParam().Signal);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  unsetenv("QNZB_INI");
  const std::string err = readFile(errFile);
  ASSERT_TRUE(created);
  ASSERT_TRUE(WIFEXITED(status)) << err;
  EXPECT_EQ(WEXITSTATUS(status), 128 + GetParam().Signal) << err;
  EXPECT_NE(err.find("OPERATION ABORTED BY USER"), std::string::npos) << err;
  std::set<std::string> left;
  for (const auto& item : std::filesystem::directory_iterator(tmp.path()))
    left.insert(item.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"src", "err.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Signals, CliInterrupt,
                         testing::Values(TInterruptCase{"", SIGINT}, TInterruptCase{"", SIGTERM},
                                         TInterruptCase{"--quick", SIGINT}, TInterruptCase{"--quick", SIGHUP}));
#endif

} // namespace
} // namespace qnzb::test
