// The logger's line layouts, levels, debug categories and filters, limited
// logging, opening and closing, and rolling of the log file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <set>

#include <tavo/private/logging>

#include "log_fixture.h"

namespace KVN {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const char* const kFile = "../src/net/tavo_Thing.cpp";
const std::string kAt = "tavo_Thing\\.cpp:42 ";
const std::string kTid = "t:0x[0-9a-f]+ ";

void hello_p(LogLevel lvl) {
  Logger::log_p(lvl, kFile, 42, "hello\n", 6);
}

void switches(bool ts, bool ms, bool tid, bool line) {
  Logger::log_timestamps(ts, ms);
  Logger::log_thread_id(tid);
  Logger::log_lineno(line);
}

void hdr_and_always(LogLevel lvl) {
  std::ostringstream os;
  ASSERT_TRUE(Logger::log_hdr_p(&os, lvl, kFile, 42));
  os << "hello\n";
  Logger::log_always_p(os.str());
}

TEST_F(LogFixture, EachOutputFunctionWritesItsHeaderLayout) {
  struct Case {
    const char* what;
    bool ts, ms, tid, line;
    std::function<void()> emit;
    std::string pattern;
  };
  const std::string ts = "\\[" LOG_TS "\\] ";
  const std::string ts_ms = "\\[" LOG_TS_MS "\\] ";
  const Case cases[] = {
      {"log_p is complete with every switch off", false, false, false, false,
       [] { hello_p(TAVO_LOG_WARN); }, "WARN " + ts + kAt + kTid + "hello"},
      {"log_p with milliseconds", true, true, false, true, [] { hello_p(TAVO_LOG_ERROR); },
       "ERROR" + ts_ms + kAt + kTid + "hello"},
      {"log_p PANIC", true, false, false, true, [] { hello_p(TAVO_LOG_PANIC); },
       "PANIC" + ts + kAt + kTid + "hello"},
      {"log_p level ALL has an empty tag", true, false, false, true, [] { hello_p(TAVO_LOG_ALL); },
       ts + kAt + kTid + "hello"},
      {"log_p level outside the table", true, false, false, true,
       [] { hello_p(static_cast<LogLevel>(7)); }, "\\?\\?\\?\\?\\?" + ts + kAt + kTid + "hello"},
      {"log_info_p with every switch on", true, false, true, true,
       [] { Logger::log_info_p(kFile, 42, "hello\n", 6); }, "INFO " + ts + kAt + kTid + "hello"},
      {"log_info_p with every switch off", false, false, false, false,
       [] { Logger::log_info_p(kFile, 42, "hello\n", 6); }, "INFO  hello"},
      {"log_info_p with line numbers only", false, false, false, true,
       [] { Logger::log_info_p(kFile, 42, "hello\n", 6); }, "INFO  " + kAt + "hello"},
      {"log_debg_p names the lowest category and the filter", false, false, false, true,
       [] { Logger::log_debg_p(kFile, 42, "hello\n", 6, DEB_TRACE | DEB_MAIN, "12"); },
       "DEBUG " + kAt + "cat:TRACE flt:12 hello"},
      {"log_debg_p without category or filter", true, true, true, false,
       [] { Logger::log_debg_p(kFile, 42, "hello\n", 6, DEB_NONE); },
       "DEBUG" + ts_ms + kTid + "hello"},
      {"log_activity_p never names file and line", true, false, true, true,
       [] { Logger::log_activity_p("hello\n", 6); }, ts + kTid + "hello"},
      {"log_activity_p with every switch off", false, false, false, true,
       [] { Logger::log_activity_p("hello\n", 6); }, "hello"},
      {"log format above INFO keeps its time stamp", false, false, true, true,
       [] { Logger::log(TAVO_LOG_WARN, "n=%d", 5); }, "WARN " + ts + "n=5"},
      {"log format INFO without time stamps", false, false, true, true,
       [] { Logger::log(TAVO_LOG_INFO, "n=%d", 5); }, "INFO  n=5"},
      {"log format INFO with time stamps", true, false, true, true,
       [] { Logger::log(TAVO_LOG_INFO, "n=%s", "x"); }, "INFO " + ts + "n=x"},
      {"log of raw bytes", true, false, true, true, [] { Logger::log("raw\n", 4); }, "raw"},
      {"log_hdr_p above INFO with every switch", false, false, true, true,
       [] { hdr_and_always(TAVO_LOG_ERROR); }, "ERROR" + ts + kAt + kTid + "hello"},
      {"log_hdr_p INFO without time stamps", false, false, false, true,
       [] { hdr_and_always(TAVO_LOG_INFO); }, "INFO  " + kAt + "hello"},
  };
  const std::string name = path("layout.log");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Logger::open(name, false), 0);
    switches(c.ts, c.ms, c.tid, c.line);
    c.emit();
    const std::vector<std::string> lines = read_lines(name);
    ASSERT_EQ(lines.size(), 3u);  // the two opening lines, then this one
    EXPECT_TRUE(matches(lines[2], c.pattern)) << lines[2] << "\n  !~ " << c.pattern;
  }
}

TEST_F(LogFixture, TimeStampIsTheLocalWallClock) {
  const std::string name = path("time.log");
  for (bool ms : {false, true}) {
    SCOPED_TRACE(ms ? "milliseconds" : "seconds");
    ASSERT_EQ(Logger::open(name, false), 0);
    Logger::log_timestamps(true, ms);
    const time_t before = time(nullptr);
    hello_p(TAVO_LOG_WARN);
    const time_t after = time(nullptr);
    const std::vector<std::string> lines = read_lines(name);
    ASSERT_EQ(lines.size(), 3u);
    const std::string stamp = lines[2].substr(6, lines[2].find(']') - 6);
    ASSERT_EQ(stamp.size(), ms ? 18u : 14u) << lines[2];

    // time() may lag the clock the milliseconds come from by a fraction of a
    // second, hence one second of slack.
    std::set<std::string> allowed;
    for (time_t t = before; t <= after + 1; ++t) {
      tm local;
      localtime_r(&t, &local);
      char buf[32];
      strftime(buf, sizeof buf, "%m/%d %H:%M:%S", &local);
      allowed.insert(buf);
    }
    EXPECT_EQ(allowed.count(stamp.substr(0, 14)), 1u) << stamp;
    if (ms) {
      EXPECT_TRUE(matches(stamp.substr(14), "\\.\\d\\d\\d")) << stamp;
    }
  }
}

TEST_F(LogFixture, LevelDecidesWhichFunctionsWrite) {
  struct Emitter {
    const char* text;
    std::function<void(const char*)> emit;
  };
  const Emitter emitters[] = {
      {"p_info", [](const char* t) { Logger::log_p(TAVO_LOG_INFO, kFile, 1, t, 7); }},
      {"p_warn", [](const char* t) { Logger::log_p(TAVO_LOG_WARN, kFile, 1, t, 7); }},
      {"info__", [](const char* t) { Logger::log_info_p(kFile, 1, t, 7); }},
      {"debug_", [](const char* t) { Logger::log_debg_p(kFile, 1, t, 7, DEB_MAIN); }},
      {"active", [](const char* t) { Logger::log_activity_p(t, 7); }},
      {"fmt_in", [](const char* t) { Logger::log(TAVO_LOG_INFO, "%.6s", t); }},
      {"raw___", [](const char* t) { Logger::log(t, 7); }},
      {"always", [](const char* t) { Logger::log_always_p(t); }},
      {"hdr_wa",
       [](const char* t) {
         std::ostringstream os;
         if (Logger::log_hdr_p(&os, TAVO_LOG_WARN, kFile, 1)) Logger::log_always_p(os.str() + t);
       }},
  };
  const struct {
    LogLevel level;
    std::set<std::string> written;
  } cases[] = {
      {TAVO_LOG_ALL,
       {"p_info", "p_warn", "info__", "debug_", "active", "fmt_in", "raw___", "always", "hdr_wa"}},
      {TAVO_LOG_DEBUG,
       {"p_info", "p_warn", "info__", "debug_", "active", "fmt_in", "always", "hdr_wa"}},
      {TAVO_LOG_INFO, {"p_info", "p_warn", "info__", "active", "fmt_in", "always", "hdr_wa"}},
      {TAVO_LOG_WARN, {"p_warn", "active", "always", "hdr_wa"}},
      {TAVO_LOG_NONE, {"active", "always"}},
  };
  const std::string name = path("levels.log");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    ASSERT_EQ(Logger::open(name, false), 0);
    Logger::log_level(c.level);
    for (const Emitter& e : emitters) e.emit((std::string(e.text) + "\n").c_str());
    const std::string content = read_file(name);
    for (const Emitter& e : emitters) {
      EXPECT_EQ(content.find(std::string(e.text) + "\n") != std::string::npos,
                c.written.count(e.text) == 1)
          << e.text;
    }
  }
}

TEST_F(LogFixture, SettersReturnThePreviousValue) {
  EXPECT_EQ(Logger::log_level(TAVO_LOG_WARN), TAVO_LOG_ALL);
  EXPECT_EQ(Logger::log_level(static_cast<LogLevel>(7)), TAVO_LOG_WARN);
  EXPECT_EQ(Logger::log_level(), TAVO_LOG_WARN);
  EXPECT_EQ(Logger::log_level(TAVO_LOG_NONE), TAVO_LOG_WARN);
  EXPECT_EQ(Logger::log_level(), TAVO_LOG_NONE);

  EXPECT_EQ(Logger::set_max_size(100), 40000000u);
  EXPECT_EQ(Logger::get_max_size(), 100u);
  EXPECT_TRUE(Logger::log_timestamps(false, true));
  EXPECT_FALSE(Logger::log_timestamps(true, false));
  EXPECT_FALSE(Logger::log_thread_id(true));
  EXPECT_TRUE(Logger::log_thread_id(false));
  EXPECT_TRUE(Logger::log_lineno(false));
  EXPECT_FALSE(Logger::log_lineno(true));
}

TEST_F(LogFixture, OpenWritesTheBannerAndCloseSaysGoodbye) {
  EXPECT_EQ(Logger::get_filename(), "stderr");
  const std::string name = path("app.log");
  ASSERT_EQ(Logger::open(name, false), 0);
  EXPECT_EQ(Logger::get_filename(), name);
  hello_p(TAVO_LOG_WARN);
  Logger::close();
  EXPECT_EQ(Logger::get_filename(), "stderr");

  const std::string logger_at = "INFO \\[" LOG_TS "\\] tavo_Logger\\.cpp:\\d+ ";
  const std::string who = re_escape(name) + "\\[" + std::to_string(getpid()) + "\\]";
  const std::vector<std::string> lines = read_lines(name);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(matches(lines[0], logger_at + who + ", Opened fresh")) << lines[0];
  EXPECT_EQ(lines[1], tavo_label);
  EXPECT_TRUE(matches(lines[1],
                      "@\\(#\\) (debug|release) tavo library version 1\\.1\\.1 Build 1 built "
                      "[A-Z][a-z]{2} [ 1-3]\\d \\d{4} @ \\d\\d:\\d\\d:\\d\\d by .+"))
      << lines[1];
  EXPECT_TRUE(matches(lines[2], "WARN .* hello"));
  EXPECT_TRUE(matches(lines[3], logger_at + who + " Closing Log")) << lines[3];
}

TEST_F(LogFixture, OpenTruncatingKeepsThePreviousFileAsOldAndAppendingContinuesIt) {
  const std::string name = path("app.log");
  std::ofstream(name + ".old") << "oldest\n";
  std::ofstream(name) << "previous\n";

  ASSERT_EQ(Logger::open(name, false), 0);
  EXPECT_EQ(read_file(name + ".old"), "previous\n");
  Logger::log_always_p("first\n");

  ASSERT_EQ(Logger::open(name, true), 0);
  Logger::log_always_p("second\n");
  Logger::close();

  EXPECT_EQ(read_file(name + ".old"), "previous\n");
  const std::vector<std::string> lines = read_lines(name);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_TRUE(matches(lines[0], ".*, Opened fresh"));
  EXPECT_EQ(lines[2], "first");
  EXPECT_TRUE(matches(lines[3], ".*, Opened fresh"));
  EXPECT_EQ(lines[4], tavo_label);
  EXPECT_EQ(lines[5], "second");
  EXPECT_TRUE(matches(lines[6], ".* Closing Log"));

  // Appending to a file that does not exist yet creates it.
  const std::string fresh = path("fresh.log");
  ASSERT_EQ(Logger::open(fresh, true), 0);
  EXPECT_EQ(read_lines(fresh).size(), 2u);
}

TEST_F(LogFixture, StandardStreamsAreNamedAndNeverRoll) {
  const std::string name = path("before.log");
  ASSERT_EQ(Logger::open(name, false), 0);
  Logger::set_max_size(1);

  CaptureStdout();
  ASSERT_EQ(Logger::open("stdout", false), 0);
  EXPECT_EQ(Logger::get_filename(), "stdout");
  for (int i = 0; i < 3; ++i) hello_p(TAVO_LOG_WARN);
  const std::string out = GetCapturedStdout();

  CaptureStderr();
  ASSERT_EQ(Logger::open("stderr", false), 0);
  EXPECT_EQ(Logger::get_filename(), "stderr");
  for (int i = 0; i < 3; ++i) hello_p(TAVO_LOG_ERROR);
  const std::string err = GetCapturedStderr();

  const std::string line = "\\[" LOG_TS "\\] " + kAt + kTid + "hello\n";
  EXPECT_TRUE(matches(out, "(WARN " + line + "){3}")) << out;
  EXPECT_TRUE(matches(err, "(ERROR" + line + "){3}")) << err;
  EXPECT_EQ(read_lines(name).size(), 2u);  // closed when the output moved
  EXPECT_FALSE(std::filesystem::exists("stdout"));
  EXPECT_FALSE(std::filesystem::exists("stdout.old"));
  EXPECT_FALSE(std::filesystem::exists(name + ".old"));
}

TEST_F(LogFixture, OpenFailureReturnsErrnoAndStaysOnStandardError) {
  const std::string name = path("missing/app.log");
  CaptureStderr();
  const int rc = Logger::open(name, false);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(rc, ENOENT);
  EXPECT_EQ(Logger::get_filename(), "stderr");
  EXPECT_NE(
      err.find("Logger::open Unable to open " + name + " err:" + std::to_string(ENOENT) + "\n"),
      std::string::npos)
      << err;
}

TEST_F(LogFixture, SubjectFilterNarrowsACategory) {
  const std::string name = path("debug.log");
  ASSERT_EQ(Logger::open(name, false), 0);

  Logger::set_debug(DEB_SOCKET_OUT);
  EXPECT_EQ(Logger::is_debug(DEB_SOCKET_OUT), static_cast<int>(DEB_SOCKET_OUT));
  EXPECT_EQ(Logger::is_debug(DEB_SOCKET_OUT, "12"), 0);  // enabled, but without a filter

  Logger::set_debug(DEB_SOCKET_OUT, "12|13");
  const struct {
    DebugCategory cat;
    const char* subject;
    int expected;
  } cases[] = {
      {DEB_SOCKET_OUT, "12", 1}, {DEB_SOCKET_OUT, "13", 1},  {DEB_SOCKET_OUT, "14", 0},
      {DEB_SOCKET_OUT, "1", 0},  {DEB_SOCKET_OUT, "123", 0}, {DEB_SOCKET_IN, "12", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Logger::is_debug(c.cat, c.subject), c.expected) << c.cat << " " << c.subject;
  }

  // Filters and subjects are compared in upper case.
  Logger::set_debug(DEB_MAIN, "quote.*");
  EXPECT_EQ(Logger::is_debug(DEB_MAIN, "QUOTE.IBM"), 1);
  EXPECT_EQ(Logger::is_debug(DEB_MAIN, "quote.ibm"), 1);
  EXPECT_EQ(Logger::is_debug(DEB_MAIN, "quote.ibm.n"), 0);

  // Setting the category again without a filter discards the filter.
  Logger::set_debug(DEB_MAIN);
  EXPECT_EQ(Logger::is_debug(DEB_MAIN, "quote.ibm"), 0);
  EXPECT_NE(Logger::is_debug(DEB_MAIN), 0);

  const std::vector<std::string> lines = read_lines(name);
  const std::string at = "INFO \\[" LOG_TS "\\] tavo_Logger\\.cpp:\\d+ ";
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_TRUE(matches(lines[2], at + "Debug set for category: SOCKET_OUT")) << lines[2];
  EXPECT_TRUE(matches(lines[3], at + "Debug set for cat: SOCKET_OUT filt: 12\\|13")) << lines[3];
  EXPECT_TRUE(matches(lines[4], at + "Debug set for cat: MAIN filt: QUOTE\\.\\*")) << lines[4];
  EXPECT_TRUE(matches(lines[5], at + "Debug set for category: MAIN")) << lines[5];
}

TEST_F(LogFixture, SeveralCategoriesAtOnceAndClearingThem) {
  const std::string name = path("debug.log");
  ASSERT_EQ(Logger::open(name, false), 0);
  Logger::set_debug(DEB_DB_ALL, "x");
  EXPECT_EQ(g_logDebugFlags, DEB_DB_ALL);
  EXPECT_EQ(Logger::is_debug(DEB_DB_DELETE, "X"), 1);
  const std::vector<std::string> lines = read_lines(name);
  ASSERT_EQ(lines.size(), 6u);
  const char* const names[] = {"DB_LOOKUP", "DB_UPDATE", "DB_DELETE", "DB_INSERT"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(
        matches(lines[2 + i], ".* Debug set for cat: " + std::string(names[i]) + " filt: X"))
        << lines[2 + i];
  }

  Logger::set_debug();
  EXPECT_EQ(g_logDebugFlags, DEB_DB_ALL | DEB_APP);

  // clear_debug switches the categories off but keeps their filters.
  Logger::clear_debug();
  EXPECT_EQ(Logger::is_debug(), 0);
  EXPECT_EQ(Logger::is_debug(DEB_DB_DELETE, "X"), 0);
  g_logDebugFlags = DEB_DB_DELETE;
  EXPECT_EQ(Logger::is_debug(DEB_DB_DELETE, "X"), 1);
}

TEST_F(LogFixture, CloseClearsCategoriesAndFiltersButKeepsLevelAndSwitches) {
  ASSERT_EQ(Logger::open(path("close.log"), false), 0);
  Logger::set_debug(DEB_MAIN, "a");
  Logger::set_filt_info(DEB_MAIN, "subjects of the main loop");
  Logger::log_level(TAVO_LOG_WARN);
  Logger::log_lineno(false);
  Logger::set_max_size(1234);

  Logger::close();
  EXPECT_EQ(Logger::is_debug(), 0);
  g_logDebugFlags = DEB_MAIN;
  EXPECT_EQ(Logger::is_debug(DEB_MAIN, "A"), 0);  // the filter is gone
  EXPECT_EQ(Logger::log_level(), TAVO_LOG_WARN);
  EXPECT_EQ(Logger::get_max_size(), 1234u);
  EXPECT_FALSE(Logger::log_lineno(true));
}

TEST_F(LogFixture, DebugStatementsFormatNothingWhileTheirCategoryIsOff) {
  const std::string name = path("macro.log");
  ASSERT_EQ(Logger::open(name, false), 0);
  Logger::log_timestamps(false, false);
  int built = 0;
  auto text = [&built](const char* s) {
    ++built;
    return s;
  };

  TAVO_DEBUG(DEB_MAIN, text("all off") << "\n");
  Logger::set_debug(DEB_TIMER);
  TAVO_DEBUG(DEB_MAIN, text("main off") << "\n");
  EXPECT_EQ(built, 0);
  Logger::set_debug(DEB_MAIN);
  TAVO_DEBUG(DEB_MAIN, text("main on") << "\n");
  EXPECT_EQ(built, 1);

  Logger::set_debug(DEB_SOCKET_OUT, "12|13");
  TAVO_DEBUG_FILT(DEB_SOCKET_OUT, std::string("12"), text("sent on 12") << "\n");
  TAVO_DEBUG_FILT(DEB_SOCKET_OUT, std::string("14"), text("sent on 14") << "\n");
  EXPECT_EQ(built, 2);

  std::vector<std::string> debug;
  for (const std::string& l : read_lines(name)) {
    if (l.compare(0, 5, "DEBUG") == 0) debug.push_back(l);
  }
  ASSERT_EQ(debug.size(), 2u);
  EXPECT_TRUE(matches(debug[0], "DEBUG logger_test\\.cpp:\\d+ cat:MAIN main on")) << debug[0];
  EXPECT_TRUE(matches(debug[1], "DEBUG logger_test\\.cpp:\\d+ cat:SOCKET_OUT flt:12 sent on 12"))
      << debug[1];
}

TEST_F(LogFixture, CategoryNamesAndValues) {
  const struct {
    const char* name;
    DebugCategory value;
  } cases[] = {
      {"INIT", DEB_INIT},
      {"OPEN", DEB_OPEN},
      {"RESV7", DEB_RESV7},
      {"DB_ALL", DEB_DB_ALL},
      {"ALL", DEB_ALL},
      {"NONE", 0},
      {"main", 0},
      {"MAIN ", 0},
      {"", 0},  // the end marker's name is never compared
  };
  for (const auto& c : cases) {
    CaptureStderr();
    EXPECT_EQ(Logger::category_to_enum(c.name), c.value) << c.name;
    const std::string err = GetCapturedStderr();
    const std::string complaint = "Invalid debug category: " + std::string(c.name) + "\n";
    EXPECT_EQ(err.find(complaint) != std::string::npos, c.value == 0) << c.name << ": " << err;
  }

  for (unsigned bit = 0; bit < MAX_DEBUG_CATEGORIES; ++bit) {
    const DebugCategory mask = DebugCategory(1) << bit;
    EXPECT_EQ(Logger::category_to_enum(debug_category_name(mask)), mask) << bit;
    EXPECT_STREQ(_deb_categories[bit + 1].category, debug_category_name(mask));
  }
  EXPECT_STREQ(debug_category_name(0), "NONE");
  EXPECT_STREQ(debug_category_name(DEB_TRACE | DEB_MAIN), "TRACE");
  EXPECT_STREQ(debug_category_name(DEB_ALL), "INIT");
  EXPECT_STREQ(_deb_categories[35].category, "");
  EXPECT_EQ(_deb_categories[35].bit_number, 0u);
}

TEST_F(LogFixture, LimitedStatementsStopAtTheirLimit) {
  const struct {
    unsigned limit;
    int calls;
    size_t written;
    bool notice;
  } cases[] = {{1, 4, 1, false}, {3, 5, 3, true}, {0, 2, 0, false}, {2, 2, 2, true}};
  const std::string name = path("limited.log");
  for (const auto& c : cases) {
    const std::string key = "case" + std::to_string(c.limit);
    SCOPED_TRACE(key);
    ASSERT_EQ(Logger::open(name, false), 0);
    for (int i = 0; i < c.calls; ++i) {
      Logger::log_limited_p(TAVO_LOG_WARN, kFile, 42, "limited\n", 8, c.limit, key);
    }
    std::vector<std::string> lines = read_lines(name);
    lines.erase(lines.begin(), lines.begin() + 2);
    ASSERT_EQ(lines.size(), c.written + (c.notice ? 1 : 0));
    for (size_t i = 0; i < c.written; ++i) {
      EXPECT_TRUE(matches(lines[i], "WARN \\[" LOG_TS "\\] " + kAt + kTid + "limited")) << lines[i];
    }
    if (c.notice) {
      EXPECT_TRUE(matches(lines.back(), "WARN \\[" LOG_TS "\\] " + kAt + kTid +
                                            "Supressing future occurances of this statement; "
                                            "key=\\[" +
                                            key + "\\] limit=\\[" + std::to_string(c.limit) +
                                            "\\]"))
          << lines.back();
    }
  }
}

TEST_F(LogFixture, LimitedCountsAreKeptPerFileBaseNameLineAndKey) {
  unsigned count = 0;
  EXPECT_TRUE(Logger::log_limited_check(2, "a/counted.cpp", 7, "k", count));
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(Logger::log_limited_check(2, "b/counted.cpp", 7, "k", count));
  EXPECT_EQ(count, 2u);  // same base name, line and key
  EXPECT_TRUE(Logger::log_limited_check(2, "counted.cpp", 8, "k", count));
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(Logger::log_limited_check(2, "counted.cpp", 7, "other", count));
  EXPECT_EQ(count, 1u);

  const std::string name = path("checked.log");
  ASSERT_EQ(Logger::open(name, false), 0);
  // A caller that checked passes its count, and the logger does not count again.
  Logger::log_limited_p(TAVO_LOG_WARN, "counted.cpp", 7, "checked\n", 8, 2, "k", 2);
  EXPECT_FALSE(Logger::log_limited_check(2, "counted.cpp", 7, "k", count));
  EXPECT_EQ(count, 3u);
  Logger::log_limited_p(TAVO_LOG_WARN, "counted.cpp", 7, "over\n", 5, 2, "k", count);

  // A statement below the level is not counted.
  Logger::log_level(TAVO_LOG_ERROR);
  Logger::log_limited_p(TAVO_LOG_WARN, "gated.cpp", 1, "gated\n", 6, 1, "k");
  Logger::log_level(TAVO_LOG_ALL);
  Logger::log_limited_p(TAVO_LOG_WARN, "gated.cpp", 1, "gated\n", 6, 1, "k");

  const std::vector<std::string> lines = read_lines(name);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(matches(lines[2], ".* checked"));
  EXPECT_TRUE(matches(lines[3], ".* Supressing .* key=\\[k\\] limit=\\[2\\]"));
  EXPECT_TRUE(matches(lines[4], "WARN .* gated\\.cpp:1 .* gated"));
}

TEST_F(LogFixture, FileRollsToOldOnceItHasPassedTheLimit) {
  const std::string name = path("roll.log");
  ASSERT_EQ(Logger::open(name, false), 0);
  const size_t limit = 1000;
  Logger::set_max_size(limit);
  const int count = 16;  // about 1500 bytes: one roll, and the new file stays below the limit
  for (int i = 0; i < count; ++i) {
    char text[64];
    const int n = snprintf(text, sizeof text, "line %02d of the rolling test\n", i);
    Logger::log_p(TAVO_LOG_WARN, kFile, 42, text, static_cast<size_t>(n));
  }

  const std::string pid = std::to_string(getpid());
  const std::string at = "INFO \\[" LOG_TS "\\] .*tavo_Logger\\.cpp:\\d+ \\[pid:" + pid + "\\] ";
  const std::vector<std::string> old_lines = read_lines(name + ".old");
  const std::vector<std::string> new_lines = read_lines(name);
  ASSERT_GE(old_lines.size(), 4u);
  ASSERT_GE(new_lines.size(), 2u);
  EXPECT_TRUE(matches(old_lines.back(), at + "Rolling Log")) << old_lines.back();
  EXPECT_TRUE(matches(new_lines.front(), at + "Log file rolled")) << new_lines.front();

  // Every line is in one of the two files, in order.
  std::vector<std::string> data(old_lines.begin() + 2, old_lines.end() - 1);
  data.insert(data.end(), new_lines.begin() + 1, new_lines.end());
  ASSERT_EQ(data.size(), static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    char expected[64];
    snprintf(expected, sizeof expected, " line %02d of the rolling test", i);
    EXPECT_NE(data[i].find(expected), std::string::npos) << data[i];
  }

  // The roll came with the first write after the file passed the limit.
  const std::string old_text = read_file(name + ".old");
  const size_t before_roll = old_text.size() - old_lines.back().size() - 1;
  const size_t last_line = old_lines[old_lines.size() - 2].size() + 1;
  EXPECT_GT(before_roll, limit);
  EXPECT_LE(before_roll - last_line, limit);
}

TEST_F(LogFixture, PipesAreNeverRolled) {
  const std::string fifo = path("pipe.log");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int rd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(rd, 0);
  ASSERT_EQ(Logger::open(fifo, true), 0);
  Logger::set_max_size(10);
  for (int i = 0; i < 3; ++i) hello_p(TAVO_LOG_WARN);
  Logger::close();  // before the reader goes, or the closing line raises SIGPIPE

  std::string got;
  char buf[4096];
  for (ssize_t n; (n = read(rd, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  ::close(rd);

  size_t hellos = 0;
  for (size_t at = got.find(" hello\n"); at != std::string::npos; at = got.find(" hello\n", at + 1))
    ++hellos;
  EXPECT_EQ(hellos, 3u) << got;
  EXPECT_EQ(got.find("Rolling Log"), std::string::npos) << got;
  struct stat st;
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_FALSE(std::filesystem::exists(fifo + ".old"));
}

// A truncating open and the size limit both move a regular file aside; a
// device (a log sent to a null device, say) must stay where it is.
TEST_F(LogFixture, DevicesAreNeverRenamed) {
  const std::string dev = path("null");
  if (mknod(dev.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot create a device node here (needs root): " << strerror(errno);
  ASSERT_EQ(Logger::open(dev, false), 0);
  Logger::set_max_size(10);
  for (int i = 0; i < 3; ++i) hello_p(TAVO_LOG_WARN);
  Logger::close();
  ASSERT_EQ(Logger::open(dev, false), 0);
  Logger::close();

  struct stat st;
  ASSERT_EQ(stat(dev.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_FALSE(std::filesystem::exists(dev + ".old"));
}

}  // namespace
}  // namespace KVN
