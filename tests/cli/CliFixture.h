#pragma once
// Runs qnzb-cli in-process over a scratch folder whose QNZB.ini is the only
// settings file the command sees.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "platform/PlatformTestSupport.h"
#include "support/TempDir.h"

namespace qnzb::test {

struct TCliRun {
  int status = -1;
  std::string out;
  std::string err;
};

class CliTest : public ::testing::Test {
protected:
  CliTest() : ini_("QNZB_INI", tmp.at("QNZB.ini")) {}

  TCliRun Run(const std::vector<std::string>& args) const {
    std::ostringstream out, err;
    TCliRun run;
    run.status = cli::RunCli(args, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }
  void Ini(const std::string& options) const { tmp.write("QNZB.ini", "[Options]\n" + options); }

  TempDir tmp;

private:
  TScopedEnv ini_;
};

} // namespace qnzb::test
