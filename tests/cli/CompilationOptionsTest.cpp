// The pieces under every job subcommand: option parsing, settings under
// options, PATH arguments to rows, and where log lines go.

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "cli/CliContext.h"
#include "cli/CompilationOptions.h"
#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "support/TempDir.h"

namespace qnzb::test {
namespace {

using cli::TCliContext;
using cli::TCompilationFlags;

TCompilationFlags Parse(std::vector<std::string> args) {
  TCompilationFlags flags;
  CLI::App app;
  cli::AddCompilationFlags(app, flags);
  std::reverse(args.begin(), args.end());
  app.parse(args);
  return flags;
}

TEST(CompilationOptions, ParsedIntoFlags) {
  EXPECT_EQ(Parse({"--save-path", "GRAYED"}).SavePath, TSavePath::Grayed);
  EXPECT_EQ(Parse({"--save-path", "checked"}).SavePath, TSavePath::Checked);
  EXPECT_EQ(Parse({"--save-path", "Unchecked"}).SavePath, TSavePath::Unchecked);
  EXPECT_EQ(Parse({}).SavePath, std::nullopt);
  const struct {
    const char* text;
    int64_t bytes;
  } sizes[] = {{"4096", 4096}, {"16M", 16777216}, {"16m", 16777216}, {"512K", 524288}, {"1G", 1073741824}};
  for (const auto& size : sizes)
    EXPECT_EQ(Parse({"--cache-size", size.text}).CacheSize, size.bytes) << size.text;
  for (const char* bad : {"0", "-5", "2G", "12Q"})
    EXPECT_THROW(Parse({"--cache-size", bad}), CLI::ParseError) << bad;

  TempDir tmp;
  const std::string boot = tmp.write("b.img", std::string(2048, 'b'));
  const TCompilationFlags all = Parse({"--volume", "", "--no-joliet", "--boot", boot, "--no-recursive",
                                       "--archive-only", "--quick"});
  EXPECT_EQ(all.Volume, "");  // an empty label is a label
  EXPECT_EQ(all.Boot, boot);
  EXPECT_THROW(Parse({"--boot", tmp.at("missing.img")}), CLI::ParseError);
  EXPECT_TRUE(all.NoJoliet && all.NoRecursive && all.ArchiveOnly && all.Quick);
  const TCompilationFlags none = Parse({});
  EXPECT_FALSE(none.Volume || none.Boot || none.CacheSize || none.NoJoliet || none.NoRecursive ||
               none.ArchiveOnly || none.Quick);
}

TEST(CompilationOptions, FlagsOverrideTheFileOnlyWhereGiven) {
  TempDir tmp;
  const std::string ini = tmp.write("QNZB.ini",
                                    "[Options]\nBootable=0\nBootImage=/ini.img\nSavePath=Checked\nArchiveFiles=0\n"
                                    "QuickSaveISO=0\nCacheSize=4194304\n");
  TQNZBurner burner(nullptr);
  TAppOptions options;
  cli::ApplySettings(burner, options, {}, ini);
  EXPECT_EQ(burner.CacheSize(), 4194304);
  EXPECT_TRUE(burner.PerformOPC);  // design value: no key in the file

  TCompilationFlags flags;
  flags.Boot = "/cli.img";
  flags.SavePath = TSavePath::Unchecked;
  flags.ArchiveOnly = flags.Quick = true;
  flags.CacheSize = 3000000;
  cli::ApplySettings(burner, options, flags, ini);
  EXPECT_TRUE(burner.Bootable);
  EXPECT_EQ(burner.BootImage, "/cli.img");
  EXPECT_EQ(options.SavePath, TSavePath::Unchecked);
  EXPECT_TRUE(options.ArchiveOnly);
  EXPECT_TRUE(options.QuickSaveISO);
  EXPECT_EQ(burner.CacheSize(), 2998272);  // through the component's setter
}

TEST(CompilationOptions, PathsBecomeAbsoluteRows) {
  TempDir tmp;
  const std::string file = tmp.write("d/f.txt", "f");
  tmp.mkdir("d/sub");
  std::ostringstream out, err;
  TCliContext context(out, err);
  const auto rows = cli::RowsFromPaths(
      {tmp.at("d"), tmp.at("d/sub//"), tmp.at("d/sub/../f.txt"), tmp.at("./d/.")}, false, context);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 4u);
  EXPECT_EQ((*rows)[0].Path, tmp.at("d/"));
  EXPECT_FALSE((*rows)[0].Recursive);
  EXPECT_EQ((*rows)[1].Path, tmp.at("d/sub/"));
  EXPECT_EQ((*rows)[2].Path, file);
  EXPECT_EQ((*rows)[3].Path, tmp.at("d/"));
  EXPECT_TRUE(cli::RowsFromPaths({tmp.at("d")}, true, context)->front().Recursive);

  const std::string relative = cli::AbsolutePath("some/where/../file");
  EXPECT_EQ(relative, (std::filesystem::current_path() / "some/file").generic_string());
  EXPECT_EQ(err.str(), "");
}

TEST(CliContext, LinesGoWhereTheSwitchesSay) {
  const struct {
    bool verbose, quiet;
    uint8_t type;
    bool shown;
  } rows[] = {
      {false, false, mtPlain, true},  {false, false, mtProgress, false}, {false, false, mtTable, false},
      {false, false, mtError, true},  {true, false, mtPlain, true},      {true, false, mtProgress, true},
      {true, false, mtTable, true},   {true, false, mtError, true},      {false, true, mtPlain, false},
      {false, true, mtProgress, false}, {false, true, mtError, true},
  };
  for (const auto& row : rows) {
    std::ostringstream out, err;
    TCliContext context(out, err);
    context.Verbose = row.verbose;
    context.Quiet = row.quiet;
    TQNZBurner burner(nullptr);
    context.Attach(burner);
    EXPECT_EQ(burner.DoDebug, row.verbose);
    burner.SendDebugMessage("line", row.type);
    EXPECT_EQ(err.str(), row.shown ? "line\n" : "") << int(row.type) << row.verbose << row.quiet;
    context.Result("result");
    EXPECT_EQ(out.str(), "result\n");  // what was asked for, quiet or not
    context.Error("bad");
    EXPECT_NE(err.str().find("qnzb-cli: bad\n"), std::string::npos);
    context.Warning("odd");
    EXPECT_NE(err.str().find("qnzb-cli: warning: odd\n"), std::string::npos);
  }
}

} // namespace
} // namespace qnzb::test
