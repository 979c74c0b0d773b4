// The schema database: interning, reference counts, expansion, the 255-FID
// cap, closing and re-creation, slot-sharing lookups, hashing and printing.
#include <tavo/private/Schema>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "records_util.h"

namespace KVN {
namespace {

const unsigned BASE_MEMORY = 8 * (2048 + 7);

std::vector<unsigned> fids_of(const SchemaEntry* se) {
  return std::vector<unsigned>(se->fids.get(), se->fids.get() + se->num_fids);
}

class SchemaTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh_schema_db(); }
  void TearDown() override { SchemaDB::close(); }
};

TEST(HashBinary, IsTheOneAtATimeHash) {
  const char* a = "a";
  EXPECT_EQ(hash_binary(a, a), 0u);
  EXPECT_EQ(hash_binary(a, a + 1), 0xca2e9442u);
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(hash_binary(fox.data(), fox.data() + fox.size()), 0x519e91f5u);
}

TEST_F(SchemaTest, EqualSetsShareOneEntry) {
  const unsigned short first[] = {5, 3, 3, 9};
  const unsigned short second[] = {9, 5, 3};
  const SchemaEntry* a = SchemaDB::allocate(4, first);
  const SchemaEntry* b = SchemaDB::allocate(3, second);
  ASSERT_EQ(a, b);
  EXPECT_EQ(fids_of(a), (std::vector<unsigned>{3, 5, 9}));
  EXPECT_EQ(a->ref_count(), 2u);
  EXPECT_EQ(a->schema_id(), 1u);
  // The stored hash is that of the array as it lies in memory, low byte first.
  const unsigned char bytes[] = {3, 0, 5, 0, 9, 0};
  EXPECT_EQ(a->hash, hash_binary(bytes, bytes + sizeof bytes));
  SchemaStats s = schema_stats();
  EXPECT_EQ(s.num, 1u);
  EXPECT_EQ(s.allocs, 2u);
  EXPECT_EQ(s.reref, 0u);
  EXPECT_EQ(s.bytes, BASE_MEMORY + 2 * 3 + 2080);

  // Dropped to 0, the entry stays for reuse and counts one re-reference.
  SchemaDB::release(a);
  SchemaDB::release(b);
  EXPECT_EQ(a->ref_count(), 0u);
  s = schema_stats();
  EXPECT_EQ(s.num, 1u);
  EXPECT_EQ(s.unref, 1u);
  EXPECT_EQ(s.deallocs, 2u);
  // Releasing an entry already at 0 changes nothing.
  SchemaDB::release(a);
  EXPECT_EQ(schema_stats().deallocs, 2u);

  const SchemaEntry* again = SchemaDB::allocate(3, second);
  EXPECT_EQ(again, a);
  EXPECT_EQ(again->ref_count(), 1u);
  s = schema_stats();
  EXPECT_EQ(s.unref, 0u);
  EXPECT_EQ(s.reref, 1u);
  EXPECT_EQ(SchemaDB::duplicate(again), again);
  EXPECT_EQ(again->ref_count(), 2u);
  EXPECT_EQ(schema_stats().allocs, 4u);
  SchemaDB::release(again);
  SchemaDB::release(again);
}

TEST_F(SchemaTest, ExpandGivesTheUnionAndLeavesTheOldEntry) {
  const unsigned short base[] = {3, 5, 9};
  const unsigned short add[] = {5, 7};
  const SchemaEntry* old = SchemaDB::allocate(3, base);
  const SchemaEntry* wider = SchemaDB::expand(old, 2, add);
  ASSERT_NE(wider, old);
  EXPECT_EQ(fids_of(wider), (std::vector<unsigned>{3, 5, 7, 9}));
  EXPECT_EQ(old->ref_count(), 1u);
  EXPECT_EQ(wider->ref_count(), 1u);
  EXPECT_EQ(wider->schema_id(), 2u);
  const SchemaStats s = schema_stats();
  EXPECT_EQ(s.expansions, 1u);
  EXPECT_EQ(s.allocs, 1u);
  EXPECT_EQ(s.num, 2u);
  // Expanding by FIDs already held interns nothing new.
  EXPECT_EQ(SchemaDB::expand(old, 1, add), old);
  EXPECT_EQ(old->ref_count(), 2u);
  SchemaDB::release(old);
  SchemaDB::release(old);
  SchemaDB::release(wider);
}

TEST_F(SchemaTest, MoreThan255FidsAreCappedToTheSmallest) {
  LogCapture log(TAVO_LOG_WARN);
  std::vector<unsigned short> many;
  for (int i = 300; i >= 1; --i) many.push_back(static_cast<unsigned short>(i * 7));
  const SchemaEntry* se = SchemaDB::allocate(static_cast<unsigned>(many.size()), many.data());
  ASSERT_EQ(se->num_fids, 255u);
  EXPECT_EQ(se->fids[0], 7u);
  EXPECT_EQ(se->fids[254], 255u * 7);
  EXPECT_EQ(se->find(256 * 7), -1);
  EXPECT_EQ(se->find(255 * 7), 254);
  EXPECT_EQ(log.count("SchemaCache: NUM_FIDS > 255 300 capping to 255\n"), 1u) << log.text();
  SchemaDB::release(se);
}

TEST_F(SchemaTest, EmptyListIsAValidEntry) {
  const SchemaEntry* se = SchemaDB::allocate(0, nullptr);
  ASSERT_NE(se, nullptr);
  EXPECT_EQ(se->num_fids, 0u);
  EXPECT_EQ(se->hash, 0u);
  for (unsigned fid : {0u, 1u, 2047u, 2048u, 65535u}) EXPECT_EQ(se->find(fid), -1) << fid;
  EXPECT_EQ(SchemaDB::allocate(0, nullptr), se);
  SchemaDB::release(se);
  SchemaDB::release(se);
}

TEST_F(SchemaTest, FindHandlesFidsSharingAnIndexSlot) {
  const unsigned short list[] = {2053, 5, 100};
  const SchemaEntry* se = SchemaDB::allocate(3, list);
  // Sorted 5, 100, 2053: 5 and 2053 share slot 5, which names the later one.
  EXPECT_EQ(se->hash_idx[5], 2);
  EXPECT_EQ(se->find(5), 0);
  EXPECT_EQ(se->find(100), 1);
  EXPECT_EQ(se->find(2053), 2);
  EXPECT_EQ(se->find(4101), -1);  // same slot, absent
  EXPECT_EQ(se->find(6), -1);     // empty slot
  SchemaDB::release(se);
}

TEST_F(SchemaTest, ClosedDatabaseRefusesListsAndGoesAwayWithItsLastEntry) {
  LogCapture log(TAVO_LOG_INFO);
  const unsigned short kept[] = {1, 2};
  const unsigned short dropped[] = {4};
  const SchemaEntry* a = SchemaDB::allocate(2, kept);
  SchemaDB::release(SchemaDB::allocate(1, dropped));
  ASSERT_EQ(schema_stats().num, 2u);

  SchemaDB::close();
  // The unreferenced entry was freed, the referenced one stays.
  SchemaStats s = schema_stats();
  EXPECT_EQ(s.num, 1u);
  EXPECT_EQ(s.unref, 0u);
  EXPECT_EQ(s.bytes, BASE_MEMORY + 2 * 2 + 2080);
  EXPECT_GE(log.count(" clean "), 2u);

  try {
    SchemaDB::allocate(2, kept);
    FAIL() << "allocate on a closed database";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "SchemaDBImpl::allocate called on a closed DB");
  }
  try {
    SchemaDB::expand(a, 1, dropped);
    FAIL() << "expand on a closed database";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "SchemaDBImpl::expand called on a closed DB");
  }
  // duplicate and release keep working.
  EXPECT_EQ(SchemaDB::duplicate(a), a);
  SchemaDB::release(a);
  EXPECT_EQ(a->ref_count(), 1u);
  SchemaDB::release(a);

  // Gone with its last entry: the next call finds a fresh, open database.
  s = schema_stats();
  EXPECT_EQ(s.num, 0u);
  EXPECT_EQ(s.allocs, 0u);
  EXPECT_EQ(s.bytes, BASE_MEMORY);
  const SchemaEntry* b = SchemaDB::allocate(1, dropped);
  EXPECT_EQ(b->schema_id(), 1u);
  SchemaDB::release(b);
}

TEST_F(SchemaTest, PrintShowsStatisticsThenEveryEntry) {
  const unsigned short list[] = {9, 3, 5};
  const SchemaEntry* se = SchemaDB::allocate(3, list);
  std::ostringstream entry;
  entry << *se;
  EXPECT_EQ(entry.str(), "id: 1 ref:1 [ 3 5 9  ]\n");

  std::ostringstream all;
  SchemaDB::print(all);
  std::ostringstream expected;
  expected << "SchemaStats:\n"
           << "  NumSchemas = 1 Schema(Bytes) = " << BASE_MEMORY + 2086 << "\n"
           << "  Allocs = 1 Expansions = 0 Deallocs = 0\n"
           << "  Unreferenced = 0 Rereferenced = 0\n"
           << "  bkt: " << (se->hash & 2047) << " id: 1 ref:1 [ 3 5 9  ]\n";
  EXPECT_EQ(all.str(), expected.str());
  SchemaDB::release(se);
}

// Kept reachable so that the entries left alive below are not leaks.
const SchemaEntry* g_left_alive = nullptr;

TEST_F(SchemaTest, DestroyingADatabaseWithReferencedEntriesLogsAndLeavesThemAlive) {
  // The full print goes out as raw log text, written at level ALL only.
  LogCapture log(TAVO_LOG_ALL);
  const unsigned short list[] = {42};
  {
    SchemaDBImpl db;
    g_left_alive = db.allocate(1, list);
    EXPECT_EQ(db.size(), 1u);
  }
  EXPECT_EQ(log.count("~SchemaDBImpl referenced Schema entries exist, leaking memory\n"), 1u)
      << log.text();
  EXPECT_EQ(log.count("SchemaDB\nSchemaStats:\n"), 1u) << log.text();
  EXPECT_EQ(g_left_alive->fids[0], 42u);
  EXPECT_EQ(g_left_alive->ref_count(), 1u);
}

}  // namespace
}  // namespace KVN
