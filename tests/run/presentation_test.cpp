#include "run/presentation.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fake_console.h"

namespace {

TEST(ShowProgress, SpinnerFollowsThePacketCount) {
  FakeConsole console;
  testing::internal::CaptureStdout();
  for (int32_t packet = 1; packet <= 9; ++packet) ShowProgress(packet, 0, 100);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(console.terminal, "-\\|/-\\|/-");
}

TEST(ShowProgress, PercentageFieldAndCursorReturn) {
  const struct {
    int32_t bytesRead, fileSize;
    const char* text;
  } cases[] = {
      {0, 1000, "  0%\b\b\b\b\b"},
      {999, 1000, " 99%\b\b\b\b\b"},
      {1000, 1000, "100%\b\b\b\b\b"},
      {1001, 1000, "100%\b\b\b\b\b"},
      {1100, 1000, "110%\b\b\b\b\b"},
      // bytesRead * 100 passes 32 bits here; the percentage must not.
      {2000000000, 2100000000, " 95%\b\b\b\b\b"},
      {2147483647, 2147483647, "100%\b\b\b\b\b"},
      {5, 0, "  0%\b\b\b\b\b"},
  };
  for (const auto& c : cases) {
    FakeConsole console;
    testing::internal::CaptureStdout();
    ShowProgress(1, c.bytesRead, c.fileSize);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.text) << c.bytesRead << "/" << c.fileSize;
  }
}

TEST(ReportFailure, PrintsVerdictAndBeeps) {
  FakeConsole console;
  testing::internal::CaptureStdout();
  ReportFailure();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nFlash programming ... UNSUCCESSFUL\n");
  ASSERT_EQ(console.beeps.size(), 1u);
  EXPECT_EQ(console.beeps[0], std::make_pair(1000u, 100u));
}

TEST(DrainKeyboard, ThrowsAwayOnlyWhatIsWaiting) {
  FakeConsole console;
  console.PressKey('a');
  console.PressKey(kKeyEscape);
  console.PressKey('z', 5);  // arrives later: must not be waited for
  DrainKeyboard();
  EXPECT_EQ(console.keysRead, (std::vector<int>{'a', kKeyEscape}));
  EXPECT_EQ(console.pauses, 0);
}

TEST(PrintBanner, YearComesFromTheRevisionDate) {
  testing::internal::CaptureStdout();
  PrintBanner();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Ostrivel FLASH Version 1.02\n", 0), 0u);
  const auto second = out.find('\n') + 1;
  const std::string notice = out.substr(second, out.find('\n', second) - second);
  EXPECT_NE(notice.find("2005"), std::string::npos) << notice;
  EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
}

}  // namespace
