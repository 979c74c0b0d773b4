// Periodic timers over a delta list, driven by the owner's polling loop.
#include <tavo/TimerManager>
#include <tavo/private/logging>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <iterator>
#include <set>

namespace KVN {

std::ostream& operator<<(std::ostream& os, const TimerEntry& e) {
  return os << "id: " << e.tid << ", actual expiry: " << e.actual_expiry
            << " ms, relative expiry: " << e.relative_expiry << " ms, closure: 0x" << e.closure
            << ", ptr: 0x" << static_cast<const void*>(&e);
}

TimerManager::TimerManager() : m_curr_time(0), m_curr_time_ms(0) {
  unsigned usecs = 0;
  sys_gettimeofday(&m_curr_time, &usecs);
  m_curr_time_ms = usecs / 1000;
}

TimerManager::timer_list::iterator TimerManager::find_slot(timer_list::iterator first,
                                                           unsigned period, unsigned* relative) {
  unsigned remaining = period;
  for (; first != m_timers.end(); ++first) {
    if (first->relative_expiry >= remaining) {
      first->relative_expiry -= remaining;
      break;
    }
    remaining -= first->relative_expiry;
  }
  *relative = remaining;
  return first;
}

int TimerManager::add_timer(unsigned time_in_msecs, TimerCB cb, void* closure, unsigned* timer_id) {
  // A period of 0 would be due again at once on every re-install, and dispatch
  // would never finish.
  if (time_in_msecs == 0 || cb == nullptr) {
    TAVO_ERROR("TimerManager: rejected timer with period " << time_in_msecs << " ms and "
                                                           << (cb ? "a" : "no") << " callback\n");
    if (timer_id) *timer_id = INVALID_TIMER_ID;
    return EINVAL;
  }
  TimerEntry entry;
  entry.actual_expiry = time_in_msecs;
  entry.func_cb = cb;
  entry.closure = closure;
  const timer_list::iterator slot =
      find_slot(m_timers.begin(), time_in_msecs, &entry.relative_expiry);
  const timer_list::iterator it = m_timers.insert(slot, entry);

  if (!m_free_timer_ids.empty()) {
    it->tid = m_free_timer_ids.back();
    m_free_timer_ids.pop_back();
    m_timers_by_id[it->tid] = it;
  } else {
    it->tid = static_cast<unsigned>(m_timers_by_id.size());
    m_timers_by_id.push_back(it);
  }
  if (timer_id) *timer_id = it->tid;

  TAVO_DEBUG(DEB_APP, "Added Timer: " << *it << ", Manager: 0x" << std::hex
                                      << reinterpret_cast<uintptr_t>(this) << "\n");
  return 0;
}

int TimerManager::remove_timer(unsigned timer_id) {
  if (timer_id >= m_timers_by_id.size() || m_timers_by_id[timer_id] == m_timers.end())
    return EINVAL;
  const timer_list::iterator it = m_timers_by_id[timer_id];
  TAVO_DEBUG(DEB_APP, "Removing Timer: " << *it << ", Selector: 0x" << std::hex
                                         << reinterpret_cast<uintptr_t>(this) << "\n");
  // The time this entry still had belongs to the one after it, so that the
  // later timers keep their expiry times.
  const unsigned left = it->relative_expiry;
  const timer_list::iterator next = m_timers.erase(it);
  if (next != m_timers.end()) next->relative_expiry += left;
  m_timers_by_id[timer_id] = m_timers.end();
  m_free_timer_ids.push_back(timer_id);
  return 0;
}

unsigned TimerManager::get_next_dispatch_time_ms() const {
  return m_timers.empty() ? 4294967295u : m_timers.front().relative_expiry;
}

int TimerManager::difftime_ms(sys_time_t curr, unsigned curr_ms, sys_time_t prev,
                              unsigned prev_ms) {
  // In 64 bits: a clock that jumps by more than about 24 days would overflow
  // int arithmetic.
  const int64_t ms =
      (curr - prev) * 1000 + static_cast<int64_t>(curr_ms) - static_cast<int64_t>(prev_ms);
  if (ms > INT_MAX) return INT_MAX;
  if (ms < INT_MIN) return INT_MIN;
  return static_cast<int>(ms);
}

int TimerManager::set_time(sys_time_t curr, unsigned curr_ms) {
  const int elapsed = difftime_ms(curr, curr_ms, m_curr_time, m_curr_time_ms);
  m_curr_time = curr;
  m_curr_time_ms = curr_ms;
  return elapsed;
}

void TimerManager::dispatch() {
  sys_time_t sec = m_curr_time;
  unsigned usecs = m_curr_time_ms * 1000;
  sys_gettimeofday(&sec, &usecs);
  dispatch(set_time(sec, usecs / 1000));
}

void TimerManager::reinstall_front() {
  const timer_list::iterator due = m_timers.begin();
  unsigned relative = 0;
  const timer_list::iterator slot = find_slot(std::next(due), due->actual_expiry, &relative);
  due->relative_expiry = relative;
  m_timers.splice(slot, m_timers, due);
}

void TimerManager::dispatch(int time_elapsed_ms) {
  if (time_elapsed_ms < 0) {
    TAVO_WARN("TimerManager: Time went back by " << -static_cast<int64_t>(time_elapsed_ms)
                                                 << " ms\n");
    time_elapsed_ms = 0;
  }
  unsigned elapsed = static_cast<unsigned>(time_elapsed_ms);
  for (TimerEntry& e : m_timers) {
    if (elapsed < e.relative_expiry) {
      e.relative_expiry -= elapsed;
      break;
    }
    elapsed -= e.relative_expiry;
    e.relative_expiry = 0;
  }

  // Every due entry has relative expiry 0 and stands at the front. Each is
  // re-installed behind all of them before its callback runs, so the callback
  // may add or remove timers (its own too) and each due timer runs once.
  while (!m_timers.empty() && m_timers.front().relative_expiry == 0) {
    const TimerEntry due = m_timers.front();
    reinstall_front();
    due.func_cb(due.tid, due.closure, m_curr_time, static_cast<int>(m_curr_time_ms));
  }
}

bool TimerManager::invariants_hold() const {
  size_t live = 0;
  for (size_t id = 0; id < m_timers_by_id.size(); ++id) {
    const timer_list::const_iterator it = m_timers_by_id[id];
    if (it == m_timers.end()) continue;
    if (it->tid != id) return false;
    ++live;
  }
  const std::set<unsigned> free_ids(m_free_timer_ids.begin(), m_free_timer_ids.end());
  if (free_ids.size() != m_free_timer_ids.size()) return false;
  for (unsigned id : free_ids)
    if (id >= m_timers_by_id.size() || m_timers_by_id[id] != m_timers.end()) return false;
  return live == m_timers.size() && live + free_ids.size() == m_timers_by_id.size();
}

std::ostream& TimerManager::print_state(std::ostream& os) const {
  for (const TimerEntry& e : m_timers)
    os << e.tid << '/' << e.relative_expiry << '/' << e.actual_expiry << '|';
  const bool ok = invariants_hold();
  assert(ok);
  if (!ok)
    TAVO_ERROR("TimerManager: inconsistent timer table, Manager: 0x"
               << std::hex << reinterpret_cast<uintptr_t>(this) << "\n");
  return os;
}

}  // namespace KVN
