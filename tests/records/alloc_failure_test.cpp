// Allocation failures in record building, growth, expansion, copying, the
// cache's apply and rename, and conversions of RT_Record: every allocation
// of each operation is made to fail in turn, and after each failure the
// objects must be as they were (or, for the cache, consistent and unlocked),
// with no reference or memory leaked.
#include <tavo/detail/RT_Record>
#include <tavo/private/RT_FidCache>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <new>
#include <sstream>
#include <string>
#include <thread>

#include "records_util.h"

namespace {

// -1: allocations succeed; n >= 0: the allocation after n more fails once.
std::atomic<long> g_fail_after(-1);

void* checked_alloc(std::size_t n) {
  long left = g_fail_after.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (g_fail_after.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
      if (left == 0) throw std::bad_alloc();
      break;
    }
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) {
  return checked_alloc(n);
}
void* operator new[](std::size_t n) {
  return checked_alloc(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace KVN {
namespace {

// Runs op with its 0th, 1st, 2nd ... allocation failing until it runs
// through; after each failure check() must hold. Answers the number of
// failures seen.
template <class Op, class Check>
int fail_each_allocation(Op op, Check check) {
  for (int k = 0; k < 10000; ++k) {
    g_fail_after = k;
    try {
      op();
      g_fail_after = -1;
      return k;
    } catch (const std::bad_alloc&) {
      g_fail_after = -1;
      check();
      if (::testing::Test::HasFatalFailure()) return k;
    }
  }
  g_fail_after = -1;
  ADD_FAILURE() << "the operation never completed";
  return -1;
}

// The cache's lock is free: another thread gets through an operation in
// bounded time. A lock left held would block that thread for good, so the
// process ends rather than hang.
void expect_unlocked(const RT_FidCache& cache) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread t([&cache, &done] {
    cache.size();
    done.set_value();
  });
  if (finished.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    std::fprintf(stderr, "cache lock left held after a failed allocation\n");
    std::_Exit(1);
  }
  t.join();
}

class AllocFailureTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh_schema_db(); }
  void TearDown() override {
    // No reference was left behind by a failed operation.
    const SchemaStats s = schema_stats();
    EXPECT_EQ(s.unref, s.num);
    SchemaDB::close();
  }
};

TEST_F(AllocFailureTest, BuildingARecordLeaksNothing) {
  const RT_Message m = make_msg("KEY", {{30, "abc"}, {10, "x"}, {20, std::string(100, 'y')}});
  std::unique_ptr<RT_RecordInternal> built;
  const int failures = fail_each_allocation([&] { built = std::make_unique<RT_RecordInternal>(m); },
                                            [&] { EXPECT_EQ(built, nullptr); });
  EXPECT_GE(failures, 3);  // at least the schema, the offsets and the buffer
  EXPECT_EQ(fields_of(*built), (FieldList{{10, "x"}, {20, std::string(100, 'y')}, {30, "abc"}}));
}

TEST_F(AllocFailureTest, GrowingASlotLeavesTheRecordAsItWas) {
  RT_RecordInternal r(make_msg("K", {{1, "a"}, {2, "b"}, {3, "c"}}));
  const FieldList before = fields_of(r);
  const uint32_t cap = r.cap, used = r.used;
  const std::string big(200, 'B');
  const int failures = fail_each_allocation([&] { r.set(2, big.data(), 200); },
                                            [&] {
                                              EXPECT_EQ(fields_of(r), before);
                                              EXPECT_EQ(r.cap, cap);
                                              EXPECT_EQ(r.used, used);
                                            });
  EXPECT_GE(failures, 1);
  EXPECT_EQ(fields_of(r), (FieldList{{1, "a"}, {2, big}, {3, "c"}}));
}

TEST_F(AllocFailureTest, ExpandingLeavesTheRecordAsItWas) {
  RT_RecordInternal r(make_msg("K", {{1, "a"}, {3, "c"}}));
  const FieldList before = fields_of(r);
  const SchemaEntry* schema = r.schema.get();
  // The unknown FID comes first, so nothing is written before the expansion.
  const RT_Message upd = make_msg("K", {{2, "new"}, {3, "C"}});
  const int failures = fail_each_allocation([&] { r.apply(upd, true); },
                                            [&] {
                                              EXPECT_EQ(fields_of(r), before);
                                              EXPECT_EQ(r.schema.get(), schema);
                                              EXPECT_EQ(schema->ref_count(), 1u);
                                            });
  EXPECT_GE(failures, 3);  // the wider schema, the offsets and the buffer
  EXPECT_EQ(fields_of(r), (FieldList{{1, "a"}, {2, "new"}, {3, "C"}}));
}

TEST_F(AllocFailureTest, CopyingLeavesTheSourceAndItsSchemaCount) {
  RT_RecordInternal src(make_msg("K", {{1, "a"}}));
  src.set_stale(true, "s", 1);
  src.set_permissions("p", 1);
  std::unique_ptr<RT_RecordInternal> copy;
  const int failures =
      fail_each_allocation([&] { copy = std::make_unique<RT_RecordInternal>(src); },
                           [&] { EXPECT_EQ(src.schema->ref_count(), 1u); });
  EXPECT_GE(failures, 4);
  EXPECT_EQ(src.schema->ref_count(), 2u);
  EXPECT_EQ(stale_of(*copy), "s");
}

TEST_F(AllocFailureTest, CacheApplyAndRenameLeaveTheCacheConsistentAndUnlocked) {
  RT_FidCache cache("failing", 16);
  ASSERT_EQ(cache.apply(make_msg("A", {{1, "a"}, {2, "b"}}), true, true), RT_NO_ERROR);
  // The item count, the memory figures and every record with its schema and
  // reference count; the schema database's own counters do move.
  auto contents = [&cache] {
    std::ostringstream os;
    os << cache;
    const std::string text = os.str();
    return text.substr(0, text.find('\n')) + text.substr(text.find("H["));
  };
  const std::string before = contents();
  auto unchanged = [&] {
    EXPECT_EQ(contents(), before);
    expect_unlocked(cache);
  };

  const RT_Message fresh = make_msg("B", {{1, "x"}, {5, "y"}});
  EXPECT_GE(fail_each_allocation([&] { cache.apply(fresh, true, true); }, unchanged), 3);
  EXPECT_EQ(cache.size(), 2u);
  ASSERT_EQ(cache.erase("B"), RT_NO_ERROR);

  EXPECT_GE(fail_each_allocation([&] { cache.rename("A", "Z"); }, unchanged), 3);
  EXPECT_EQ(cache.find("A"), nullptr);
  EXPECT_EQ(cached_fields(cache, "Z"), (FieldList{{1, "a"}, {2, "b"}}));
}

TEST_F(AllocFailureTest, GrowthThroughCacheApplyKeepsTheFiguresBalanced) {
  RT_FidCacheImpl impl("figures", 16);
  impl.apply(make_msg("A", {{1, "a"}, {2, "b"}}), true, true);
  const RT_RecordInternal* r = impl.find(reinterpret_cast<const unsigned char*>("A"), 1);
  const RT_Message upd = make_msg("A", {{2, std::string(150, 'g')}});
  fail_each_allocation([&] { impl.apply(upd, true, true); },
                       [&] {
                         EXPECT_EQ(impl.memory_used(), r->bytes_used());
                         EXPECT_EQ(impl.memory_allocated(), r->bytes_allocated());
                       });
  EXPECT_EQ(impl.memory_allocated(), r->bytes_allocated());
  EXPECT_EQ(value_of(*r, 2), std::string(150, 'g'));
}

TEST_F(AllocFailureTest, ConvertingAndAssigningRecordsLeaveThemAsTheyWere) {
  RT_Record building;
  building.reset("M", 1);
  building.set(4, "four", 4);
  EXPECT_GE(fail_each_allocation(
                [&] {
                  building.apply(make_msg("M", {{4, "FOUR"}}), true);
                },
                [&] {
                  EXPECT_EQ(fields_of(building), (FieldList{{4, "four"}}));
                  // "" rather than null: still message-backed.
                  EXPECT_EQ(stale_of(building), "");
                }),
            3);
  EXPECT_EQ(value_of(building, 4), "FOUR");

  RT_FidCache cache("views", 4);
  cache.apply(make_msg("OLD", {{1, "a"}}), true, true);
  const RT_Record replacement(make_msg("NEW", {{2, "b"}}));
  {
    std::unique_ptr<RT_Record> view = cache.find("OLD");
    ASSERT_NE(view, nullptr);
    EXPECT_GE(fail_each_allocation([&] { *view = replacement; },
                                   [&] {
                                     EXPECT_EQ(key_of(*view), "OLD");
                                     EXPECT_EQ(fields_of(*view), (FieldList{{1, "a"}}));
                                   }),
              2);
  }
  EXPECT_EQ(cache.find("OLD"), nullptr);
  EXPECT_EQ(cached_fields(cache, "NEW"), (FieldList{{2, "b"}}));
}

}  // namespace
}  // namespace KVN
