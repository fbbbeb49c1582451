// What the primary volume descriptor of a built image says about the volume,
// read back by independent tools: the identifiers given on the command line
// (isoinfo -d) and the volume's creation and modification dates (xorriso
// -pvd_info), which are the job's time in UTC or SOURCE_DATE_EPOCH's.

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "AcceptanceSupport.h"

namespace qnzb::acceptance {
namespace {

// The text after "label" up to the end of its line in a tool's output.
std::string Field(const std::string& out, const std::string& label) {
  const size_t at = out.find(label);
  if (at == std::string::npos)
    return "(no " + label + ")";
  const size_t from = at + label.size();
  return out.substr(from, out.find('\n', from) - from);
}

// Now in UTC as the descriptors write a date, to the second.
std::string UtcNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
  return text;
}

TEST(VolumeDescriptor, CarriesTheIdentifiersGiven) {
  if (!HaveTool("isoinfo"))
    GTEST_SKIP() << "isoinfo is not installed";
  const struct {
    const char* option;
    const char* value;
    const char* label;  // as isoinfo -d prints it
    const char* shown;  // the primary descriptor upper-cases
  } rows[] = {
      {"--system-id", "linux", "System id: ", "LINUX"},
      {"--volume-set", "Backups 2024", "Volume set id: ", "BACKUPS 2024"},
      {"--publisher", "Example Ltd", "Publisher id: ", "EXAMPLE LTD"},
      {"--preparer", "Jo", "Data preparer id: ", "JO"},
      {"--application-id", "nightly", "Application id: ", "NIGHTLY"},
      {"--copyright-file", "copying.txt", "Copyright File id: ", "COPYING.TXT"},
      {"--abstract-file", "abstract.txt", "Abstract File id: ", "ABSTRACT.TXT"},
      {"--bibliographic-file", "biblio.txt", "Bibliographic File id: ", "BIBLIO.TXT"},
  };
  CliSandbox sandbox;
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, {{"copying.txt", "c"}});
  const std::string image = sandbox.dir().at("ids.iso");
  std::vector<std::string> args = {"build-iso", image, source};
  for (const auto& row : rows)
    args.insert(args.end(), {row.option, row.value});
  const RunResult build = sandbox.Cli(args);
  ASSERT_EQ(build.exitCode, 0) << build.Describe();
  const RunResult info = sandbox.Tool({"isoinfo", "-d", "-i", image});
  ASSERT_EQ(info.exitCode, 0) << info.Describe();
  for (const auto& row : rows)
    EXPECT_EQ(Field(info.out, row.label), row.shown) << row.option;
}

TEST(VolumeDescriptor, IsDatedWithTheJobsTimeOrSourceDateEpoch) {
  if (!HaveTool("xorriso"))
    GTEST_SKIP() << "xorriso is not installed";
  const struct {
    const char* epoch;  // "" counts as unset
    const char* date;   // nullptr: the time of the build
    bool warned;
  } rows[] = {
      {"1700000000", "2023111422132000", false},
      {"", nullptr, false},
      {"yesterday", nullptr, true},
  };
  CliSandbox sandbox;
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, {{"a.txt", "a"}});
  for (const auto& row : rows) {
    SCOPED_TRACE(row.epoch);
    const std::string image = sandbox.dir().at("dated.iso");
    RunOptions options;
    options.env = {{"SOURCE_DATE_EPOCH", row.epoch}};
    const std::string before = UtcNow();
    const RunResult build = sandbox.Cli({"build-iso", image, source}, options);
    const std::string after = UtcNow();
    ASSERT_EQ(build.exitCode, 0) << build.Describe();
    EXPECT_EQ(build.err.find("warning: SOURCE_DATE_EPOCH") != std::string::npos, row.warned) << build.Describe();
    const RunResult pvd = sandbox.Tool({"xorriso", "-indev", image, "-pvd_info"});
    ASSERT_EQ(pvd.exitCode, 0) << pvd.Describe();
    const std::string created = Field(pvd.out, "Creation Time: ");
    EXPECT_EQ(Field(pvd.out, "Modif. Time  : "), created);
    if (row.date) {
      EXPECT_EQ(created, row.date);
    } else {
      EXPECT_GE(created.substr(0, 14), before);
      EXPECT_LE(created.substr(0, 14), after);
    }
  }
}

} // namespace
} // namespace qnzb::acceptance
