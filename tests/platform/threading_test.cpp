// Threads, sleeps, condition deadlines, clocks, errno and the lock contracts,
// including the PANIC abort of the debug configuration.
#include <tavo/detail/Lock>
#include <tavo/sys/condition>
#include <tavo/sys/errno>
#include <tavo/sys/mutex>
#include <tavo/sys/process>
#include <tavo/sys/threading>
#include <tavo/sys/time>
#include <tavo/utils/time>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <stdexcept>

using namespace KVN;

namespace {

unsigned return_param(void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

unsigned exit_early(void*) {
  sys_thread_exit(77);
  return 1;
}

void on_signal(int) {}

// Sends SIGUSR1 to a thread after a delay; the handler does nothing, so the
// only effect is the interruption of the target's sleep.
struct Interrupter {
  pthread_t target;
  unsigned delay_ms;
  static unsigned run(void* p) {
    Interrupter* self = static_cast<Interrupter*>(p);
    sys_thread_sleep_complete(self->delay_ms);
    pthread_kill(self->target, SIGUSR1);
    return 0;
  }
};

class SignalFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the sleep must see EINTR
    sigaction(SIGUSR1, &sa, &old_);
  }
  void TearDown() override { sigaction(SIGUSR1, &old_, nullptr); }

  // Sleeps with sleeper while another thread interrupts after 100 ms; returns
  // the sleeper's result and the elapsed milliseconds.
  template <class Sleep>
  std::pair<int, long> interrupted(Sleep sleeper) {
    Interrupter in{pthread_self(), 100};
    sys_thread_t t;
    EXPECT_EQ(sys_thread_create(&t, Interrupter::run, &in), 0);
    auto start = std::chrono::steady_clock::now();
    int rc = sleeper();
    long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_EQ(sys_thread_join(t, nullptr), 0);
    return {rc, ms};
  }

  struct sigaction old_;
};

}  // namespace

TEST(Threads, ExitValueComesFromStartFunctionOrExit) {
  sys_thread_t t;
  ASSERT_EQ(sys_thread_create(&t, return_param, reinterpret_cast<void*>(uintptr_t{42})), 0);
  unsigned code = 0;
  ASSERT_EQ(sys_thread_join(t, &code), 0);
  EXPECT_EQ(code, 42u);

  ASSERT_EQ(sys_thread_create(&t, exit_early, nullptr), 0);
  ASSERT_EQ(sys_thread_join(t, &code), 0);
  EXPECT_EQ(code, 77u);

  ASSERT_EQ(sys_thread_create(&t, return_param, nullptr), 0);
  EXPECT_EQ(sys_thread_join(t, nullptr), 0);  // null exit_code is allowed
  EXPECT_NE(sys_thread_join(t, nullptr), 0);  // already joined: the library's error
}

TEST_F(SignalFixture, SleepCompleteResumesAfterSignal) {
  auto r = interrupted([] { return sys_thread_sleep_complete(400); });
  EXPECT_EQ(r.first, 0);
  EXPECT_GE(r.second, 390);
}

TEST_F(SignalFixture, SleepReportsInterruption) {
  auto r = interrupted([] { return sys_thread_sleep(5000); });
  EXPECT_EQ(r.first, EINTR);
  EXPECT_LT(r.second, 4000);
}

TEST(Conditions, DeadlineNormalisesNanoseconds) {
  struct Case {
    long sec, nsec;
    unsigned ms;
    long want_sec, want_nsec;
  } cases[] = {
      {10, 500000000, 1999, 12, 499000000},
      {10, 0, 999, 10, 999000000},
      {10, 1000000, 999, 11, 0},
      {10, 999999999, 0, 10, 999999999},
      {0, 0, 4294967295u, 4294967, 295000000},
  };
  for (const Case& c : cases) {
    timespec now = {c.sec, c.nsec};
    timespec d = sys_deadline_after(now, c.ms);
    EXPECT_EQ(d.tv_sec, c.want_sec) << c.ms;
    EXPECT_EQ(d.tv_nsec, c.want_nsec) << c.ms;
  }
}

TEST(Conditions, TimedWaitExpiresAndWakes) {
  sys_mutex_t m;
  sys_cond_t c;
  ASSERT_EQ(sys_mutex_init(&m, 0), 0);
  ASSERT_EQ(sys_cond_init(&c), 0);
  sys_mutex_lock(&m);
  EXPECT_EQ(sys_cond_timedwait(&c, &m, 20), ETIMEDOUT);

  std::atomic<bool> flag{false};
  struct Ctx {
    sys_mutex_t* m;
    sys_cond_t* c;
    std::atomic<bool>* flag;
  } ctx{&m, &c, &flag};
  sys_thread_t t;
  sys_thread_create(
      &t,
      [](void* p) -> unsigned {
        Ctx* x = static_cast<Ctx*>(p);
        sys_mutex_lock(x->m);
        *x->flag = true;
        sys_cond_signal(x->c);
        sys_mutex_unlock(x->m);
        return 0;
      },
      &ctx);
  int rc = 0;
  while (!flag && rc == 0) rc = sys_cond_timedwait(&c, &m, 10000);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(flag);
  sys_mutex_unlock(&m);
  sys_thread_join(t, nullptr);
  sys_cond_destroy(&c);
  sys_mutex_destroy(&m);
}

TEST(Clock, ProcessorTimeAdvancesWithWork) {
  EXPECT_NE(clock_type(-1), clock_type::current());
  clock_type start = clock_type::current();
  volatile unsigned long sink = 0;
  clock_type end;
  do {
    for (int i = 0; i < 1000000; ++i) sink = sink + i;
    end.now();
  } while (end == start);
  EXPECT_GT(end - start, 0.0);
  EXPECT_EQ(clock_type::frequency(), 1000000.0);
}

TEST(TimeAndErrno, Basics) {
  sys_set_errno(0);
  EXPECT_EQ(sys_get_errno(-1), -1);
  sys_set_errno(EAGAIN);
  EXPECT_EQ(sys_get_errno(-1), EAGAIN);

  sys_time_t stored = 0;
  sys_time_t now = sys_time(&stored);
  EXPECT_EQ(now, stored);
  sys_time_t sec = 0;
  unsigned usec = 1000000;
  EXPECT_EQ(sys_gettimeofday(&sec, &usec), 0);
  EXPECT_LT(usec, 1000000u);
  EXPECT_LE(now, sec);

  setenv("TZ", "UTC", 1);
  tzset();
  sys_time_t epoch = 86400 + 3600 + 61;
  tm out;
  ASSERT_EQ(sys_localtime(&epoch, &out), &out);
  EXPECT_EQ(out.tm_mday, 2);
  EXPECT_EQ(out.tm_hour, 1);
  EXPECT_EQ(out.tm_min, 1);
  EXPECT_EQ(out.tm_sec, 1);
  EXPECT_EQ(sys_getpid(), static_cast<int>(getpid()));
}

TEST(Locks, RecursiveLockNests) {
  Lock l(true);
  l.lock();
  l.lock();
  l.unlock();
  l.unlock();
  EXPECT_TRUE(l.trylock());
  l.unlock();
}

TEST(Locks, ScopedLockReleasesUnlessDismissed) {
  Lock l;
  { ScopedLock<Lock> s(l); }
  EXPECT_TRUE(l.trylock());
  l.unlock();
  {
    ScopedLock<Lock> s(l);
    s.unlock();
    EXPECT_TRUE(l.trylock());
    l.unlock();
    s.lock();
    s.dismiss();
  }
  EXPECT_FALSE(l.trylock());  // dismissed: still held
  l.unlock();

  sys_mutex_t m;
  sys_mutex_init(&m, 0);
  { ScopedLock<sys_mutex_t> s(m); EXPECT_EQ(sys_mutex_trylock(&m), EBUSY); }
  EXPECT_EQ(sys_mutex_trylock(&m), 0);
  sys_mutex_unlock(&m);
  sys_mutex_destroy(&m);
}

TEST(Locks, LockRegionReleasesOnExitAndException) {
  Lockable obj(false, false);
  bool ran = false;
  TAVO_LOCK_REGION(obj) {
    ran = true;
    EXPECT_FALSE(obj.trylock());
  }
  EXPECT_TRUE(ran);
  EXPECT_TRUE(obj.trylock());
  obj.unlock();

  EXPECT_THROW(
      {
        TAVO_LOCK_REGION(obj) { throw std::runtime_error("leave"); }
      },
      std::runtime_error);
  EXPECT_TRUE(obj.trylock());
  obj.unlock();

  Lockable locked(true, false);
  EXPECT_FALSE(locked.trylock());
  locked.unlock();
}

TEST(Locks, GlobalLocks) {
  sys_mutex_lock(&tavo_global_lock_r);
  sys_mutex_lock(&tavo_global_lock_r);  // recursive
  sys_mutex_unlock(&tavo_global_lock_r);
  sys_mutex_unlock(&tavo_global_lock_r);
  sys_mutex_lock(&tavo_global_lock);
  EXPECT_EQ(sys_mutex_trylock(&tavo_global_lock), EBUSY);
  sys_mutex_unlock(&tavo_global_lock);
}

TEST(LocksDeathTest, AbortOnErrWritesPanicLine) {
  EXPECT_EQ(tavo_abort_on_err(0, "f", 7), 0);
  EXPECT_DEATH(tavo_abort_on_err(22, "f", 7), "^PANIC: Err:22 File: f Line: 7\n");
}

#ifndef NDEBUG
// The debug configuration's non-recursive mutexes are error-checking: a
// relock by the owner or an unlock by a non-owner ends the process.
TEST(LocksDeathTest, DebugBuildAbortsOnMutexMisuse) {
  EXPECT_DEATH(
      {
        Lock l;
        l.lock();
        l.lock();
      },
      "PANIC: Err:35 File: .*tavo_threading.cpp Line: [0-9]+");
  EXPECT_DEATH(
      {
        Lock l;
        l.unlock();
      },
      "PANIC: Err:1 File: ");
}
#endif
