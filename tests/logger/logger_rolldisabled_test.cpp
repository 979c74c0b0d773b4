// A roll whose rename fails disables rolling for the rest of the process, so
// this runs in a program of its own.
#include <unistd.h>

#include "log_fixture.h"

namespace KVN {
namespace {

TEST_F(LogFixture, FailedRenameDisablesRollingForGoodAndKeepsTheFile) {
  const std::string name = path("stuck.log");
  // A non-empty directory in the way of the ".old" name makes both the removal
  // and the rename fail, also for root.
  ASSERT_TRUE(std::filesystem::create_directory(name + ".old"));
  std::ofstream(name + ".old/keep") << "in the way\n";

  ASSERT_EQ(Logger::open(name, false), 0);  // its own roll fails quietly
  Logger::set_max_size(300);
  auto write_lines = [](int from, int to) {
    for (int i = from; i < to; ++i) {
      char text[64];
      const int n = snprintf(text, sizeof text, "line %02d that cannot be rolled\n", i);
      Logger::log_p(TAVO_LOG_WARN, "stuck.cpp", 1, text, static_cast<size_t>(n));
    }
  };
  write_lines(0, 10);
  // Once disabled, rolling stays off even when the rename would work again.
  std::filesystem::remove_all(name + ".old");
  write_lines(10, 20);
  Logger::close();

  EXPECT_FALSE(std::filesystem::exists(name + ".old"));
  const std::string pid = std::to_string(getpid());
  const std::vector<std::string> lines = read_lines(name);
  std::vector<std::string> data;
  size_t rolling = 0;
  size_t unable = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("Rolling Log") != std::string::npos) {
      ++rolling;
      ASSERT_LT(i + 1, lines.size());
      EXPECT_TRUE(matches(lines[i + 1], "INFO \\[" LOG_TS "\\] .*tavo_Logger\\.cpp:\\d+ \\[pid:" +
                                            pid + "\\] Unable to roll log, rolling disabled"))
          << lines[i + 1];
    }
    if (lines[i].find("rolling disabled") != std::string::npos) ++unable;
    if (lines[i].find("that cannot be rolled") != std::string::npos) data.push_back(lines[i]);
  }
  EXPECT_EQ(rolling, 1u);
  EXPECT_EQ(unable, 1u);
  // The lines written before the failed roll are still there.
  ASSERT_EQ(data.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    char expected[64];
    snprintf(expected, sizeof expected, " line %02d that", i);
    EXPECT_NE(data[i].find(expected), std::string::npos) << data[i];
  }
}

}  // namespace
}  // namespace KVN
