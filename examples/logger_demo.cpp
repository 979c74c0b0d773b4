// A tour of the logger as an application uses it: lines at every severity, a
// debug category narrowed by a subject filter, limited logging, and a log file
// small enough to roll to ".old" while the program runs.
//
//   logger_demo [DIR]    writes DIR/logger_demo.log (DIR defaults to ".")
#include <tavo/Logger>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

using namespace KVN;

namespace {

// The way an application logs a line of its own: the header first, and the
// text only when the level lets it through.
#define DEMO_LOG(level, text)                                        \
  do {                                                               \
    std::ostringstream demo_os_;                                     \
    if (Logger::log_hdr_p(&demo_os_, (level), __FILE__, __LINE__)) { \
      demo_os_ << text << "\n";                                      \
      Logger::log_always_p(demo_os_.str());                          \
    }                                                                \
  } while (0)

// A debug line about one socket, written only when the filter selects it.
bool debug_socket(int sock, const char* what) {
  const std::string subject = std::to_string(sock);
  if (!Logger::is_debug() || !Logger::is_debug(DEB_SOCKET_OUT) ||
      !Logger::is_debug(DEB_SOCKET_OUT, subject))
    return false;
  const std::string text = std::string(what) + " on socket " + subject + "\n";
  Logger::log_debg_p(__FILE__, __LINE__, text.data(), text.size(), DEB_SOCKET_OUT, subject);
  return true;
}

long file_size(const std::string& name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : ".";
  const std::string name = dir + "/logger_demo.log";

  if (int err = Logger::open(name, false)) {
    fprintf(stderr, "cannot open %s: %s\n", name.c_str(), strerror(err > 0 ? err : EIO));
    return 1;
  }
  Logger::set_max_size(4000);
  Logger::log_timestamps(true, true);
  Logger::log_thread_id(true);

  // One line at each severity.
  Logger::set_debug(DEB_APP);
  const char debug_text[] = "debug line of the application category\n";
  Logger::log_debg_p(__FILE__, __LINE__, debug_text, sizeof debug_text - 1, DEB_APP);
  const char info_text[] = "an INFO line\n";
  Logger::log_info_p(__FILE__, __LINE__, info_text, sizeof info_text - 1);
  DEMO_LOG(TAVO_LOG_WARN, "a WARN line, built with log_hdr_p");
  const char error_text[] = "an ERROR line\n";
  Logger::log_p(TAVO_LOG_ERROR, __FILE__, __LINE__, error_text, sizeof error_text - 1);
  const char panic_text[] = "a PANIC line (nothing is wrong)\n";
  Logger::log_p(TAVO_LOG_PANIC, __FILE__, __LINE__, panic_text, sizeof panic_text - 1);
  Logger::log(TAVO_LOG_INFO, "a formatted INFO line: %d lines so far", 5);

  // Below the level nothing is written.
  Logger::log_level(TAVO_LOG_WARN);
  DEMO_LOG(TAVO_LOG_INFO, "this INFO line is below the level and never written");
  Logger::log_level(TAVO_LOG_ALL);

  // Debug output about sockets 12 and 13 only.
  Logger::set_debug(DEB_SOCKET_OUT, "12|13");
  Logger::set_filt_info(DEB_SOCKET_OUT, "socket numbers");
  for (int sock : {12, 14}) {
    const bool written = debug_socket(sock, "sent 42 bytes");
    printf("debug line for socket %d: %s\n", sock,
           written ? "written (the filter selects it)" : "not written (filtered out)");
  }

  // A statement limited to three lines; the third says so.
  for (int i = 0; i < 5; ++i) {
    const char text[] = "quote rejected: stale price\n";
    Logger::log_limited_p(TAVO_LOG_WARN, __FILE__, __LINE__, text, sizeof text - 1, 3, "stale");
  }

  // Enough lines to pass the 4000 byte limit, so the file rolls to ".old".
  for (int i = 0; i < 40 && file_size(name + ".old") < 0; ++i) {
    char text[80];
    const int n = snprintf(text, sizeof text, "filler line %02d to fill the log\n", i);
    Logger::log_info_p(__FILE__, __LINE__, text, static_cast<size_t>(n));
  }
  DEMO_LOG(TAVO_LOG_WARN, "first line after the roll");
  Logger::close();

  printf("log file:  %s (%ld bytes)\n", name.c_str(), file_size(name));
  const long old_size = file_size(name + ".old");
  if (old_size < 0) {
    printf("the log did not roll\n");
    return 1;
  }
  printf("rolled to: %s.old (%ld bytes)\n", name.c_str(), old_size);
  return 0;
}
