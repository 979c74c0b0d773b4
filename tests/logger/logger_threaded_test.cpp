// Several threads logging at once: every line arrives whole and exactly once,
// also while the file rolls, and limited statements keep one shared count.
#include <atomic>
#include <map>
#include <thread>

#include "log_fixture.h"

namespace KVN {
namespace {

const int kThreads = 4;
const int kPerThread = 1500;

// Runs body(thread, sequence) kPerThread times on each of kThreads threads,
// all released at once.
template <class Body>
void run_threads(Body body) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&go, &body, t] {
      while (!go.load()) std::this_thread::yield();
      for (int s = 0; s < kPerThread; ++s) body(t, s);
    });
  }
  go = true;
  for (std::thread& th : threads) th.join();
}

// The text of one line: thread and sequence number, padded to a fixed length.
std::string payload(int t, int s) {
  char text[64];
  snprintf(text, sizeof text, "T%d S%05d ........................\n", t, s);
  return text;
}

// Collects the (thread, sequence) pairs of the payload lines, failing on any
// line that is neither a payload line after header (which must not capture)
// nor one of allowed.
class LineCheck {
 public:
  explicit LineCheck(const std::string& header) : m_line(header + "T(\\d) S(\\d{5}) \\.{24}") {}

  void add(const std::vector<std::string>& lines, const std::regex& allowed) {
    std::smatch m;
    for (const std::string& line : lines) {
      if (std::regex_match(line, m, m_line)) {
        const int t = std::stoi(m[1]);
        const int s = std::stoi(m[2]);
        ++m_seen[{t, s}];
        // Each thread writes in order, so its sequence numbers only grow.
        auto last = m_last.find(t);
        EXPECT_TRUE(last == m_last.end() || last->second < s) << line;
        m_last[t] = s;
      } else {
        EXPECT_TRUE(std::regex_match(line, allowed)) << "torn or stray line: " << line;
      }
    }
  }

  void expect_all_once() const {
    EXPECT_EQ(m_seen.size(), static_cast<size_t>(kThreads * kPerThread));
    for (const auto& [key, n] : m_seen) {
      EXPECT_EQ(n, 1) << "T" << key.first << " S" << key.second;
    }
  }

 private:
  std::regex m_line;
  std::map<std::pair<int, int>, int> m_seen;
  std::map<int, int> m_last;
};

TEST_F(LogFixture, ConcurrentLinesArriveWholeAndOnce) {
  const std::string name = path("threads.log");
  ASSERT_EQ(Logger::open(name, false), 0);
  Logger::log_thread_id(true);
  Logger::set_debug(DEB_MAIN);
  run_threads([](int t, int s) {
    const std::string text = payload(t, s);
    switch (s % 3) {
      case 0:
        Logger::log_p(TAVO_LOG_WARN, "worker.cpp", 10, text.data(), text.size());
        break;
      case 1:
        Logger::log_info_p("worker.cpp", 10, text.data(), text.size());
        break;
      default:
        Logger::log_debg_p("worker.cpp", 10, text.data(), text.size(), DEB_MAIN);
        break;
    }
    Logger::log_limited_p(TAVO_LOG_ERROR, "worker.cpp", 20, "limited\n", 8, 5, "shared");
  });
  Logger::close();

  const std::string tail = "\\] worker\\.cpp:\\d+ t:0x[0-9a-f]+ ";
  LineCheck check("(?:WARN |INFO |DEBUG)\\[" LOG_TS + tail + "(?:cat:MAIN )?");
  const std::vector<std::string> lines = read_lines(name);
  const std::regex limited("ERROR\\[" LOG_TS + tail + "limited");
  const std::regex notice("ERROR\\[" LOG_TS + tail +
                          "Supressing .* key=\\[shared\\] limit=\\[5\\]");
  size_t n_limited = 0;
  size_t n_notice = 0;
  for (const std::string& line : lines) {
    n_limited += std::regex_match(line, limited);
    n_notice += std::regex_match(line, notice);
  }
  EXPECT_EQ(n_limited, 5u);
  EXPECT_EQ(n_notice, 1u);
  check.add(lines, std::regex("ERROR\\[" LOG_TS + tail + "(limited|Supressing .*)|" +
                              "INFO .* tavo_Logger\\.cpp:.*|" + re_escape(tavo_label)));
  check.expect_all_once();
}

TEST_F(LogFixture, RollingUnderConcurrentLoadLosesNoLine) {
  const std::string name = path("rolling.log");
  ASSERT_EQ(Logger::open(name, false), 0);

  // Every line has the same length, so the limit can be placed at 60% of the
  // output: exactly one roll, and the new file stays below the limit. (A
  // second roll would replace the first ".old" and lose its lines by design.)
  auto write = [](const std::string& text) {
    Logger::log_info_p("roller.cpp", 10, text.data(), text.size());
  };
  const uintmax_t opened = std::filesystem::file_size(name);
  write(std::string(payload(0, 0).size() - 1, 'P') + "\n");
  const uintmax_t line_size = std::filesystem::file_size(name) - opened;
  const uintmax_t total = line_size * kThreads * kPerThread;
  Logger::set_max_size(static_cast<size_t>(opened + line_size + total * 6 / 10));
  run_threads([&write](int t, int s) { write(payload(t, s)); });
  Logger::close();

  const std::vector<std::string> old_lines = read_lines(name + ".old");
  const std::vector<std::string> new_lines = read_lines(name);
  ASSERT_FALSE(old_lines.empty());
  ASSERT_FALSE(new_lines.empty());
  EXPECT_NE(old_lines.back().find("Rolling Log"), std::string::npos) << old_lines.back();
  EXPECT_NE(new_lines.front().find("Log file rolled"), std::string::npos) << new_lines.front();

  size_t rolls = 0;
  for (const auto* file : {&old_lines, &new_lines}) {
    for (const std::string& line : *file) rolls += line.find("Rolling Log") != std::string::npos;
  }
  EXPECT_EQ(rolls, 1u);

  LineCheck check("INFO \\[" LOG_TS "\\] roller\\.cpp:10 ");
  const std::regex own("INFO \\[" LOG_TS "\\] (.*tavo_Logger\\.cpp:.*|roller\\.cpp:10 P+)|" +
                       re_escape(tavo_label));
  check.add(old_lines, own);
  check.add(new_lines, own);
  check.expect_all_once();
}

}  // namespace
}  // namespace KVN
