// The bench's terminal lines, which a run on a pseudo-terminal of 80 columns
// cannot narrow: every line fits the width, a long label keeps its end, and
// a redraw goes up exactly as many lines as it drew, and only after a change.
#include "run/bench_screen.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Drawn(BenchScreen& screen) {
  testing::internal::CaptureStdout();
  screen.Draw();
  return testing::internal::GetCapturedStdout();
}

TEST(BenchScreen, LinesFitTheTerminalAndRedrawInPlace) {
  const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ3J1-if00-port0";
  BenchScreen screen({"/dev/ttyS0", byId}, true, 40);
  screen.Stage(1, "flashing", 57, 585, "");
  const std::string first = Drawn(screen);
  EXPECT_EQ(first.find("\x1b["), first.find("\x1b[K")) << "no cursor-up before the first drawing";
  std::istringstream lines(first);
  std::vector<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    const std::string text = line.substr(1, line.find("\x1b[K") - 1);  // between "\r" and ESC [ K
    EXPECT_LE(text.size(), 39u) << text;
    seen.push_back(text);
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].rfind("...", 0), 0u) << seen[1];
  EXPECT_NE(seen[1].find("J1-if00-port0  flashing      57%"), std::string::npos) << "the label's end and the stage";
  EXPECT_EQ(Drawn(screen), "") << "nothing changed, nothing drawn";
  BenchPortView(screen, 0, false).Finished("SUCCESSFUL", 1026, 9.44, "");
  const std::string redrawn = Drawn(screen);
  EXPECT_EQ(redrawn.rfind("\x1b[2A\r/dev/ttyS0", 0), 0u) << redrawn;
  EXPECT_NE(redrawn.find("SUCCESSFUL     10"), std::string::npos) << "the records after the verdict";
}

}  // namespace
