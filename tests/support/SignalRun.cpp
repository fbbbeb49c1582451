#include "support/SignalRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/TempDir.h"

extern char** environ;

namespace qnzb::test {

TSignalRun RunAndSignalOnCreate(const std::vector<std::string>& argv, const std::string& folder,
                                const std::string& prefix, int signal, const std::string& errFile) {
  TSignalRun run;
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0 || inotify_add_watch(watch, folder.c_str(), IN_CREATE) < 0)
    return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (std::string& w : words)
    args.push_back(w.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    close(watch);
    return run;
  }
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       !run.Seen && std::chrono::steady_clock::now() < until;) {
    pollfd ready{watch, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0)
      continue;
    alignas(inotify_event) char events[4096];
    const ssize_t got = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      run.Seen = run.Seen || (event->len > 0 && std::string(event->name).starts_with(prefix));
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  close(watch);
  kill(pid, signal);
  waitpid(pid, &run.Status, 0);
  run.Err = readFile(errFile);
  return run;
}

} // namespace qnzb::test
