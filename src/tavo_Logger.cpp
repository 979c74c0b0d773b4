// The process-wide log: output stream, level, switches, debug categories with
// their subject filters, limited logging and rolling of the log file.
//
// Every piece of state below is guarded by tavo_logger_lock, except the two
// exported flags, which the inline checks of the header read without it.
#include <tavo/Logger>
#include <tavo/detail/Lock>
#include <tavo/private/logging>
#include <tavo/sys/errno>
#include <tavo/sys/process>
#include <tavo/sys/time>
#include <tavo/utils/string>

#include <pthread.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>

namespace KVN {

LogLevel g_currloglevel = TAVO_LOG_ALL;
uint32_t g_logDebugFlags = 0;

sys_mutex_t tavo_logger_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

const char* const tavo_label =
    "@(#) " TAVO_BUILD_KIND " tavo library version 1.1.1 Build 1 built " __DATE__ " @ " __TIME__
    " by " TAVO_BUILD_USER;

namespace {

typedef ScopedLock<sys_mutex_t> LoggerGuard;

const char* const _loglevels[6] = {"", "DEBUG", "INFO ", "WARN ", "ERROR", "PANIC"};

FILE* _theLog = nullptr;
// Position in the log file after the last write, kept so that the size check
// needs no system call per line. -1 for the standard streams and for outputs
// without a position (pipes, terminals): those are never rolled, and renaming
// them would take the FIFO or device away from its readers.
long _log_pos = -1;
size_t _log_max_size = 40000000;
bool _log_timestamps = true;
bool _log_milli_secs = false;
bool _log_thread_id = false;
bool _log_line_num = true;
bool _log_append = false;
bool _disable_roll = false;

// The logger's texts and tables. Built on first use, so that code running at
// library load may log before this file's initialisers ran, and never
// destroyed, so that threads still logging while the process exits find them
// intact. Every member requires the logger lock.
struct LogTexts {
  // Name of the open log file; empty while the output is a standard stream.
  std::string logfile;
  std::string logfile_old;
  // Per category bit. An empty optional is "no filter"; an empty text is a
  // filter that selects only the empty subject.
  std::optional<std::string> filters[MAX_DEBUG_CATEGORIES];
  std::optional<std::string> filter_info[MAX_DEBUG_CATEGORIES];
  // Limited statements: "file:line:key" to the times it ran.
  std::unordered_map<std::string, unsigned> counts = std::unordered_map<std::string, unsigned>(100);
};

LogTexts& texts() {
  alignas(LogTexts) static unsigned char storage[sizeof(LogTexts)];
  static LogTexts* const t = new (storage) LogTexts();
  return *t;
}

const char* level_tag(LogLevel level) {
  return static_cast<unsigned>(level) < 6 ? _loglevels[level] : "?????";
}

const char* base_of(const char* file) {
  return file ? get_basename(file) : "";
}

unsigned long thread_id() {
  return static_cast<unsigned long>(pthread_self());
}

unsigned lowest_bit(DebugCategory category) {
  return ffs(static_cast<int>(category)) - 1;
}

bool is_std_stream(const FILE* f) {
  return f == stderr || f == stdout;
}

// The wall clock: seconds, and microseconds when the time stamps show
// milliseconds (which need gettimeofday; whole seconds come from time()).
void read_clock(sys_time_t& secs, unsigned& usecs) {
  usecs = 0;
  if (!_log_milli_secs || sys_gettimeofday(&secs, &usecs) != 0) secs = sys_time(nullptr);
}

// "MM/DD HH:MM:SS" of secs in local time into buf (at least 15 bytes);
// returns the length.
size_t format_seconds(char* buf, size_t len, sys_time_t secs) {
  tm t = {};
  sys_localtime(&secs, &t);
  const int n = snprintf(buf, len, "%02d/%02d %02d:%02d:%02d", t.tm_mon + 1, t.tm_mday, t.tm_hour,
                         t.tm_min, t.tm_sec);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

// Ends the time stamp in buf at its length n: ".mmm" when milliseconds are on.
// buf holds at least n + 5 bytes.
void finish_stamp(char* buf, size_t n, unsigned usecs) {
  if (_log_milli_secs) {
    const unsigned ms = usecs / 1000 % 1000;
    buf[n++] = '.';
    buf[n++] = static_cast<char>('0' + ms / 100);
    buf[n++] = static_cast<char>('0' + ms / 10 % 10);
    buf[n++] = static_cast<char>('0' + ms % 10);
  }
  buf[n] = '\0';
}

char* format_time(char* buf, size_t len) {
  sys_time_t secs;
  unsigned usecs;
  read_clock(secs, usecs);
  const size_t n = format_seconds(buf, len, secs);
  if (n + 5 <= len) finish_stamp(buf, n, usecs);
  return buf;
}

// Requires the logger lock. The time stamp in a static buffer; the local time
// is converted and formatted once per second, since every line needs it.
const char* current_time() {
  static char buf[80];
  static sys_time_t formatted = -1;
  static size_t n = 0;
  sys_time_t secs;
  unsigned usecs;
  read_clock(secs, usecs);
  if (secs != formatted) {
    n = format_seconds(buf, sizeof buf, secs);
    formatted = secs;
  }
  finish_stamp(buf, n, usecs);
  return buf;
}

// Requires the logger lock.
void set_output(FILE* f) {
  _theLog = f;
  // Only regular files grow and roll; devices, pipes and terminals do not.
  struct stat st;
  const bool regular = !is_std_stream(f) && fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
  _log_pos = regular ? ftell(f) : -1;
}

// Requires the logger lock.
void output() {
  if (!_theLog) set_output(stderr);
}

// Requires the logger lock. Every write to the output goes through emit_v,
// emit or write_data, which keep _log_pos.
void emit_v(const char* fmt, va_list args) {
  const int n = vfprintf(_theLog, fmt, args);
  if (n > 0 && _log_pos >= 0) _log_pos += n;
}

__attribute__((format(printf, 1, 2))) void emit(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  emit_v(fmt, args);
  va_end(args);
}

void write_data(const void* data, size_t size) {
  if (!size) return;
  const size_t n = fwrite(data, 1, size, _theLog);
  if (_log_pos >= 0) _log_pos += static_cast<long>(n);
}

// Requires the logger lock. The complete header of log_p lines.
void write_full_header(LogLevel lvl, const char* file, int line) {
  emit("%s[%s] %s:%i t:0x%lx ", level_tag(lvl), current_time(), base_of(file), line, thread_id());
}

// Requires the logger lock. The header of log_info_p and log_debg_p lines.
void write_switched_header(const char* tag, const char* file, int line) {
  if (_log_timestamps)
    emit("%s[%s] ", tag, current_time());
  else
    emit("%s ", tag);
  if (_log_line_num) emit("%s:%i ", base_of(file), line);
  if (_log_thread_id) emit("t:0x%lx ", thread_id());
}

// Requires the logger lock. Closes the current file, if any; the output is
// then standard error.
void close_file() {
  if (_theLog && !is_std_stream(_theLog)) fclose(_theLog);
  set_output(stderr);
}

// Requires the logger lock.
void forget_names() {
  texts().logfile.clear();
  texts().logfile_old.clear();
}

// Requires the logger lock and both names. Moves the log file to its ".old"
// name; false when the rename failed.
bool roll_file() {
  const LogTexts& t = texts();
  // Only a regular file is moved aside: a log opened on a device or a pipe
  // (such as /dev/null) must never be renamed or replaced.
  struct stat st;
  if (stat(t.logfile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  remove(t.logfile_old.c_str());
  return rename(t.logfile.c_str(), t.logfile_old.c_str()) == 0;
}

// Requires the logger lock. Rolls the log file once it has passed the size
// limit; called before every write.
void check_size() {
  if (_disable_roll || _log_pos < 0 || static_cast<unsigned long>(_log_pos) <= _log_max_size)
    return;

  emit("INFO [%s] %s:%i [pid:%i] Rolling Log\n", current_time(), __FILE__, __LINE__, sys_getpid());
  fflush(_theLog);
  close_file();
  if (!roll_file()) _disable_roll = true;

  // When the rename failed the file still holds everything logged so far:
  // continue it instead of truncating it.
  errno = 0;
  FILE* f = fopen(texts().logfile.c_str(), _log_append || _disable_roll ? "a" : "w");
  if (f) {
    set_output(f);
    emit("INFO [%s] %s:%i [pid:%i] %s\n", current_time(), __FILE__, __LINE__, sys_getpid(),
         _disable_roll ? "Unable to roll log, rolling disabled" : "Log file rolled");
    fflush(f);
  } else {
    const int err = errno;
    fprintf(stderr, "ERROR[%s] %s:%i t:0x%lx Unable to re-open e:%i\n", current_time(), __FILE__,
            __LINE__, thread_id(), err);
    fflush(stderr);
    forget_names();
  }
}

// Logs "<what> malloc err:<errno>" without allocating, for use after an
// allocation failed.
void log_malloc_err(const char* what, int line, int err) {
  char buf[96];
  const int n = snprintf(buf, sizeof buf, "%s malloc err:%i\n", what, err);
  Logger::log_p(TAVO_LOG_ERROR, __FILE__, line, buf, static_cast<size_t>(n));
}

// Requires the logger lock. Counts one more execution of a limited statement;
// the count saturates so that a suppressed statement stays suppressed.
bool count_statement(unsigned stmt_limit, const char* file, int line, const std::string& stmt_key,
                     unsigned& stmt_count) {
  std::string key(base_of(file));
  key += ':';
  key += std::to_string(line);
  key += ':';
  key += stmt_key;
  unsigned& count = texts().counts[key];
  if (count != UINT_MAX) ++count;
  stmt_count = count;
  return stmt_count <= stmt_limit;
}

}  // namespace

char* Logger::current_time_r(char* buf, size_t len) {
  return format_time(buf, len);
}

void Logger::log_p(LogLevel lvl, const char* file, int line, const void* data, size_t size) {
  LoggerGuard guard(tavo_logger_lock);
  if (lvl < g_currloglevel) return;
  output();
  check_size();
  write_full_header(lvl, file, line);
  write_data(data, size);
  fflush(_theLog);
}

void Logger::log_info_p(const char* file, int line, const void* data, size_t size) {
  LoggerGuard guard(tavo_logger_lock);
  if (g_currloglevel > TAVO_LOG_INFO) return;
  output();
  check_size();
  write_switched_header("INFO ", file, line);
  write_data(data, size);
  fflush(_theLog);
}

void Logger::log_debg_p(const char* file, int line, const void* data, size_t size,
                        DebugCategory cat, const std::string& filt) {
  LoggerGuard guard(tavo_logger_lock);
  if (g_currloglevel > TAVO_LOG_DEBUG) return;
  output();
  check_size();
  write_switched_header("DEBUG", file, line);
  if (cat) emit("cat:%s ", debug_category_name(cat));
  if (!filt.empty()) emit("flt:%s ", filt.c_str());
  write_data(data, size);
  fflush(_theLog);
}

void Logger::log_activity_p(const void* data, size_t size) {
  LoggerGuard guard(tavo_logger_lock);
  output();
  check_size();
  if (_log_timestamps) emit("[%s] ", current_time());
  if (_log_thread_id) emit("t:0x%lx ", thread_id());
  write_data(data, size);
  fflush(_theLog);
}

void Logger::log(LogLevel level, const char* fmt, ...) {
  LoggerGuard guard(tavo_logger_lock);
  if (level < g_currloglevel) return;
  output();
  check_size();
  if (level > TAVO_LOG_INFO || _log_timestamps)
    emit("%s[%s] ", level_tag(level), current_time());
  else
    emit("%s ", level_tag(level));
  va_list args;
  va_start(args, fmt);
  emit_v(fmt, args);
  va_end(args);
  emit("\n");
  fflush(_theLog);
}

void Logger::log(const void* data, size_t size) {
  LoggerGuard guard(tavo_logger_lock);
  if (g_currloglevel != TAVO_LOG_ALL) return;
  output();
  check_size();
  write_data(data, size);
  fflush(_theLog);
}

void Logger::log_always_p(const std::string& s) {
  LoggerGuard guard(tavo_logger_lock);
  output();
  check_size();
  write_data(s.data(), s.size());
  fflush(_theLog);
}

void Logger::log_limited_p(LogLevel lvl, const char* file, int line, const void* data, size_t size,
                           unsigned stmt_limit, const std::string& stmt_key, unsigned stmt_count) {
  LoggerGuard guard(tavo_logger_lock);
  if (lvl < g_currloglevel) return;
  output();
  check_size();
  if (stmt_count == 0) count_statement(stmt_limit, file, line, stmt_key, stmt_count);
  if (stmt_count > stmt_limit) return;
  write_full_header(lvl, file, line);
  write_data(data, size);
  if (stmt_count == stmt_limit && stmt_limit > 1) {
    write_full_header(lvl, file, line);
    emit("Supressing future occurances of this statement; key=[%s] limit=[%u]\n", stmt_key.c_str(),
         stmt_limit);
  }
  fflush(_theLog);
}

void Logger::log_limited_p(LogLevel lvl, const char* file, int line, const void* data, size_t size,
                           unsigned stmt_limit, const std::string& stmt_key) {
  log_limited_p(lvl, file, line, data, size, stmt_limit, stmt_key, 0);
}

bool Logger::log_hdr_p(std::ostringstream* dest, LogLevel level, const char* file, int line) {
  if (level < g_currloglevel) return false;
  *dest << level_tag(level);
  if (level > TAVO_LOG_INFO || _log_timestamps) {
    char buf[80];
    *dest << '[' << current_time_r(buf, sizeof buf) << "] ";
  } else {
    *dest << ' ';
  }
  if (_log_line_num) *dest << base_of(file) << ':' << line << ' ';
  if (_log_thread_id) {
    char buf[32];
    snprintf(buf, sizeof buf, "t:0x%lx ", thread_id());
    *dest << buf;
  }
  return true;
}

bool Logger::log_limited_check(unsigned stmt_limit, const char* file, int line,
                               const std::string& stmt_key, unsigned& stmt_count) {
  LoggerGuard guard(tavo_logger_lock);
  return count_statement(stmt_limit, file, line, stmt_key, stmt_count);
}

int Logger::open(const std::string& file_name, bool append) {
  LoggerGuard guard(tavo_logger_lock);
  _log_append = append;

  if (file_name == "stderr" || file_name == "stdout") {
    close_file();
    set_output(file_name == "stdout" ? stdout : stderr);
    forget_names();
    return 0;
  }

  std::string name;
  std::string name_old;
  try {
    name = file_name;
    name_old = file_name + ".old";
  } catch (const std::bad_alloc&) {
    const int err = sys_get_errno(-1);
    log_malloc_err("Logger::open", __LINE__, err);
    return err;
  }

  close_file();
  LogTexts& t = texts();
  t.logfile.swap(name);
  t.logfile_old.swap(name_old);

  // Starting afresh keeps the previous file as ".old"; whether there was one
  // to keep does not matter here.
  const bool rolled = !append && roll_file();

  errno = 0;
  FILE* f = fopen(t.logfile.c_str(), append ? "a" : "w");
  if (f) {
    set_output(f);
    TAVO_INFO(t.logfile << "[" << sys_getpid() << "], Opened fresh\n");
    emit("%s\n", tavo_label);
    fflush(_theLog);
    return 0;
  }

  const int err = sys_get_errno(-1);
  TAVO_ERROR("Logger::open Unable to open " << t.logfile << " err:" << err << "\n");
  if (rolled) rename(t.logfile_old.c_str(), t.logfile.c_str());
  forget_names();
  return err;
}

void Logger::close() {
  LoggerGuard guard(tavo_logger_lock);
  if (_theLog && !is_std_stream(_theLog)) {
    TAVO_INFO(texts().logfile << "[" << sys_getpid() << "] Closing Log\n");
  }
  close_file();
  forget_names();
  LogTexts& t = texts();
  for (unsigned i = 0; i < MAX_DEBUG_CATEGORIES; ++i) {
    t.filters[i].reset();
    t.filter_info[i].reset();
  }
  g_logDebugFlags = 0;
}

std::string Logger::get_filename() {
  LoggerGuard guard(tavo_logger_lock);
  if (!_theLog || _theLog == stderr) return "stderr";
  if (_theLog == stdout) return "stdout";
  return texts().logfile;
}

size_t Logger::get_max_size() {
  LoggerGuard guard(tavo_logger_lock);
  return _log_max_size;
}

size_t Logger::set_max_size(size_t sz) {
  LoggerGuard guard(tavo_logger_lock);
  const size_t prev = _log_max_size;
  _log_max_size = sz;
  return prev;
}

LogLevel Logger::log_level(LogLevel level) {
  LoggerGuard guard(tavo_logger_lock);
  const LogLevel prev = g_currloglevel;
  if (static_cast<unsigned>(level) <= TAVO_LOG_NONE) g_currloglevel = level;
  return prev;
}

bool Logger::log_timestamps(bool should_log_timestamps, bool milli_sec_prec) {
  LoggerGuard guard(tavo_logger_lock);
  const bool prev = _log_timestamps;
  _log_timestamps = should_log_timestamps;
  _log_milli_secs = milli_sec_prec;
  return prev;
}

bool Logger::log_thread_id(bool should_log_thread_id) {
  LoggerGuard guard(tavo_logger_lock);
  const bool prev = _log_thread_id;
  _log_thread_id = should_log_thread_id;
  return prev;
}

bool Logger::log_lineno(bool should_log_line) {
  LoggerGuard guard(tavo_logger_lock);
  const bool prev = _log_line_num;
  _log_line_num = should_log_line;
  return prev;
}

void Logger::set_debug() {
  set_debug(DEB_APP);
}

void Logger::set_debug(DebugCategory category) {
  LoggerGuard guard(tavo_logger_lock);
  for (unsigned bit = 0; bit < MAX_DEBUG_CATEGORIES; ++bit) {
    const DebugCategory mask = DebugCategory(1) << bit;
    if (!(category & mask)) continue;
    texts().filters[bit].reset();
    TAVO_INFO("Debug set for category: " << debug_category_name(mask) << "\n");
  }
  g_logDebugFlags |= category;
}

void Logger::set_debug(DebugCategory category, const std::string& filter) {
  LoggerGuard guard(tavo_logger_lock);
  DebugCategory stored = 0;
  try {
    const std::string upper = to_upper(filter);
    for (unsigned bit = 0; bit < MAX_DEBUG_CATEGORIES; ++bit) {
      const DebugCategory mask = DebugCategory(1) << bit;
      if (!(category & mask)) continue;
      texts().filters[bit] = upper;
      TAVO_INFO("Debug set for cat: " << debug_category_name(mask) << " filt: " << upper << "\n");
      stored |= mask;
    }
  } catch (const std::bad_alloc&) {
    log_malloc_err("Logger::set_debug", __LINE__, sys_get_errno(-1));
  }
  g_logDebugFlags |= stored;
}

int Logger::is_debug(DebugCategory category, const std::string& log_filt) {
  LoggerGuard guard(tavo_logger_lock);
  if (!(category & g_logDebugFlags)) return 0;
  const std::optional<std::string>& filter = texts().filters[lowest_bit(category)];
  if (!filter) return 0;
  return multisubjcmp(to_upper(log_filt).c_str(), filter->c_str()) ? 1 : 0;
}

void Logger::set_filt_info(DebugCategory category, const std::string& filt_info) {
  if (!category) return;
  LoggerGuard guard(tavo_logger_lock);
  try {
    texts().filter_info[lowest_bit(category)] = filt_info;
  } catch (const std::bad_alloc&) {
    log_malloc_err("Logger::set_filt_info", __LINE__, sys_get_errno(-1));
  }
}

void Logger::clr_filt_info(DebugCategory category) {
  if (!category) return;
  LoggerGuard guard(tavo_logger_lock);
  texts().filter_info[lowest_bit(category)].reset();
}

DebugCategory Logger::category_to_enum(const std::string& cat) {
  const DebugCategory value = debug_category_from_name(cat);
  if (value == DEB_NONE) TAVO_ERROR("Invalid debug category: " << cat << "\n");
  return value;
}

}  // namespace KVN
