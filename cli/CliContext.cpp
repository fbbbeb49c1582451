#include "cli/CliContext.h"

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"

namespace qnzb::cli {

void TCliContext::Log(const std::string& line, uint8_t mType) {
  switch (mType) {
    case mtError:
      break;
    case mtProgress:
    case mtTable:
      if (!Verbose)
        return;
      break;
    default:
      if (Quiet)
        return;
      break;
  }
  Line(Err, line);
}

void TCliContext::Error(const std::string& message) { Line(Err, std::string(ProgramName) + ": " + message); }

void TCliContext::Warning(const std::string& message) {
  Line(Err, std::string(ProgramName) + ": warning: " + message);
}

void TCliContext::Notice(const std::string& line) { Log(line, mtPlain); }

void TCliContext::Result(const std::string& line) { Line(Out, line); }

void TCliContext::Attach(TQNZBurner& burner) {
  burner.OnDebugMessage = [this](TObject*, const std::string& message, uint8_t mType) { Log(message, mType); };
  burner.DoDebug = Verbose;
}

void TCliContext::Line(std::ostream& stream, const std::string& line) {
  const std::lock_guard lock(mutex_);
  stream << line << '\n';
  stream.flush();
}

int LeftOutStatus(const TQNZBurner& burner, TCliContext& context) {
  if (burner.LeftOut.empty())
    return 0;
  context.Warning(burner.LeftOutSummary() + " (each is named above with NOT ADDED)");
  return ExitLeftOut;
}

} // namespace qnzb::cli
