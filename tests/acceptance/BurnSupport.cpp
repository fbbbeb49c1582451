#include "BurnSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qnzb::acceptance {

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos)
    return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// What `ls` of a session's root must show: "name" -> size for files, "name/" -> "" for folders.
std::map<std::string, std::string> RootListing(const TreeContent& tree) {
  std::map<std::string, std::string> listing;
  for (const auto& [rel, content] : tree) {
    const auto slash = rel.find('/');
    if (slash == std::string::npos)
      listing[rel] = std::to_string(content.size());
    else
      listing[rel.substr(0, slash + 1)] = "";
  }
  return listing;
}

} // namespace

BurnSandbox::BurnSandbox(const std::string& medium) : medium_(medium) {
  const RunResult r = Cli({"vdrive", "insert", medium});
  if (r.exitCode != 0)
    throw std::runtime_error("vdrive insert " + medium + " failed: " + r.Describe());
}

RunResult BurnSandbox::OnDrive(std::vector<std::string> args, RunOptions options) const {
  args.emplace_back("--virtual");
  return Cli(args, std::move(options));
}

std::vector<SessionRow> BurnSandbox::Sessions(std::vector<std::string>& problems) const {
  const RunResult r = OnDrive({"sessions"});
  std::vector<SessionRow> rows;
  if (r.exitCode != 0) {
    problems.push_back(medium_ + ": sessions failed: " + r.Describe());
    return rows;
  }
  for (const std::string& line : SplitLines(r.out)) {
    std::istringstream fields(line);
    SessionRow row;
    if (fields >> row.Number >> row.Start)
      rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> BurnSandbox::CheckSession(int number, uint32_t start, const TreeContent& expected,
                                                   const std::string& tag) const {
  std::vector<std::string> problems;
  const std::string prefix = medium_ + " " + tag + " session " + std::to_string(number) + " at " +
                             std::to_string(start) + ": ";
  auto add = [&](const std::string& reader, const std::vector<std::string>& found) {
    for (const std::string& p : found)
      problems.push_back(prefix + reader + ": " + p);
  };

  // An independent reader, told where the session's volume descriptors start.
  const std::string byXorriso = dir().at(tag + "-xorriso");
  const RunResult x = Tool({"xorriso", "-load", "sbsector", std::to_string(start), "-indev", DiscImage(), "-osirrox",
                            "on", "-extract", "/", byXorriso});
  if (x.exitCode != 0)
    problems.push_back(prefix + "xorriso failed: " + x.Describe());
  else
    add("xorriso", CompareTrees(expected, byXorriso));

  // Our own reader, through the recorder's READ (10).
  const std::string byExtract = dir().at(tag + "-extract");
  const RunResult e = OnDrive({"extract", "--session", std::to_string(number), "/", byExtract});
  if (e.exitCode != 0)
    problems.push_back(prefix + "extract failed: " + e.Describe());
  else
    add("extract", CompareTrees(expected, byExtract));

  const RunResult l = OnDrive({"ls", "--session", std::to_string(number)});
  if (l.exitCode != 0) {
    problems.push_back(prefix + "ls failed: " + l.Describe());
  } else {
    // "yyyy-mm-dd hh:nn:ss  " + 12-column size (blank for folders) + "  " + name.
    std::map<std::string, std::string> listed;
    for (const std::string& line : SplitLines(l.out)) {
      if (line.size() <= 35) {
        problems.push_back(prefix + "ls: odd line \"" + line + "\"");
        continue;
      }
      listed[line.substr(35)] = Trim(line.substr(21, 12));
    }
    const std::map<std::string, std::string> wanted = RootListing(expected);
    if (listed != wanted) {
      std::string got;
      for (const auto& [name, size] : listed)
        got += " " + name + (size.empty() ? "" : "=" + size);
      std::string want;
      for (const auto& [name, size] : wanted)
        want += " " + name + (size.empty() ? "" : "=" + size);
      problems.push_back(prefix + "ls of the root shows" + got + " instead of" + want);
    }
  }
  return problems;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : SplitLines(text))
    if (line.rfind(prefix, 0) == 0)
      found.push_back(line);
  return found;
}

std::vector<std::string> ErrorLines(const RunResult& r) {
  std::vector<std::string> errors;
  for (const std::string& line : LinesStartingWith(r.err, "qnzb-cli: "))
    if (line.rfind("qnzb-cli: warning: ", 0) != 0)
      errors.push_back(line);
  return errors;
}

std::vector<std::string> DoneLines(const RunResult& r) {
  return LinesStartingWith(r.out, ">>> WRITE/BURNCD PROCESS DONE");
}

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

RunResult RunInterrupted(const CliSandbox& sandbox, const std::vector<std::string>& args,
                         const std::function<bool()>& when, std::chrono::milliseconds timeout, bool& interrupted) {
  RunOptions options;
  options.timeout = timeout;
  options.interruptWhen = when;
  RunResult result = sandbox.Cli(args, options);
  interrupted = result.interrupted;
  return result;
}

} // namespace qnzb::acceptance
