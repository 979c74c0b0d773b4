// Threads, mutexes, condition variables, clocks, errno and process ids over
// POSIX, and the Lock wrappers built on them.
#include <tavo/detail/Lock>
#include <tavo/sys/condition>
#include <tavo/sys/errno>
#include <tavo/sys/mutex>
#include <tavo/sys/process>
#include <tavo/sys/threading>
#include <tavo/sys/time>

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

extern "C" int tavo_abort_on_err(int err, const char* file, int lineno) {
  if (err == 0) return 0;
  fprintf(stderr, "PANIC: Err:%i File: %s Line: %i\n", err, file, lineno);
  fflush(stderr);
  abort();
}

// Mutex results are checked in the debug configuration only.
#ifdef NDEBUG
#define TAVO_MUTEX_RESULT(expr) (expr)
#else
#define TAVO_MUTEX_RESULT(expr) (tavo_abort_on_err((expr), __FILE__, __LINE__))
#endif

namespace KVN {

sys_mutex_t tavo_global_lock = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
sys_mutex_t tavo_global_lock_r = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// ---- errno, time, process

int sys_get_errno(int default_error) { return errno != 0 ? errno : default_error; }

void sys_set_errno(int err) { errno = err; }

sys_time_t sys_time(sys_time_t* t) {
  sys_time_t now = static_cast<sys_time_t>(::time(nullptr));
  if (t) *t = now;
  return now;
}

int sys_gettimeofday(sys_time_t* time_sec, unsigned* usecs) {
  timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return sys_get_errno(-1);
  if (time_sec) *time_sec = tv.tv_sec;
  if (usecs) *usecs = static_cast<unsigned>(tv.tv_usec);
  return 0;
}

tm* sys_localtime(const sys_time_t* clock, tm* result) {
  time_t t = static_cast<time_t>(*clock);
  return localtime_r(&t, result);
}

int sys_getpid() { return static_cast<int>(getpid()); }

// ---- threads

static void* thread_start_proxy(void* arg) {
  thread_param* tp = static_cast<thread_param*>(arg);
  sys_threadfxn start = tp->real_start_address;
  void* param = tp->real_param;
  delete tp;
  unsigned result = start(param);
  return reinterpret_cast<void*>(static_cast<uintptr_t>(result));
}

int sys_thread_create(sys_thread_t* thread_id, sys_threadfxn start, void* param) {
  thread_param* tp = new thread_param{start, param};
  int rc = pthread_create(thread_id, nullptr, thread_start_proxy, tp);
  if (rc != 0) delete tp;
  return rc;
}

void sys_thread_exit(unsigned exit_code) {
  pthread_exit(reinterpret_cast<void*>(static_cast<uintptr_t>(exit_code)));
}

int sys_thread_join(sys_thread_t thread_id, unsigned* exit_code) {
  void* value = nullptr;
  int rc = pthread_join(thread_id, &value);
  if (rc == 0 && exit_code) *exit_code = static_cast<unsigned>(reinterpret_cast<uintptr_t>(value));
  return rc;
}

int sys_thread_detach(sys_thread_t thread_id) { return pthread_detach(thread_id); }

static timespec millis_to_timespec(unsigned milliseconds) {
  timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  return ts;
}

int sys_thread_sleep(unsigned milliseconds) {
  timespec req = millis_to_timespec(milliseconds);
  if (nanosleep(&req, nullptr) != 0) return sys_get_errno(-1);
  return 0;
}

int sys_thread_sleep_complete(unsigned milliseconds) {
  timespec req = millis_to_timespec(milliseconds);
  int rc;
  while ((rc = nanosleep(&req, &req)) != 0 && errno == EINTR) {
  }
  return rc == 0 ? 0 : sys_get_errno(-1);
}

// ---- mutexes

int sys_mutex_init(sys_mutex_t* mutex, int recursive) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) return rc;
#ifdef NDEBUG
  const int plain = PTHREAD_MUTEX_DEFAULT;
#else
  const int plain = PTHREAD_MUTEX_ERRORCHECK;
#endif
  rc = pthread_mutexattr_settype(&attr, recursive ? PTHREAD_MUTEX_RECURSIVE : plain);
  if (rc == 0) rc = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

int sys_mutex_destroy(sys_mutex_t* mutex) { return TAVO_MUTEX_RESULT(pthread_mutex_destroy(mutex)); }

int sys_mutex_lock(sys_mutex_t* mutex) { return TAVO_MUTEX_RESULT(pthread_mutex_lock(mutex)); }

int sys_mutex_unlock(sys_mutex_t* mutex) { return TAVO_MUTEX_RESULT(pthread_mutex_unlock(mutex)); }

int sys_mutex_trylock(sys_mutex_t* mutex) { return pthread_mutex_trylock(mutex); }

// ---- conditions

int sys_cond_init(sys_cond_t* cond) { return pthread_cond_init(cond, nullptr); }

int sys_cond_destroy(sys_cond_t* cond) { return pthread_cond_destroy(cond); }

int sys_cond_signal(sys_cond_t* cond) { return pthread_cond_signal(cond); }

int sys_cond_broadcast(sys_cond_t* cond) { return pthread_cond_broadcast(cond); }

int sys_cond_wait(sys_cond_t* cond, sys_mutex_t* mutex) { return pthread_cond_wait(cond, mutex); }

timespec sys_deadline_after(const timespec& now, unsigned timeout_ms) {
  timespec deadline;
  deadline.tv_sec = now.tv_sec + timeout_ms / 1000;
  deadline.tv_nsec = now.tv_nsec + static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec > 999999999L) {
    deadline.tv_nsec -= 1000000000L;
    ++deadline.tv_sec;
  }
  return deadline;
}

int sys_cond_timedwait(sys_cond_t* cond, sys_mutex_t* mutex, unsigned timeout_ms) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  timespec deadline = sys_deadline_after(now, timeout_ms);
  return pthread_cond_timedwait(cond, mutex, &deadline);
}

// ---- Lock

Lock::Lock(bool recursive) : m_lock_p(&m_lock) {
  TAVO_MUTEX_RESULT(sys_mutex_init(&m_lock, recursive ? 1 : 0));
}

Lock::~Lock() {
  if (m_lock_p == &m_lock) sys_mutex_destroy(&m_lock);
}

void Lock::lock() const { sys_mutex_lock(m_lock_p); }

void Lock::unlock() const { sys_mutex_unlock(m_lock_p); }

bool Lock::trylock() { return sys_mutex_trylock(m_lock_p) == 0; }

}  // namespace KVN
