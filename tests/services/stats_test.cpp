// StatsManager and StatsClient: report layout, enabling by name, callbacks
// that change the registry during a print, id reuse, the statistics file
// rewritten in place, and the registry's reset once idle.
#include <tavo/StatsManager>

#include <unistd.h>

#include <cerrno>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../logger/log_fixture.h"

namespace KVN {
namespace {

const std::string kDashes(40, '-');
const std::string kTrailer = "   ----- Anything after this line is junk!! ----- ";

// A module whose print callback writes a fixed text and may run an action.
struct Module {
  Module(std::string n, std::string t) : name(std::move(n)), text(std::move(t)) {}
  std::string name;
  std::string text;
  unsigned sid = StatsManager::INVALID_SUBSCRIPTION_ID;
  std::function<void()> on_print;
  int prints = 0;
  int clears = 0;
  sys_time_t clear_time = 0;
  int last_delta = -1;

  static void print(unsigned sid, std::ostream& os, sys_time_t, int delta, void* closure) {
    Module* m = static_cast<Module*>(closure);
    EXPECT_EQ(sid, m->sid);
    ++m->prints;
    m->last_delta = delta;
    os << m->text;
    if (m->on_print) m->on_print();
  }
  static void clear(unsigned sid, sys_time_t ctime, void* closure) {
    Module* m = static_cast<Module*>(closure);
    EXPECT_EQ(sid, m->sid);
    ++m->clears;
    m->clear_time = ctime;
  }
};

// Leaves the process-wide registry idle after each test, so that the next
// one starts from a fresh state.
class Stats : public LogFixture {
 protected:
  void TearDown() override {
    // By id: the modules are locals of the test body, gone by now. Ids the
    // test freed itself are refused, which does no harm.
    for (unsigned sid : m_sids) StatsManager::unsubscribe(sid);
    StatsManager::close();
    if (!m_old_cwd.empty()) {
      EXPECT_EQ(chdir(m_old_cwd.c_str()), 0);
    }
    LogFixture::TearDown();
  }

  void subscribe(Module& m, bool enabled = true) {
    ASSERT_EQ(StatsManager::subscribe(m.name, &Module::print, &Module::clear, &m, &m.sid, enabled),
              0);
    m_sids.push_back(m.sid);
  }

  void enter_dir() {
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    m_old_cwd = buf;
    ASSERT_EQ(chdir(m_dir.c_str()), 0);
  }

  static std::string print(sys_time_t ctime) {
    std::ostringstream os;
    EXPECT_EQ(StatsManager::print_stats(ctime, os), 0);
    return os.str();
  }

  // The report after its header line, which holds the clock time.
  static std::string body(const std::string& report) {
    const size_t nl = report.find('\n');
    return nl == std::string::npos ? report : report.substr(nl + 1);
  }

  static std::string block(const Module& m) {
    return "Module: " + m.name + "\n" + m.text + kDashes + "\n";
  }

  std::vector<unsigned> m_sids;
  std::string m_old_cwd;
};

TEST_F(Stats, NoEnabledModuleWritesNothing) {
  EXPECT_EQ(print(1000), "");
  Module m{"quiet", "x\n"};
  subscribe(m, false);
  EXPECT_EQ(print(1000), "");
  EXPECT_EQ(m.prints, 0);
}

TEST_F(Stats, ReportHasHeaderEnabledBlocksInOrderAndTrailer) {
  Module first{"first", "one\n"}, second{"second", "two\n"}, third{"third", "three\n"};
  subscribe(first);
  subscribe(second, false);
  subscribe(third);
  ASSERT_EQ(StatsManager::set_application_name("feed"), 0);

  const sys_time_t t0 = sys_time(nullptr) + 100;
  const std::string report = print(t0);
  const std::string header = report.substr(0, report.find('\n'));
  EXPECT_TRUE(matches(header, "feed:" + std::to_string(getpid()) +
                                  " Statistics - \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d"
                                  "\\[Delta:10[0-9]\\]"))
      << header;
  EXPECT_EQ(body(report), kDashes + "\n" + block(first) + block(third) + kTrailer + "\n");

  // The interval is the time since the previous print.
  EXPECT_NE(print(t0 + 60).find("[Delta:60]\n"), std::string::npos);
  EXPECT_EQ(first.last_delta, 60);

  EXPECT_EQ(StatsManager::enable("ALL"), 0);
  EXPECT_EQ(body(print(t0 + 70)),
            kDashes + "\n" + block(first) + block(second) + block(third) + kTrailer + "\n");
  EXPECT_EQ(StatsManager::disable("first"), 0);
  EXPECT_EQ(StatsManager::disable("nosuch"), -1);
  EXPECT_EQ(StatsManager::enable("nosuch"), -1);
  EXPECT_EQ(body(print(t0 + 80)), kDashes + "\n" + block(second) + block(third) + kTrailer + "\n");
}

TEST_F(Stats, CallbacksMayUnsubscribeDuringAPrint) {
  struct Case {
    const char* what;
    int remover;               // whose callback removes
    int removed;               // which module it removes
    std::vector<int> printed;  // modules whose blocks appear
  };
  const Case cases[] = {
      {"its own module", 0, 0, {0, 1, 2}},
      {"the next module", 0, 1, {0, 2}},
      {"an earlier module", 2, 0, {0, 1, 2}},
      {"the last module from the middle", 1, 2, {0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Module m[3] = {{"a", "A\n"}, {"b", "B\n"}, {"c", "C\n"}};
    for (Module& x : m) subscribe(x);
    Module& removed = m[c.removed];
    m[c.remover].on_print = [&removed] { EXPECT_EQ(StatsManager::unsubscribe(removed.sid), 0); };
    std::string want = kDashes + "\n";
    for (int i : c.printed) want += block(m[i]);
    EXPECT_EQ(body(print(5000)), want + kTrailer + "\n");
    for (Module& x : m)
      if (&x != &removed) StatsManager::unsubscribe(x.sid);
  }
}

TEST_F(Stats, APrintFromInsideACallbackLeavesTheOuterWalkIntact) {
  Module a{"a", "A\n"}, b{"b", "B\n"}, c{"c", "C\n"};
  subscribe(a);
  subscribe(b);
  subscribe(c);
  std::string inner;
  bool nested = false;
  a.on_print = [&] {
    if (nested) return;
    nested = true;
    inner = print(6000);
  };
  EXPECT_EQ(body(print(6000)), kDashes + "\n" + block(a) + block(b) + block(c) + kTrailer + "\n");
  EXPECT_EQ(body(inner), kDashes + "\n" + block(a) + block(b) + block(c) + kTrailer + "\n");
}

TEST_F(Stats, RemovingTheLastModuleMidPrintResetsTheRegistryAfterwards) {
  Module only{"only", "O\n"};
  subscribe(only);
  ASSERT_EQ(StatsManager::set_application_name("feed"), 0);
  only.on_print = [&] { StatsManager::unsubscribe(only.sid); };
  EXPECT_EQ(body(print(7000)), kDashes + "\n" + block(only) + kTrailer + "\n");

  // Idle with no file open: the next use starts afresh, default name included.
  Module next{"next", "N\n"};
  subscribe(next);
  EXPECT_EQ(next.sid, 0u);
  const std::string report = print(sys_time(nullptr));
  EXPECT_TRUE(matches(report.substr(0, report.find('\n')),
                      "\\?" + std::to_string(getpid()) +
                          "unknown\\d+\\?:" + std::to_string(getpid()) + " Statistics - .*"))
      << report;
}

TEST_F(Stats, IdsAreReusedMostRecentlyFreedFirst) {
  Module m0{"m0", ""}, m1{"m1", ""}, m2{"m2", ""}, m3{"m3", ""};
  subscribe(m0);
  subscribe(m1);
  subscribe(m2);
  EXPECT_EQ(m2.sid, 2u);
  ASSERT_EQ(StatsManager::unsubscribe(m0.sid), 0);
  ASSERT_EQ(StatsManager::unsubscribe(m1.sid), 0);
  EXPECT_EQ(StatsManager::unsubscribe(m1.sid), EINVAL);
  EXPECT_EQ(StatsManager::unsubscribe(99), EINVAL);
  subscribe(m3);
  EXPECT_EQ(m3.sid, 1u);
}

TEST_F(Stats, ClearRunsTheEnabledModulesWithTheCurrentTime) {
  Module on{"on", ""}, off{"off", ""};
  subscribe(on);
  subscribe(off, false);
  const sys_time_t before = sys_time(nullptr);
  ASSERT_EQ(StatsManager::clear_stats(), 0);
  EXPECT_EQ(on.clears, 1);
  EXPECT_EQ(off.clears, 0);
  EXPECT_GE(on.clear_time, before);
  EXPECT_LE(on.clear_time, sys_time(nullptr));
  // The next interval counts from the clear.
  print(on.clear_time + 30);
  EXPECT_EQ(on.last_delta, 30);
}

TEST_F(Stats, FileIsRewrittenInPlaceAndValidUpToItsTrailer) {
  enter_dir();
  ASSERT_EQ(mkdir("stat", 0755), 0);
  ASSERT_EQ(Logger::open(path("log"), false), 0);
  ASSERT_EQ(StatsManager::set_application_name("feed"), 0);
  ASSERT_EQ(StatsManager::open(""), 0);
  EXPECT_EQ(StatsManager::get_filename(), "stat/feed.stat");
  EXPECT_EQ(StatsManager::open("other.stat"), EINVAL);

  Module m{"cache", std::string(500, 'x') + "\n"};
  subscribe(m);
  ASSERT_EQ(StatsManager::print_stats(8000), 0);
  const std::string first = read_file("stat/feed.stat");
  ASSERT_NE(first.find(kTrailer), std::string::npos);

  m.text = "short\n";
  ASSERT_EQ(StatsManager::print_stats(8060), 0);
  const std::string second = read_file("stat/feed.stat");
  EXPECT_EQ(second.size(), first.size());  // not truncated
  const size_t end = second.find(kTrailer + "\n");
  ASSERT_NE(end, std::string::npos);
  const std::string valid = second.substr(0, end + kTrailer.size() + 1);
  EXPECT_NE(valid.find("[Delta:60]\n"), std::string::npos);
  EXPECT_EQ(body(valid), kDashes + "\n" + block(m) + kTrailer + "\n");
  // What follows is the end of the older, longer report.
  EXPECT_EQ(second.substr(valid.size()), first.substr(valid.size()));

  ASSERT_EQ(StatsManager::close(), 0);
  EXPECT_EQ(StatsManager::get_filename(), "stdout");
  Logger::close();
  const std::string log = read_file(path("log"));
  EXPECT_NE(log.find("Stat File opened: stat/feed.stat\n"), std::string::npos);
  EXPECT_NE(log.find("StatsManager stats file already opened\n"), std::string::npos);
}

TEST_F(Stats, OpenFailuresAndStdout) {
  ASSERT_EQ(Logger::open(path("log"), false), 0);
  EXPECT_EQ(StatsManager::open("stdout"), 0);
  EXPECT_EQ(StatsManager::get_filename(), "stdout");
  EXPECT_EQ(StatsManager::open(path("no/such/dir.stat")), ENOENT);
  EXPECT_EQ(StatsManager::get_filename(), "stdout");
  Logger::close();
  EXPECT_NE(read_file(path("log")).find("StatsManager open failed for " + path("no/such/dir.stat")),
            std::string::npos);
}

TEST_F(Stats, PrintToTheStatisticsOutputGoesToStdoutWithoutAFile) {
  Module m{"out", "to stdout\n"};
  subscribe(m);
  testing::internal::CaptureStdout();
  ASSERT_EQ(StatsManager::print_stats(9000), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(body(out), kDashes + "\n" + block(m) + kTrailer + "\n");
}

TEST_F(Stats, CloseDuringAPrintIsRefused) {
  ASSERT_EQ(Logger::open(path("log"), false), 0);
  Module m{"m", ""};
  subscribe(m);
  int rc = 0;
  m.on_print = [&rc] { rc = StatsManager::close(); };
  print(100);
  EXPECT_EQ(rc, EINVAL);
  Logger::close();
  EXPECT_NE(read_file(path("log")).find("StatsManager::close() currently printing stats\n"),
            std::string::npos);
}

TEST_F(Stats, ModulesAreListedInTheLog) {
  ASSERT_EQ(Logger::open(path("log"), false), 0);
  Module a{"alpha", ""}, b{"beta", ""};
  subscribe(a);
  subscribe(b, false);
  StatsManager::print_modules_to_log();
  Logger::close();
  const std::string log = read_file(path("log"));
  const size_t pa = log.find("Stats Module:alpha Enabled: 1\n");
  const size_t pb = log.find("Stats Module:beta Enabled: 0\n");
  ASSERT_NE(pa, std::string::npos);
  ASSERT_NE(pb, std::string::npos);
  EXPECT_LT(pa, pb);
}

TEST(StatsRate, DividesByTheIntervalAndGivesZeroForNone) {
  EXPECT_DOUBLE_EQ(StatsManager::rate(8000, 10), 800.0);
  EXPECT_DOUBLE_EQ(StatsManager::rate(8000, 0), 0.0);
  EXPECT_DOUBLE_EQ(StatsManager::rate(8000, -3), 0.0);
}

// A component registering itself through the base class.
class Counter : public StatsClient {
 public:
  explicit Counter(const std::string& name, bool enabled = true) : StatsClient(name, enabled) {}
  ~Counter() override { stats_unsubscribe(); }
  void on_print_stats(std::ostream& os, sys_time_t, int delta) override {
    os << "count=" << count << " per_s=" << StatsManager::rate(count, delta) << "\n";
  }
  void on_clear_stats(sys_time_t) override { count = 0; }
  int count = 0;
};

TEST_F(Stats, StatsClientRegistersForItsLifetime) {
  std::string report;
  {
    Counter c("RT_Consumer");
    EXPECT_NE(c.stats_subscription_id(), StatsManager::INVALID_SUBSCRIPTION_ID);
    c.count = 50;
    const sys_time_t t = sys_time(nullptr);
    print(t);
    report = print(t + 10);
    EXPECT_EQ(body(report), kDashes + "\nModule: RT_Consumer\ncount=50 per_s=5\n" + kDashes + "\n" +
                                kTrailer + "\n");
    report = print(t + 10);  // an interval of 0 seconds
    EXPECT_NE(report.find("count=50 per_s=0\n"), std::string::npos);
    ASSERT_EQ(StatsManager::clear_stats(), 0);
    EXPECT_EQ(c.count, 0);

    Counter off("off", false);
    EXPECT_EQ(print(t + 20).find("Module: off"), std::string::npos);
  }
  // Both unsubscribed: nothing is left to print.
  EXPECT_EQ(print(sys_time(nullptr)), "");
}

}  // namespace
}  // namespace KVN
