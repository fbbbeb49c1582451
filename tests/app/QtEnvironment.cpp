// One QApplication for the whole gui suite, on Qt's offscreen platform: no
// display is needed and no window shows.

#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>

namespace {

class TQtEnvironment final : public testing::Environment {
public:
  void SetUp() override {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    application_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { application_.reset(); }

private:
  int argc_ = 1;
  char name_[9] = "test_app";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] testing::Environment* const environment = testing::AddGlobalTestEnvironment(new TQtEnvironment);

} // namespace
