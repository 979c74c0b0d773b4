// The statistics registry: modules with print and clear callbacks, printed to
// standard output or rewritten in place into a statistics file.
#include <tavo/StatsManager>
#include <tavo/detail/Lock>
#include <tavo/private/logging>
#include <tavo/sys/mutex>
#include <tavo/utils/ostream>

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iostream>
#include <iterator>
#include <list>
#include <memory>
#include <new>
#include <vector>

namespace KVN {

namespace {

const char kDashes[] = "----------------------------------------\n";
const char kTrailer[] = "   ----- Anything after this line is junk!! ----- ";

struct Subscription {
  unsigned sid = StatsManager::INVALID_SUBSCRIPTION_ID;
  std::string module;
  StatsManager::OnPrintStatsCB print_cb = nullptr;
  StatsManager::OnClearStatsCB clear_cb = nullptr;
  void* closure = nullptr;
  bool enabled = true;
};

typedef std::list<Subscription> SubList;

struct StatsImpl {
  StatsImpl()
      : pid(static_cast<unsigned>(::getpid())),
        stat_file(&std::cout),
        last_time(sys_time(nullptr)) {
    app_name = "?" + std::to_string(pid) + "unknown" + std::to_string(last_time) + "?";
  }

  std::string app_name;
  std::string file_name;
  unsigned pid;
  std::ostream* stat_file;
  std::unique_ptr<std::ofstream> file;
  bool file_opened = false;
  unsigned prints_running = 0;  // prints in progress (a callback may print again)
  sys_time_t last_time;
  SubList subs;
  std::vector<SubList::iterator> subs_by_id;  // end() marks a free id
  std::vector<unsigned> free_ids;             // reused last in, first out
  // The position each running walk (print or clear) continues at after its
  // current callback; unsubscribe moves it past an entry it removes.
  std::vector<SubList::iterator*> walks;
  bool discard_pending = false;
};

// Placed into static storage on first use and never destroyed by the exit
// sequence, so modules that unsubscribe from static destructors still find it.
alignas(StatsImpl) unsigned char g_storage[sizeof(StatsImpl)];
StatsImpl* g_impl = nullptr;

// Requires tavo_global_lock_r.
StatsImpl& impl() {
  if (!g_impl) g_impl = new (g_storage) StatsImpl();
  return *g_impl;
}

// Forgets the registry once it is idle; deferred while a walk runs, so that a
// callback removing the last module leaves the walk a valid state.
// Requires tavo_global_lock_r.
void discard_if_idle() {
  StatsImpl& s = impl();
  if (!s.subs.empty() || s.file_opened) return;
  if (!s.walks.empty()) {
    s.discard_pending = true;
    return;
  }
  s.~StatsImpl();
  g_impl = nullptr;
}

typedef ScopedLock<sys_mutex_t> Guard;

// Runs visit on every enabled entry in order. visit may unsubscribe any
// entry, its own included.
template <class Visit>
void walk(StatsImpl& s, Visit visit) {
  SubList::iterator next = s.subs.end();
  s.walks.push_back(&next);
  for (SubList::iterator it = s.subs.begin(); it != s.subs.end(); it = next) {
    next = std::next(it);
    if (it->enabled) visit(*it);
  }
  s.walks.pop_back();
}

// Ends a print or clear: the discard a callback asked for happens once the
// outermost walk is done with the state. Requires tavo_global_lock_r.
void finish_walk(StatsImpl& s) {
  if (s.walks.empty() && s.discard_pending) {
    s.discard_pending = false;
    discard_if_idle();
  }
}

int set_enabled(const std::string& module_name, bool enabled) {
  Guard guard(tavo_global_lock_r);
  int result = -1;
  for (Subscription& sub : impl().subs) {
    if (module_name == "ALL" || sub.module == module_name) {
      sub.enabled = enabled;
      result = 0;
    }
  }
  return result;
}

}  // namespace

int StatsManager::open(const std::string& file_name) {
  Guard guard(tavo_global_lock_r);
  StatsImpl& s = impl();
  if (s.file_opened) {
    TAVO_ERROR("StatsManager stats file already opened\n");
    return EINVAL;
  }
  if (file_name == "stdout") return 0;
  s.file_name = file_name.empty() ? "stat/" + s.app_name + ".stat" : file_name;
  errno = 0;
  std::unique_ptr<std::ofstream> f(new std::ofstream(s.file_name, std::ios::trunc));
  if (!*f) {
    const int err = errno ? errno : EACCES;
    TAVO_ERROR("StatsManager open failed for " << s.file_name << "\n");
    return err;
  }
  TAVO_INFO("Stat File opened: " << s.file_name << "\n");
  s.file = std::move(f);
  s.stat_file = s.file.get();
  s.file_opened = true;
  return 0;
}

int StatsManager::close() {
  Guard guard(tavo_global_lock_r);
  StatsImpl& s = impl();
  if (s.prints_running) {
    TAVO_ERROR("StatsManager::close() currently printing stats\n");
    return EINVAL;
  }
  s.stat_file = &std::cout;
  s.file.reset();
  s.file_opened = false;
  discard_if_idle();
  return 0;
}

int StatsManager::set_application_name(const std::string& app_name) {
  Guard guard(tavo_global_lock_r);
  impl().app_name = app_name;
  return 0;
}

std::string StatsManager::get_filename() {
  Guard guard(tavo_global_lock_r);
  const StatsImpl& s = impl();
  return s.file_opened ? s.file_name : std::string("stdout");
}

int StatsManager::subscribe(const std::string& module, OnPrintStatsCB print_cb,
                            OnClearStatsCB clear_cb, void* closure, unsigned* sub_id,
                            bool enabled) {
  Guard guard(tavo_global_lock_r);
  StatsImpl& s = impl();
  Subscription sub;
  sub.module = module;
  sub.print_cb = print_cb;
  sub.clear_cb = clear_cb;
  sub.closure = closure;
  sub.enabled = enabled;
  const SubList::iterator it = s.subs.insert(s.subs.end(), sub);
  if (!s.free_ids.empty()) {
    it->sid = s.free_ids.back();
    s.free_ids.pop_back();
    s.subs_by_id[it->sid] = it;
  } else {
    it->sid = static_cast<unsigned>(s.subs_by_id.size());
    s.subs_by_id.push_back(it);
  }
  if (sub_id) *sub_id = it->sid;
  return 0;
}

int StatsManager::unsubscribe(unsigned subscription_id) {
  Guard guard(tavo_global_lock_r);
  StatsImpl& s = impl();
  if (subscription_id >= s.subs_by_id.size() || s.subs_by_id[subscription_id] == s.subs.end())
    return EINVAL;
  const SubList::iterator it = s.subs_by_id[subscription_id];
  for (SubList::iterator* next : s.walks)
    if (*next == it) ++*next;
  s.subs.erase(it);
  s.subs_by_id[subscription_id] = s.subs.end();
  s.free_ids.push_back(subscription_id);
  discard_if_idle();
  return 0;
}

int StatsManager::enable(const std::string& module_name) {
  return set_enabled(module_name, true);
}

int StatsManager::disable(const std::string& module_name) {
  return set_enabled(module_name, false);
}

int StatsManager::print_stats(sys_time_t ctime) {
  Guard guard(tavo_global_lock_r);
  StatsImpl& s = impl();
  // The file is rewritten from its start without truncation: the trailer
  // marks where the current report ends.
  if (s.file_opened) s.stat_file->seekp(0);
  return print_stats(ctime, *s.stat_file);
}

int StatsManager::print_stats(sys_time_t ctime, std::ostream& os) {
  Guard guard(tavo_global_lock_r);
  StatsImpl& s = impl();
  ++s.prints_running;
  const int delta = static_cast<int>(ctime - s.last_time);
  bool header = false;
  walk(s, [&](Subscription& sub) {
    if (!header) {
      os << s.app_name << ":" << s.pid << " Statistics - " << print_time(ctime)
         << "[Delta:" << delta << "]\n"
         << kDashes;
      header = true;
    }
    os << "Module: " << sub.module << "\n";
    // Copied: the callback may unsubscribe this entry.
    const OnPrintStatsCB cb = sub.print_cb;
    if (cb) cb(sub.sid, os, ctime, delta, sub.closure);
    os << kDashes;
  });
  if (header) os << kTrailer << std::endl;
  --s.prints_running;
  s.last_time = ctime;
  finish_walk(s);
  return 0;
}

int StatsManager::clear_stats() {
  Guard guard(tavo_global_lock_r);
  StatsImpl& s = impl();
  s.last_time = sys_time(nullptr);
  const sys_time_t ctime = s.last_time;
  walk(s, [&](Subscription& sub) {
    const OnClearStatsCB cb = sub.clear_cb;
    if (cb) cb(sub.sid, ctime, sub.closure);
  });
  finish_walk(s);
  return 0;
}

void StatsManager::print_modules_to_log() {
  Guard guard(tavo_global_lock_r);
  for (const Subscription& sub : impl().subs)
    TAVO_INFO("Stats Module:" << sub.module << " Enabled: " << (sub.enabled ? 1 : 0) << "\n");
}

void StatsManager::lock() {
  sys_mutex_lock(&tavo_global_lock_r);
}

void StatsManager::unlock() {
  sys_mutex_unlock(&tavo_global_lock_r);
}

// ---- StatsClient ------------------------------------------------------------

StatsClient::StatsClient(const std::string& module, bool enabled) : statsclient_cb(this) {
  statsclient_cb.subscribe(module, &StatsClient::call_print, &StatsClient::call_clear, enabled);
}

StatsClient::~StatsClient() {
  statsclient_cb.clear();
}

}  // namespace KVN
