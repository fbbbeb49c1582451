// The main window on the offscreen platform.

#include <gtest/gtest.h>

#include "app/MainWindow.h"

namespace qnzb::app {
namespace {

TEST(MainWindow, OpensWithItsCaptionAndSize) {
  TForm1 form;
  EXPECT_EQ(form.windowTitle(), "Quenz CD/DVD Burner 1.20.1");
  EXPECT_EQ(form.size(), QSize(738, 460));
}

} // namespace
} // namespace qnzb::app
