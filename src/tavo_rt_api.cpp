// Global properties, the public log functions and the client label.
#include <tavo/Logger>
#include <tavo/private/RT_GlobalState>
#include <tavo/private/logging>
#include <tavo/rt_api>

#include <algorithm>
#include <climits>
#include <cstring>

namespace KVN {

const char* const kvnrt_label = "RNX Linux C++ 4.0.2.5";

RT_GlobalState* getGlobalState() {
  // Never destroyed: properties stay readable while other static objects
  // are torn down at process exit.
  static RT_GlobalState* const state = [] {
    ScopedLock<sys_mutex_t> guard(tavo_global_lock);
    return new RT_GlobalState();
  }();
  return state;
}

namespace {

RT_GlobalState& state() {
  static RT_GlobalState* const s = getGlobalState();
  return *s;
}

}  // namespace

bool get_global_property(const std::string& name, std::string* value) {
  RT_GlobalState& st = state();
  ScopedLock<RT_GlobalState> guard(st);
  std::string v;
  if (!st.cfg.get(name, &v) || v.empty()) return false;
  *value = v;
  return true;
}

int Pylon::log_level(RT_LogLevel level) {
  return Logger::log_level(static_cast<LogLevel>(level));
}

size_t Pylon::log_set_max(size_t new_limit) {
  return Logger::set_max_size(new_limit);
}

rt_errno Pylon::log_open(const char* filename, bool append) {
  if (!filename || Logger::open(filename, append) != 0) return RT_E_ACCESS;
  TAVO_INFO(kvnrt_label << "\n");
  return RT_NO_ERROR;
}

void Pylon::log_close() {
  Logger::close();
}

void Pylon::log(RT_LogLevel level, const char* msg, size_t size) {
  if (!msg) size = 0;
  const int n = static_cast<int>(std::min<size_t>(size, INT_MAX));
  Logger::log(static_cast<LogLevel>(level), "%.*s", n, msg ? msg : "");
}

size_t Pylon::get_property(const char* name, char* dest, const char* def_val) {
  if (!dest) return 0;
  std::string value = def_val ? def_val : "";
  if (name) {
    RT_GlobalState& st = state();
    ScopedLock<RT_GlobalState> guard(st);
    st.cfg.get(name, &value);
  }
  const size_t n = std::min(value.size(), MAX_PROPERTY_SIZE - 1);
  std::memcpy(dest, value.data(), n);
  dest[n] = '\0';
  return n;
}

void Pylon::set_property(const char* name, const char* value) {
  if (!name) {
    TAVO_ERROR("Pylon::set_property: no property name\n");
    return;
  }
  RT_GlobalState& st = state();
  ScopedLock<RT_GlobalState> guard(st);
  st.cfg.set(name, value);
}

rt_errno Pylon::load_properties(const char* uri, bool append) {
  if (!uri) return RT_E_NOT_FOUND;
  RT_GlobalState& st = state();
  ScopedLock<RT_GlobalState> guard(st);
  // Read into a copy, so that a failed load keeps the earlier properties
  // even for sources that empty the store before they fail.
  ConfigFile loaded = st.cfg;
  if (loaded.read(uri, append, true) != 0) return RT_E_NOT_FOUND;
  std::swap(st.cfg, loaded);
  return RT_NO_ERROR;
}

void rt_log_p(RT_LogLevel severity, const char* msg, size_t size, const char* file, int line) {
  if (!msg) size = 0;
  switch (severity) {
    case RT_LOG_INFO:
      Logger::log_info_p(file, line, msg, size);
      break;
    case RT_LOG_ALL:
      if (Logger::log_level() == TAVO_LOG_ALL) Logger::log(msg, size);
      break;
    default:
      Logger::log_p(static_cast<LogLevel>(severity), file, line, msg, size);
      break;
  }
}

}  // namespace KVN
