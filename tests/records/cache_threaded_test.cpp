// The record cache across threads: a view holds the cache's lock until it is
// destroyed, cleared or reset to a missing key; renames, erases and updates
// run under concurrent readers that must only ever see whole records; caches
// on different threads share schemas; statistics prints meet caches being
// created, used and destroyed.
#include <tavo/StatsManager>
#include <tavo/detail/RT_Record>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "records_util.h"

namespace KVN {
namespace {

const auto kBound = std::chrono::seconds(60);

class CacheThreadedTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh_schema_db(); }
  void TearDown() override {
    const SchemaStats s = schema_stats();
    EXPECT_EQ(s.unref, s.num) << "a record outlived its cache";
    SchemaDB::close();
  }

  LogCapture m_quiet{TAVO_LOG_WARN};  // caches log their creation at INFO
};

// Starts fn on its own thread; finished() tells whether it has returned.
class Background {
 public:
  explicit Background(std::function<void()> fn)
      : m_task(std::move(fn)), m_done(m_task.get_future()), m_thread(std::move(m_task)) {}
  // A thread still blocked after the bound would never return: the process
  // ends rather than hang.
  ~Background() {
    if (!finished_within(kBound)) {
      std::fprintf(stderr, "background operation still blocked\n");
      std::_Exit(1);
    }
    m_thread.join();
  }
  bool finished_within(std::chrono::milliseconds ms) {
    return m_done.wait_for(ms) == std::future_status::ready;
  }

 private:
  std::packaged_task<void()> m_task;
  std::future<void> m_done;
  std::thread m_thread;
};

TEST_F(CacheThreadedTest, AViewHoldsTheCacheUntilItIsReleased) {
  RT_FidCache cache("views", 8);
  cache.apply(make_msg("A", {{1, "a"}}), true, true);
  const struct {
    const char* how;
    std::function<void(std::unique_ptr<RT_Record>&)> release;
  } cases[] = {{"destroyed", [](std::unique_ptr<RT_Record>& v) { v.reset(); }},
               {"cleared", [](std::unique_ptr<RT_Record>& v) { v->clear(); }},
               {"reset to a missing key", [](std::unique_ptr<RT_Record>& v) {
                  EXPECT_FALSE(v->reset("missing", 7));
                  EXPECT_TRUE(v->empty());
                }}};
  int n = 0;
  for (const auto& c : cases) {
    std::unique_ptr<RT_Record> view = cache.find("A");
    ASSERT_NE(view, nullptr);
    ++n;
    // The other thread's apply waits for the view.
    Background other([&cache, n] {
      cache.apply(make_msg("A", {{1, "v" + std::to_string(n)}}), true, true);
    });
    EXPECT_FALSE(other.finished_within(std::chrono::milliseconds(50))) << c.how;
    EXPECT_EQ(value_of(*view, 1), n == 1 ? "a" : "v" + std::to_string(n - 1)) << c.how;
    c.release(view);
    ASSERT_TRUE(other.finished_within(kBound)) << c.how;
  }
  EXPECT_EQ(cached_fields(cache, "A"), (FieldList{{1, "v3"}}));
}

// Every field of a record carries the same generation text, of a length that
// varies with it, so that torn or misplaced writes show up.
FieldList generation(unsigned gen) {
  const std::string text = "g" + std::to_string(gen) + std::string(gen % 37, '.');
  FieldList fields;
  for (int fid = 1; fid <= 8; ++fid) fields.emplace_back(fid * 100, text);
  return fields;
}

// true when rec holds the 8 fields of one generation.
bool whole(const RT_Record& rec) {
  const FieldList f = fields_of(rec);
  if (f.size() != 8) return false;
  for (int i = 0; i < 8; ++i)
    if (f[i].first != (i + 1) * 100 || f[i].second != f[0].second || f[0].second.empty())
      return false;
  return true;
}

TEST_F(CacheThreadedTest, RenameAndEraseUnderConcurrentReaders) {
  const int keys = 32;
  const int ops = 20000;
  RT_FidCache cache("shared", keys);
  for (int i = 0; i < keys; ++i)
    cache.apply(make_msg("S" + std::to_string(i), generation(1)), true, true);

  std::atomic<unsigned> torn(0), seen(0);
  std::atomic<bool> stop(false);
  std::vector<std::thread> threads;
  // Updates, re-inserting what the other writer erased.
  threads.emplace_back([&] {
    std::mt19937 rng(1);
    for (int i = 0; i < ops; ++i) {
      const std::string key = (rng() % 2 ? "S" : "T") + std::to_string(rng() % keys);
      cache.apply(make_msg(key, generation(2 + rng() % 1000)), rng() % 4 == 0, true);
    }
  });
  // Renames back and forth, and erases.
  threads.emplace_back([&] {
    std::mt19937 rng(2);
    for (int i = 0; i < ops; ++i) {
      const std::string n = std::to_string(rng() % keys);
      switch (rng() % 3) {
        case 0:
          cache.rename("S" + n, "T" + n);
          break;
        case 1:
          cache.rename("T" + n, "S" + n);
          break;
        default:
          cache.erase((rng() % 2 ? "S" : "T") + n);
      }
    }
  });
  // Readers through views, const views and images.
  for (int r = 0; r < 2; ++r)
    threads.emplace_back([&, r] {
      std::mt19937 rng(10 + r);
      while (!stop) {
        const std::string key = (rng() % 2 ? "S" : "T") + std::to_string(rng() % keys);
        if (rng() % 2) {
          std::unique_ptr<RT_Record> view = cache.find(key);
          if (!view) continue;
          ++seen;
          if (!whole(*view) || key_of(*view) != key) ++torn;
        } else {
          RT_Message image;
          cache.to_message(key, &image);
          if (image.is_error()) continue;
          ++seen;
          const RT_Record copy(image);
          if (!whole(copy) || !image.is_complete()) ++torn;
        }
      }
    });
  // Statistics of this cache printed meanwhile.
  threads.emplace_back([&] {
    while (!stop) {
      std::ostringstream os;
      StatsManager::print_stats(0, os);
      if (os.str().find("Module: shared\nItems:") == std::string::npos) ++torn;
    }
  });
  threads[0].join();
  threads[1].join();
  stop = true;
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();

  EXPECT_EQ(torn, 0u);
  EXPECT_GT(seen, 0u);
  // A rename onto a key in use keeps both records: every key is erased until
  // none is left, and each record found on the way must be whole.
  const unsigned held = cache.size();
  unsigned erased = 0;
  for (int i = 0; i < keys; ++i)
    for (const char* p : {"S", "T"}) {
      const std::string key = p + std::to_string(i);
      while (std::unique_ptr<RT_Record> view = cache.find(key)) {
        EXPECT_TRUE(whole(*view)) << key;
        view.reset();
        ASSERT_EQ(cache.erase(key), RT_NO_ERROR);
        ++erased;
      }
    }
  EXPECT_EQ(erased, held);
  EXPECT_EQ(cache.size(), 0u);
}

TEST_F(CacheThreadedTest, CachesOnDifferentThreadsShareSchemasWhileOthersComeAndGo) {
  std::atomic<bool> stop(false);
  std::atomic<unsigned> bad(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] {
      RT_FidCache cache(("own" + std::to_string(t)).c_str(), 64);
      for (int i = 0; i < 3000; ++i) {
        const std::string key = "K" + std::to_string(i % 64);
        cache.apply(make_msg(key, generation(i)), true, true);
        // Widens some records to a shape the other thread also builds.
        if (i % 7 == 0) cache.apply(make_msg(key, {{900 + i % 3, "x"}}), false, true);
        if (i % 11 == 0) cache.erase(key);
        RT_Record detached(make_msg("D", generation(i)));
        if (!whole(detached)) ++bad;
      }
    });
  // Short-lived caches register and unregister while statistics print.
  threads.emplace_back([&] {
    for (int i = 0; i < 300; ++i) {
      RT_FidCache brief("brief", 4);
      brief.apply(make_msg("B", generation(i)), true, true);
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      std::ostringstream os;
      StatsManager::print_stats(0, os);
      SchemaDB::print_stats(os);
    }
  });
  for (int i = 0; i < 3; ++i) threads[i].join();
  stop = true;
  threads[3].join();
  EXPECT_EQ(bad, 0u);
}

}  // namespace
}  // namespace KVN
