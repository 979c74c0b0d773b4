// Pylon: global properties (defaults, truncation, loading, failed loads), the
// public log functions and rt_log_p.
#include <tavo/private/RT_GlobalState>
#include <tavo/rt_api>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../logger/log_fixture.h"

namespace KVN {
namespace {

std::string prop(const char* name, const char* def = nullptr) {
  char buf[Pylon::MAX_PROPERTY_SIZE];
  const size_t n = Pylon::get_property(name, buf, def);
  EXPECT_EQ(n, std::string(buf).size());
  return buf;
}

class Properties : public LogFixture {
 protected:
  void TearDown() override {
    // Leave an empty set of properties behind.
    const std::string empty = path("empty.cfg");
    std::ofstream(empty).close();
    EXPECT_EQ(Pylon::load_properties(empty.c_str(), false), RT_NO_ERROR);
    LogFixture::TearDown();
  }

  std::string write_text(const std::string& name, const std::string& text) {
    const std::string p = path(name);
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
};

TEST_F(Properties, DefaultsEmptyValuesAndTruncation) {
  char buf[Pylon::MAX_PROPERTY_SIZE];
  EXPECT_EQ(Pylon::get_property("X", buf, "dflt"), 4u);
  EXPECT_STREQ(buf, "dflt");
  EXPECT_EQ(Pylon::get_property("X", buf, nullptr), 0u);
  EXPECT_STREQ(buf, "");

  Pylon::set_property("X", "");
  EXPECT_EQ(Pylon::get_property("X", buf, "dflt"), 0u);
  EXPECT_STREQ(buf, "");
  Pylon::set_property("X", nullptr);
  EXPECT_EQ(prop("X", "dflt"), "");

  Pylon::set_property("Y", "value with blanks");
  EXPECT_EQ(prop("Y"), "value with blanks");

  const std::string long_value(300, 'L');
  Pylon::set_property("LONG", long_value.c_str());
  EXPECT_EQ(Pylon::get_property("LONG", buf, nullptr), 255u);
  EXPECT_EQ(std::string(buf), long_value.substr(0, 255));
  // The library's own readers see the whole value.
  std::string whole;
  EXPECT_TRUE(get_global_property("LONG", &whole));
  EXPECT_EQ(whole, long_value);
  EXPECT_FALSE(get_global_property("X", &whole));  // empty counts as not set
  EXPECT_EQ(whole, long_value);

  EXPECT_EQ(Pylon::get_property(nullptr, buf, "d"), 1u);
  EXPECT_EQ(Pylon::get_property("X", nullptr, "d"), 0u);
}

TEST_F(Properties, LoadReplacesOrAppendsAndExpands) {
  ASSERT_EQ(setenv("KVN_PROP_HOME", "/home/feed", 1), 0);
  Pylon::set_property("EARLIER", "e");
  const std::string a = write_text("a.cfg", "RT_HOST = \"h1\"\nLOGDIR = \"%KVN_PROP_HOME%/log\"\n");
  ASSERT_EQ(Pylon::load_properties(a.c_str(), false), RT_NO_ERROR);
  EXPECT_EQ(prop("RT_HOST"), "h1");
  EXPECT_EQ(prop("LOGDIR"), "/home/feed/log");
  EXPECT_EQ(prop("EARLIER", "gone"), "gone");  // replaced

  const std::string b = write_text("b.cfg", "RT_USER = \"%RT_HOST%-user\"\n");
  ASSERT_EQ(Pylon::load_properties(("file:" + b).c_str(), true), RT_NO_ERROR);
  EXPECT_EQ(prop("RT_HOST"), "h1");
  EXPECT_EQ(prop("RT_USER"), "h1-user");  // references reach the earlier properties
  unsetenv("KVN_PROP_HOME");
}

TEST_F(Properties, FailedLoadsKeepTheEarlierProperties) {
  Pylon::set_property("KEEP", "k");
  ASSERT_EQ(Logger::open(path("log"), false), 0);
  const std::string dir = path("");
  const char* const bad[] = {"/nonexistent/props.cfg", dir.c_str(), "https://host/props",
                             "reg:Software/Props", nullptr};
  for (bool append : {false, true}) {
    for (const char* uri : bad) {
      SCOPED_TRACE(uri ? uri : "(null)");
      EXPECT_EQ(Pylon::load_properties(uri, append), RT_E_NOT_FOUND);
      EXPECT_EQ(prop("KEEP"), "k");
    }
  }
  Logger::close();
  EXPECT_NE(read_file(path("log")).find("ConfigFile: cannot read /nonexistent/props.cfg err:2\n"),
            std::string::npos);
}

TEST_F(Properties, ConcurrentSettersAndReadersSeeWholeValues) {
  const std::string a(200, 'a'), b(200, 'b');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &a, &b] {
      for (int i = 0; i < 500; ++i) {
        if (t % 2)
          Pylon::set_property("SHARED", (i % 2 ? a : b).c_str());
        else {
          const std::string v = prop("SHARED");
          EXPECT_TRUE(v.empty() || v == a || v == b);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
}

TEST_F(Properties, LogFunctions) {
  const std::string log = path("pylon.log");
  ASSERT_EQ(Pylon::log_open(log.c_str(), false), RT_NO_ERROR);
  EXPECT_EQ(Pylon::log_level(RT_LOG_INFO), RT_LOG_ALL);
  rt_log_p(RT_LOG_INFO, "info text\n", 10, "src/app/main.cpp", 12);
  rt_log_p(RT_LOG_WARN, "warn text\n", 10, "src/app/main.cpp", 13);
  rt_log_p(RT_LOG_DEBUG, "hidden debug\n", 13, "src/app/main.cpp", 14);
  rt_log_p(RT_LOG_ALL, "raw hidden\n", 11, "src/app/main.cpp", 15);
  Pylon::log(RT_LOG_ERROR, "formatted and more", 9);
  EXPECT_EQ(Pylon::log_level(RT_LOG_ALL), RT_LOG_INFO);
  rt_log_p(RT_LOG_ALL, "raw shown\n", 10, "src/app/main.cpp", 16);
  const size_t old_max = Pylon::log_set_max(123456);
  EXPECT_EQ(Pylon::log_set_max(old_max), 123456u);
  Pylon::log_close();

  const std::string text = read_file(log);
  EXPECT_NE(text.find(std::string(kvnrt_label) + "\n"), std::string::npos);
  EXPECT_EQ(std::string(kvnrt_label), "RNX Linux C++ 4.0.2.5");
  bool info_line = false, warn_line = false;
  for (const std::string& l : read_lines(log)) {
    info_line = info_line || matches(l, "INFO \\[" LOG_TS "\\] main\\.cpp:12 info text");
    warn_line = warn_line || matches(l, "WARN \\[" LOG_TS "\\] main\\.cpp:13 .*warn text");
  }
  EXPECT_TRUE(info_line) << text;
  EXPECT_TRUE(warn_line) << text;
  EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
  EXPECT_NE(text.find("raw shown\n"), std::string::npos) << text;
  bool error_line = false;
  for (const std::string& l : read_lines(log))
    error_line = error_line || matches(l, "ERROR\\[" LOG_TS "\\] formatted");
  EXPECT_TRUE(error_line) << text;

  EXPECT_EQ(Pylon::log_open(path("no/such/dir/x.log").c_str(), false), RT_E_ACCESS);
  EXPECT_EQ(Pylon::log_open(nullptr, false), RT_E_ACCESS);
}

}  // namespace
}  // namespace KVN
