// TimerManager: delta-list order, expiry across dispatches, id reuse,
// callbacks that add and remove timers, the clock seam and bad arguments.
// Time is driven through dispatch(elapsed) and set_time, never by sleeping.
#include <tavo/TimerManager>

#include <cerrno>
#include <climits>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../logger/log_fixture.h"

namespace KVN {
namespace {

std::string state(const TimerManager& tm) {
  std::ostringstream os;
  tm.print_state(os);
  return os.str();
}

// Records every callback as (timer id, simulated time) and optionally runs an
// action from inside it.
struct Recorder {
  TimerManager tm;
  int now = 0;
  std::vector<std::pair<unsigned, int>> fired;
  std::function<void(unsigned)> on_fire;

  static void cb(unsigned tid, void* closure, sys_time_t, int) {
    Recorder* self = static_cast<Recorder*>(closure);
    self->fired.emplace_back(tid, self->now);
    if (self->on_fire) self->on_fire(tid);
  }
  unsigned add(unsigned period) {
    unsigned id = INVALID_TIMER_ID;
    EXPECT_EQ(tm.add_timer(period, &Recorder::cb, this, &id), 0);
    return id;
  }
  void advance(int ms) {
    now += ms;
    tm.dispatch(ms);
  }
  std::vector<unsigned> fired_ids() const {
    std::vector<unsigned> ids;
    for (const auto& f : fired) ids.push_back(f.first);
    return ids;
  }
};

TEST(TimerManager, EmptyManagerHasNothingToDispatch) {
  Recorder r;
  EXPECT_TRUE(r.tm.empty());
  EXPECT_EQ(r.tm.get_next_dispatch_time_ms(), 4294967295u);
  r.advance(1000);
  EXPECT_TRUE(r.fired.empty());
  EXPECT_EQ(state(r.tm), "");
}

TEST(TimerManager, DeltaListOrderAndEqualExpiriesAcrossDispatches) {
  Recorder r;
  EXPECT_EQ(r.add(100), 0u);
  EXPECT_EQ(r.add(50), 1u);
  EXPECT_EQ(r.add(100), 2u);
  // A new timer due together with an existing one goes before it.
  EXPECT_EQ(state(r.tm), "1/50/50|2/50/100|0/0/100|");
  EXPECT_EQ(r.tm.get_next_dispatch_time_ms(), 50u);

  r.advance(50);
  EXPECT_EQ(r.fired_ids(), (std::vector<unsigned>{1}));
  EXPECT_EQ(state(r.tm), "1/50/50|2/0/100|0/0/100|");

  r.advance(50);
  EXPECT_EQ(r.fired_ids(), (std::vector<unsigned>{1, 1, 2, 0}));
  EXPECT_EQ(state(r.tm), "1/50/50|0/50/100|2/0/100|");
}

TEST(TimerManager, PeriodicExpiryDoesNotDriftOverManyDispatches) {
  Recorder r;
  const unsigned fast = r.add(30);
  const unsigned slow = r.add(70);
  // Uneven steps that include every expiry time: each timer must keep its
  // schedule to the millisecond over many periods, whatever the other does.
  const int stops[] = {12,  30,  60,  70,  90,  101, 120, 140, 150, 180, 210,
                       240, 255, 270, 280, 300, 330, 350, 360, 390, 420};
  for (int t : stops) {
    r.advance(t - r.now);
    ASSERT_LE(r.tm.get_next_dispatch_time_ms(), 30u);
  }
  std::vector<int> fast_at, slow_at;
  for (const auto& f : r.fired) (f.first == fast ? fast_at : slow_at).push_back(f.second);
  std::vector<int> want_fast, want_slow;
  for (int t = 30; t <= 420; t += 30) want_fast.push_back(t);
  for (int t = 70; t <= 420; t += 70) want_slow.push_back(t);
  EXPECT_EQ(fast_at, want_fast);
  EXPECT_EQ(slow_at, want_slow);
  EXPECT_EQ(state(r.tm), std::to_string(fast) + "/30/30|" + std::to_string(slow) + "/40/70|");
}

TEST(TimerManager, LateDispatchRunsEachDueTimerOnceAndCountsFromThen) {
  Recorder r;
  const unsigned a = r.add(30);
  const unsigned b = r.add(40);
  r.advance(100);  // both overdue: one run each, earliest first, no catch-up burst
  EXPECT_EQ(r.fired_ids(), (std::vector<unsigned>{a, b}));
  // Re-installed one period from this dispatch.
  EXPECT_EQ(state(r.tm), "0/30/30|1/10/40|");
  r.advance(29);
  EXPECT_EQ(r.fired.size(), 2u);
  r.advance(1);
  EXPECT_EQ(r.fired.size(), 3u);
}

TEST(TimerManager, RemovalKeepsTheOtherTimersOnTheirTimes) {
  Recorder r;
  const unsigned t10 = r.add(10);
  const unsigned t25 = r.add(25);
  const unsigned t40 = r.add(40);
  r.advance(5);
  EXPECT_EQ(state(r.tm), "0/5/10|1/15/25|2/15/40|");
  ASSERT_EQ(r.tm.remove_timer(t10), 0);
  // The first entry's remaining time moves to the second.
  EXPECT_EQ(state(r.tm), "1/20/25|2/15/40|");
  r.advance(19);
  EXPECT_TRUE(r.fired.empty());
  r.advance(1);
  EXPECT_EQ(r.fired_ids(), (std::vector<unsigned>{t25}));
  r.advance(15);
  EXPECT_EQ(r.fired_ids(), (std::vector<unsigned>{t25, t40}));

  EXPECT_EQ(r.tm.remove_timer(t10), EINVAL);  // already removed
  EXPECT_EQ(r.tm.remove_timer(7), EINVAL);    // never handed out
  EXPECT_EQ(r.tm.remove_timer(INVALID_TIMER_ID), EINVAL);
  EXPECT_EQ(state(r.tm), "1/10/25|2/30/40|");
}

TEST(TimerManager, IdsAreReusedMostRecentlyFreedFirst) {
  Recorder r;
  r.add(10);
  r.add(20);
  r.add(30);
  ASSERT_EQ(r.tm.remove_timer(0), 0);
  ASSERT_EQ(r.tm.remove_timer(2), 0);
  EXPECT_EQ(r.add(5), 2u);
  EXPECT_EQ(r.add(5), 0u);
  EXPECT_EQ(r.add(5), 3u);
}

TEST(TimerManager, CallbacksMayRemoveAndAddTimers) {
  struct Case {
    const char* what;
    std::function<void(Recorder&, unsigned a, unsigned b, unsigned c)> setup;
    int elapsed;
    std::vector<unsigned> fired_first;   // in the first dispatch
    std::vector<unsigned> fired_second;  // in a second dispatch of the same length
  };
  // Timers a (10 ms), b (10 ms) and c (20 ms); the list runs b, a, c.
  const Case cases[] = {
      {"a callback removes its own timer",
       [](Recorder& r, unsigned a, unsigned, unsigned) {
         r.on_fire = [&r, a](unsigned tid) {
           if (tid == a) r.tm.remove_timer(a);
         };
       },
       10,
       {1, 0},
       {1, 2}},
      {"a callback removes another timer due in the same dispatch",
       [](Recorder& r, unsigned a, unsigned b, unsigned) {
         r.on_fire = [&r, a, b](unsigned tid) {
           if (tid == b) r.tm.remove_timer(a);
         };
       },
       10,
       {1},
       {1, 2}},
      {"a callback removes a later timer",
       [](Recorder& r, unsigned a, unsigned, unsigned c) {
         r.on_fire = [&r, a, c](unsigned tid) {
           if (tid == a) r.tm.remove_timer(c);
         };
       },
       10,
       {1, 0},
       {0, 1}},
      {"a callback adds a 10 ms timer, which runs only in a later dispatch",
       [](Recorder& r, unsigned a, unsigned, unsigned) {
         r.on_fire = [&r, a](unsigned tid) {
           if (tid == a && r.now == 10) r.add(10);
         };
       },
       // The new timer falls due together with a and b and runs before them.
       10,
       {1, 0},
       {3, 0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder r;
    const unsigned a = r.add(10);
    const unsigned b = r.add(10);
    const unsigned cc = r.add(20);
    c.setup(r, a, b, cc);
    r.advance(c.elapsed);
    EXPECT_EQ(r.fired_ids(), c.fired_first);
    r.fired.clear();
    r.advance(c.elapsed);
    EXPECT_EQ(r.fired_ids(), c.fired_second);
    std::ostringstream os;
    r.tm.print_state(os);  // checks the id table against the list
  }
}

TEST(TimerManager, CallbackGetsIdClosureAndDispatchTime) {
  TimerManager tm;
  struct Seen {
    unsigned tid = 99;
    void* closure = nullptr;
    sys_time_t sec = 0;
    int ms = -1;
  } seen;
  auto cb = [](unsigned tid, void* closure, sys_time_t sec, int ms) {
    Seen* s = static_cast<Seen*>(closure);
    *s = {tid, closure, sec, ms};
  };
  unsigned id = INVALID_TIMER_ID;
  ASSERT_EQ(tm.add_timer(250, cb, &seen, &id), 0);
  const sys_time_t base = tm.get_time();
  tm.set_time(base, 0);
  EXPECT_EQ(tm.set_time(base + 1, 300), 1300);
  EXPECT_EQ(tm.get_time(), base + 1);
  tm.dispatch(300);
  EXPECT_EQ(seen.tid, id);
  EXPECT_EQ(seen.closure, &seen);
  EXPECT_EQ(seen.sec, base + 1);
  EXPECT_EQ(seen.ms, 300);
}

TEST(TimerManager, WallClockDispatchMeasuresTimeSinceTheLastOne) {
  Recorder r;
  r.add(60000);
  // Pretend the last dispatch was 100 seconds ago.
  const sys_time_t now = r.tm.get_time();
  r.tm.set_time(now - 100, 0);
  r.tm.dispatch();
  EXPECT_EQ(r.fired.size(), 1u);
  EXPECT_GE(r.tm.get_time(), now);
  // Right after, almost no time has passed: nothing more is due.
  r.tm.dispatch();
  EXPECT_EQ(r.fired.size(), 1u);
}

TEST(TimerManager, DifftimeIsSignedAndSaturates) {
  EXPECT_EQ(TimerManager::difftime_ms(10, 5, 9, 995), 10);
  EXPECT_EQ(TimerManager::difftime_ms(9, 995, 10, 5), -10);
  EXPECT_EQ(TimerManager::difftime_ms(100, 0, 100, 0), 0);
  // A clock jump of years does not overflow into a wrong sign.
  EXPECT_EQ(TimerManager::difftime_ms(100000000, 0, 0, 0), INT_MAX);
  EXPECT_EQ(TimerManager::difftime_ms(0, 0, 100000000, 0), INT_MIN);
}

class TimerLog : public LogFixture {};

TEST_F(TimerLog, ClockSetBackIsLoggedAndCountsAsNoTime) {
  ASSERT_EQ(Logger::open(path("log"), false), 0);
  Recorder r;
  r.add(10);
  r.tm.dispatch(-5);
  EXPECT_EQ(state(r.tm), "0/10/10|");
  Logger::close();
  EXPECT_NE(read_file(path("log")).find("TimerManager: Time went back by 5 ms\n"),
            std::string::npos);
}

TEST_F(TimerLog, ZeroPeriodAndMissingCallbackAreRefused) {
  ASSERT_EQ(Logger::open(path("log"), false), 0);
  TimerManager tm;
  unsigned id = 5;
  EXPECT_EQ(tm.add_timer(0, &Recorder::cb, nullptr, &id), EINVAL);
  EXPECT_EQ(id, INVALID_TIMER_ID);
  id = 5;
  EXPECT_EQ(tm.add_timer(10, nullptr, nullptr, &id), EINVAL);
  EXPECT_EQ(id, INVALID_TIMER_ID);
  EXPECT_TRUE(tm.empty());
  Logger::close();
  EXPECT_NE(read_file(path("log")).find("TimerManager: rejected timer"), std::string::npos);
}

TEST_F(TimerLog, DebugLinesDescribeAddedAndRemovedEntries) {
  ASSERT_EQ(Logger::open(path("log"), false), 0);
  Logger::set_debug(DEB_APP);
  TimerManager tm;
  unsigned id = INVALID_TIMER_ID;
  int closure = 0;
  ASSERT_EQ(tm.add_timer(100, &Recorder::cb, &closure, &id), 0);
  ASSERT_EQ(tm.remove_timer(id), 0);
  Logger::clear_debug();
  Logger::close();
  std::vector<std::string> lines;
  for (const std::string& l : read_lines(path("log")))
    if (l.find("Timer: ") != std::string::npos) lines.push_back(l);
  ASSERT_EQ(lines.size(), 2u);
  const std::string entry =
      "id: 0, actual expiry: 100 ms, relative expiry: 100 ms, closure: 0x0x[0-9a-f]+, ptr: "
      "0x0x[0-9a-f]+";
  EXPECT_TRUE(matches(lines[0], ".*Added Timer: " + entry + ", Manager: 0x[0-9a-f]+")) << lines[0];
  EXPECT_TRUE(matches(lines[1], ".*Removing Timer: " + entry + ", Selector: 0x[0-9a-f]+"))
      << lines[1];
}

}  // namespace
}  // namespace KVN
