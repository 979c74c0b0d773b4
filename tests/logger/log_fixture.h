// Test fixture for the logger: a scratch directory per test, the logger's
// switches set to their defaults before the test and put back after it, and
// helpers to read what was logged.
#ifndef KVN_TESTS_LOGGER_LOG_FIXTURE_H
#define KVN_TESTS_LOGGER_LOG_FIXTURE_H

#include <gtest/gtest.h>
#include <tavo/Logger>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace KVN {

// The time stamp formats of log lines.
#define LOG_TS "\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d"
#define LOG_TS_MS LOG_TS "\\.\\d\\d\\d"

inline void reset_logger() {
  Logger::close();
  Logger::log_level(TAVO_LOG_ALL);
  Logger::log_timestamps(true, false);
  Logger::log_thread_id(false);
  Logger::log_lineno(true);
  Logger::set_max_size(40000000);
}

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_logger();
    std::string tmpl = (std::filesystem::temp_directory_path() / "kvn_logger_XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override {
    reset_logger();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }

  std::string path(const std::string& name) const { return m_dir + "/" + name; }

  static std::string read_file(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The file's lines without their "\n"; a last line without one is kept.
  static std::vector<std::string> read_lines(const std::string& file) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The text with every character that is special in a regular expression escaped.
  static std::string re_escape(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
  }

  static bool matches(const std::string& line, const std::string& pattern) {
    return std::regex_match(line, std::regex(pattern));
  }

  std::string m_dir;
};

}  // namespace KVN

#endif
