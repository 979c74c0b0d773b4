// The record cache: table sizing, insertion and merging, images of present
// and missing keys, rename and erase, over-long keys, memory figures and
// statistics, schema sharing and release, views, and a random sequence of
// operations over many keys checked against a std::map model.
#include <tavo/StatsManager>
#include <tavo/detail/RT_Record>
#include <tavo/private/RT_FidCache>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "records_util.h"

namespace KVN {
namespace {

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh_schema_db(); }
  void TearDown() override { SchemaDB::close(); }
};

std::string printed(const RT_FidCache& cache) {
  std::ostringstream os;
  os << cache;
  return os.str();
}

TEST_F(CacheTest, TableHasMoreBucketsThanItems) {
  LogCapture log(TAVO_LOG_INFO);
  const struct {
    unsigned items, buckets;
  } cases[] = {{0, 2}, {1, 2}, {2, 4}, {3, 4}, {1000, 1024}, {1023, 1024}, {1024, 2048}};
  for (const auto& c : cases) {
    RT_FidCacheImpl impl("sizes", c.items);
    EXPECT_EQ(impl.buckets(), c.buckets) << c.items;
    EXPECT_EQ(impl.capacity(), c.items);
  }
  EXPECT_EQ(log.count("Cache: sizes created(1000,1024)\n"), 1u) << log.text();
  EXPECT_EQ(log.count("Cache: sizes created(0,2)\n"), 1u);
}

TEST_F(CacheTest, ApplyInsertsOnlyWhenAskedAndMergesIntoPresentRecords) {
  RT_FidCache cache("apply", 2);
  const RT_Message image = make_msg("IBM", {{22, "101.5"}, {25, "102"}, {3, "INTL"}});
  EXPECT_EQ(cache.apply(image, false, true), RT_E_NOT_FOUND);
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.apply(image, true, true), RT_NO_ERROR);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.capacity(), 2u);
  EXPECT_EQ(cached_fields(cache, "IBM"), (FieldList{{3, "INTL"}, {22, "101.5"}, {25, "102"}}));

  EXPECT_EQ(cache.apply(make_msg("IBM", {{22, "101.75"}, {30, "7"}}), false, true), RT_NO_ERROR);
  EXPECT_EQ(cached_fields(cache, "IBM"),
            (FieldList{{3, "INTL"}, {22, "101.75"}, {25, "102"}, {30, "7"}}));
  EXPECT_EQ(cache.apply(make_msg("IBM", {{31, "x"}, {25, "99"}}), true, false), RT_NO_ERROR);
  EXPECT_EQ(cached_fields(cache, "IBM"),
            (FieldList{{3, "INTL"}, {22, "101.75"}, {25, "99"}, {30, "7"}}));

  // No eviction: more records than the expected count.
  for (const char* k : {"A", "B", "C", ""})
    EXPECT_EQ(cache.apply(make_msg(k, {{1, k}}), true, true), RT_NO_ERROR);
  EXPECT_EQ(cache.size(), 5u);
  EXPECT_EQ(cached_fields(cache, ""), (FieldList{{1, ""}}));
}

TEST_F(CacheTest, ToMessageGivesTheImageOrAnError) {
  RT_FidCache cache("image", 10);
  RT_Message m = make_msg("K1", {{5, "five"}, {1, "one"}});
  m.set_stale(true, "late");
  ASSERT_EQ(cache.apply(m, true, true), RT_NO_ERROR);

  RT_Message out;
  out.set_tag(9);
  out.append(77, "left over");
  cache.to_message("K1", &out);
  EXPECT_EQ(std::string(out.get_key()), "K1");
  EXPECT_EQ(fields_of(out), (FieldList{{1, "one"}, {5, "five"}}));
  EXPECT_TRUE(out.is_response());
  EXPECT_TRUE(out.is_complete());
  EXPECT_STREQ(out.get_stale_reason(), "late");
  EXPECT_EQ(out.get_tag(), 0);

  cache.to_message(std::string("nope"), &out);
  EXPECT_EQ(std::string(out.get_key()), "nope");
  EXPECT_EQ(out.count(), 0);
  EXPECT_EQ(out.get_error(), RT_E_NOT_FOUND);
  EXPECT_STREQ(out.get_error_description(), "Symbol not found");
  EXPECT_TRUE(out.is_error());
  EXPECT_TRUE(out.is_closed());
}

TEST_F(CacheTest, RenameRefilesTheRecordAndEraseDropsIt) {
  RT_FidCache cache("rename", 10);
  ASSERT_EQ(cache.apply(make_msg("a", {{1, "x"}, {2, "y"}}), true, true), RT_NO_ERROR);
  cache.apply(make_msg("a", {{1, "z"}}), false, true);
  const FieldList fields = cached_fields(cache, "a");

  EXPECT_EQ(cache.rename("a", "b"), RT_NO_ERROR);
  EXPECT_EQ(cache.find("a"), nullptr);
  EXPECT_EQ(cached_fields(cache, "b"), fields);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_NE(printed(cache).find("R: key(1): b upds: 1 "), std::string::npos) << printed(cache);
  EXPECT_EQ(cache.rename("a", "c"), RT_E_NOT_FOUND);

  // Onto a key in use: both stay, lookups find the newer one.
  ASSERT_EQ(cache.apply(make_msg("c", {{9, "old c"}}), true, true), RT_NO_ERROR);
  EXPECT_EQ(cache.rename("b", "c"), RT_NO_ERROR);
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cached_fields(cache, "c"), fields);
  EXPECT_EQ(cache.erase("c"), RT_NO_ERROR);
  EXPECT_EQ(cached_fields(cache, "c"), (FieldList{{9, "old c"}}));
  EXPECT_EQ(cache.erase(std::string("c")), RT_NO_ERROR);
  EXPECT_EQ(cache.erase("c"), RT_E_NOT_FOUND);
  EXPECT_EQ(cache.size(), 0u);
}

TEST_F(CacheTest, KeysLongerThan255BytesAreRefusedWithoutStoringAnything) {
  RT_FidCache cache("keys", 10);
  const std::string longest(255, 'L'), too_long(300, 'T');
  EXPECT_EQ(cache.apply(make_msg(too_long, {{1, "a"}}), false, true), RT_E_NOT_FOUND);
  EXPECT_EQ(cache.apply(make_msg(too_long, {{1, "a"}}), true, true), RT_E_INVAL);
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(schema_stats().allocs, 0u);

  ASSERT_EQ(cache.apply(make_msg(longest, {{1, std::string(255, 'v')}}), true, true), RT_NO_ERROR);
  EXPECT_EQ(cached_fields(cache, longest), (FieldList{{1, std::string(255, 'v')}}));
  EXPECT_EQ(cache.rename(longest, too_long), RT_E_INVAL);
  EXPECT_EQ(cached_fields(cache, longest), (FieldList{{1, std::string(255, 'v')}}));
  EXPECT_EQ(cache.find(too_long), nullptr);
  EXPECT_EQ(cache.size(), 1u);
}

TEST_F(CacheTest, MemoryFiguresAreTheSumsOverTheRecords) {
  RT_FidCacheImpl impl("figures", 10);
  const RT_Message a = make_msg("A", {{1, "one"}, {2, "two"}});
  const RT_Message b = make_msg("BB", {{1, "uno"}, {3, std::string(40, 't')}});
  ASSERT_EQ(impl.apply(a, true, true), RT_NO_ERROR);
  ASSERT_EQ(impl.apply(b, true, true), RT_NO_ERROR);
  auto sums_match = [&impl] {
    unsigned used = 0, alloc = 0;
    for (const char* k : {"A", "BB"}) {
      const RT_RecordInternal* r = impl.find(reinterpret_cast<const unsigned char*>(k),
                                             static_cast<unsigned>(std::strlen(k)));
      if (!r) continue;
      used += r->bytes_used();
      alloc += r->bytes_allocated();
    }
    EXPECT_EQ(impl.memory_used(), used);
    EXPECT_EQ(impl.memory_allocated(), alloc);
    return impl.memory_used() == used && impl.memory_allocated() == alloc;
  };
  EXPECT_TRUE(sums_match());
  std::ostringstream os;
  impl.on_print_stats(os, 0, 1);
  std::ostringstream head;
  head << "Items:2/10 Memory: " << impl.memory_used() << "/" << impl.memory_allocated() << "\n";
  EXPECT_EQ(os.str().substr(0, head.str().size()), head.str());
  EXPECT_NE(os.str().find("SchemaStats:\n  NumSchemas = 2"), std::string::npos) << os.str();

  // Growth and expansion through apply are reflected; erase takes its share.
  ASSERT_EQ(impl.apply(make_msg("A", {{2, std::string(100, 'g')}, {9, "new"}}), false, true),
            RT_NO_ERROR);
  EXPECT_TRUE(sums_match());
  ASSERT_EQ(impl.erase(reinterpret_cast<const unsigned char*>("A"), 1), RT_NO_ERROR);
  EXPECT_TRUE(sums_match());
  ASSERT_EQ(impl.erase(reinterpret_cast<const unsigned char*>("BB"), 2), RT_NO_ERROR);
  EXPECT_EQ(impl.memory_used(), 0u);
  EXPECT_EQ(impl.memory_allocated(), 0u);
}

TEST_F(CacheTest, StatisticsAreARegisteredModuleUnderTheCacheName) {
  std::ostringstream before;
  StatsManager::print_stats(0, before);
  EXPECT_EQ(before.str().find("Module: quotes\n"), std::string::npos);
  {
    RT_FidCache cache("quotes", 100);
    cache.apply(make_msg("Q", {{1, "a"}}), true, true);
    cache.apply(make_msg("Q", {{1, "longer value"}}), true, true);
    std::ostringstream os;
    StatsManager::print_stats(0, os);
    const std::string text = os.str();
    const size_t mod = text.find("Module: quotes\nItems:1/100 Memory: ");
    ASSERT_NE(mod, std::string::npos) << text;
    EXPECT_NE(text.find("SchemaExps = 0 FieldExps = 1 CapacityExps = 1\n", mod), std::string::npos)
        << text;
    EXPECT_NE(text.find("Field_expansion(bytes) = 11 CapacityExpansions(bytes) = 19 "
                        "CopyConstructs = 0\nSchemaStats:\n",
                        mod),
              std::string::npos)
        << text;

    StatsManager::clear_stats();
    std::ostringstream cleared;
    StatsManager::print_stats(0, cleared);
    EXPECT_NE(cleared.str().find("SchemaExps = 0 FieldExps = 0 CapacityExps = 0\n"),
              std::string::npos)
        << cleared.str();
  }
  std::ostringstream after;
  StatsManager::print_stats(0, after);
  EXPECT_EQ(after.str().find("Module: quotes\n"), std::string::npos);
}

TEST_F(CacheTest, RecordsOfOneShapeShareASchemaThatIsReleasedWithThem) {
  {
    RT_FidCache cache("shapes", 64);
    for (int i = 0; i < 40; ++i) {
      const std::string key = "K" + std::to_string(i);
      const RT_Message m = i % 2 ? make_msg(key, {{1, "a"}, {2, "b"}})
                                 : make_msg(key, {{2, key}, {1, key}, {7, ""}});
      ASSERT_EQ(cache.apply(m, true, true), RT_NO_ERROR);
    }
    SchemaStats s = schema_stats();
    EXPECT_EQ(s.num, 2u);
    EXPECT_EQ(s.allocs, 40u);
    const std::string text = printed(cache);
    size_t shared = 0;
    for (size_t p = text.find("/20 used: "); p != std::string::npos;
         p = text.find("/20 used: ", p + 1))
      ++shared;
    EXPECT_EQ(shared, 40u) << text;

    // An expansion moves one record to a third schema; a rename keeps the count.
    cache.apply(make_msg("K0", {{8, "x"}}), false, true);
    EXPECT_EQ(cache.rename("K1", "K1b"), RT_NO_ERROR);
    s = schema_stats();
    EXPECT_EQ(s.num, 3u);
    EXPECT_EQ(s.unref, 0u);
    for (int i = 2; i < 40; i += 2) cache.erase("K" + std::to_string(i));
    cache.erase("K0");
    EXPECT_EQ(schema_stats().unref, 2u);  // the 3-field shape and the expanded one
  }
  // Every record released its reference: closing empties the database.
  SchemaStats s = schema_stats();
  EXPECT_EQ(s.unref, s.num);
  EXPECT_EQ(s.allocs + s.expansions, s.deallocs);
  SchemaDB::close();
  s = schema_stats();
  EXPECT_EQ(s.num, 0u);
  EXPECT_EQ(s.allocs, 0u);
}

TEST_F(CacheTest, WritableFindCountsAnUpdateAndTheConstOneDoesNot) {
  RT_FidCache cache("finds", 4);
  cache.apply(make_msg("X", {{1, "a"}}), true, true);
  {
    const RT_FidCache& ro = cache;
    EXPECT_NE(ro.find("X", 1), nullptr);
  }
  EXPECT_NE(printed(cache).find("upds: 1 "), std::string::npos);
  { EXPECT_NE(cache.find("X", 1), nullptr); }
  EXPECT_NE(printed(cache).find("upds: 2 "), std::string::npos);
  EXPECT_EQ(cache.find("Y", 1), nullptr);
  EXPECT_EQ(cache.find(nullptr, 3), nullptr);
  EXPECT_EQ(cache.find("X", -1), nullptr);
}

TEST_F(CacheTest, ViewsReadAndWriteTheCachedRecordInPlace) {
  RT_FidCache cache("views", 8);
  RT_Message m = make_msg("V", {{1, "a"}, {2, "b"}});
  m.set_permissions("perm");
  cache.apply(m, true, true);
  {
    std::unique_ptr<RT_Record> view = cache.find("V");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(key_of(*view), "V");
    EXPECT_EQ(perms_of(*view), "perm");
    EXPECT_EQ(stale_of(*view), "<null>");
    EXPECT_EQ(view->set(2, "B", 1), RT_NO_ERROR);
    EXPECT_EQ(view->set(3, "c", 1), RT_E_NOT_FOUND);
    EXPECT_EQ(view->check_and_set(1, "a", 1), 1);
    view->set_stale(true, "hold", 4);
    EXPECT_EQ(view->apply(make_msg("V", {{3, "c"}}), true), RT_NO_ERROR);
  }
  RT_Message out;
  cache.to_message("V", &out);
  EXPECT_EQ(fields_of(out), (FieldList{{1, "a"}, {2, "B"}, {3, "c"}}));
  EXPECT_FALSE(out.is_stale());  // the update was neither stale nor an error

  // A view's writes that grow the record keep the memory figures balanced.
  {
    std::unique_ptr<RT_Record> view = cache.find("V");
    ASSERT_EQ(view->set(1, std::string(200, 'w').data(), 200), RT_NO_ERROR);
  }
  cache.erase("V");
  EXPECT_NE(printed(cache).find("Items:0/8 Memory: 0/0\n"), std::string::npos) << printed(cache);
}

TEST_F(CacheTest, AssigningOverAViewRefilesTheCachedRecordUnderTheNewKey) {
  RT_FidCache cache("assign", 8);
  cache.apply(make_msg("OLD", {{1, "a"}}), true, true);
  cache.apply(make_msg("OTHER", {{5, "o"}}), true, true);
  const RT_Record detached(make_msg("NEW", {{2, "b"}, {3, "c"}}));
  {
    std::unique_ptr<RT_Record> view = cache.find("OLD");
    ASSERT_NE(view, nullptr);
    *view = detached;
    EXPECT_EQ(key_of(*view), "NEW");
    EXPECT_EQ(fields_of(*view), (FieldList{{2, "b"}, {3, "c"}}));
    // From a message-backed record, and re-pointed with reset.
    RT_Record building;
    building.reset("NEWER", 5);
    building.set(9, "z", 1);
    *view = building;
    EXPECT_EQ(key_of(*view), "NEWER");
    EXPECT_TRUE(view->reset("OTHER", 5));
    EXPECT_EQ(fields_of(*view), (FieldList{{5, "o"}}));
    EXPECT_TRUE(view->reset("NEWER", 5));
  }
  EXPECT_EQ(cache.find("OLD"), nullptr);
  EXPECT_EQ(cache.find("NEW"), nullptr);
  EXPECT_EQ(cached_fields(cache, "NEWER"), (FieldList{{9, "z"}}));
  EXPECT_EQ(cache.size(), 2u);
  // The figures still balance once everything is erased.
  cache.erase("NEWER");
  cache.erase("OTHER");
  EXPECT_NE(printed(cache).find("Items:0/8 Memory: 0/0\n"), std::string::npos) << printed(cache);
}

TEST_F(CacheTest, PrintingListsStatisticsThenEveryRecordByBucket) {
  RT_FidCache cache("print", 2);
  cache.apply(make_msg("P", {{4, "four"}}), true, true);
  const std::string text = printed(cache);
  EXPECT_EQ(text.rfind("Items:1/2 Memory: ", 0), 0u) << text;
  const unsigned bucket = hash_binary("P", "P" + 1) & 3;
  std::ostringstream rec;
  rec << "H[" << bucket << "] R: key(1): P upds: 1 num_fids: 1 schema:1/1 used: 6/";
  EXPECT_NE(text.find(rec.str()), std::string::npos) << text;
  EXPECT_NE(text.find("[4] Val=four Size=4\n\n"), std::string::npos) << text;
}

// ---- random operations over many keys ---------------------------------------

std::string random_text(std::mt19937& rng, size_t max_len) {
  std::string v(rng() % (max_len + 1), '\0');
  for (char& c : v) c = static_cast<char>(rng() % 256);
  return v;
}

TEST_F(CacheTest, RandomOperationsMatchAMapModel) {
  LogCapture quiet(TAVO_LOG_ERROR);
  std::mt19937 rng(77);
  std::vector<std::string> keys;
  for (int i = 0; i < 60; ++i) keys.push_back(random_text(rng, 12) + std::to_string(i));
  std::map<std::string, Image> model;
  RT_FidCache cache("random", 32);

  for (int step = 0; step < 20000; ++step) {
    const std::string& key = keys[rng() % keys.size()];
    const unsigned op = rng() % 100;
    auto it = model.find(key);
    if (op < 80) {
      FieldList upd;
      Image fresh;
      const int n = 1 + static_cast<int>(rng() % 6);
      while (static_cast<int>(fresh.size()) < n) {
        const int fid = static_cast<int>(rng() % 40) * 1024 + static_cast<int>(rng() % 3);
        if (fresh.count(fid)) continue;
        fresh[fid] = random_text(rng, rng() % 8 ? 12 : 255);
        upd.emplace_back(fid, fresh[fid]);
      }
      const bool insert = rng() % 4 != 0;
      const bool expand = rng() % 5 != 0;
      const rt_errno rc = cache.apply(make_msg(key, upd), insert, expand);
      if (it != model.end()) {
        ASSERT_EQ(rc, RT_NO_ERROR);
        for (const auto& f : upd)
          if (expand || it->second.count(f.first)) it->second[f.first] = f.second;
      } else if (insert) {
        ASSERT_EQ(rc, RT_NO_ERROR);
        model[key] = fresh;
      } else {
        ASSERT_EQ(rc, RT_E_NOT_FOUND);
      }
    } else if (op < 88) {
      ASSERT_EQ(cache.erase(key), it == model.end() ? RT_E_NOT_FOUND : RT_NO_ERROR);
      if (it != model.end()) model.erase(it);
    } else if (op < 96) {
      // Renames only onto free keys, where the outcome is unambiguous.
      const std::string& to = keys[rng() % keys.size()];
      if (model.count(to)) continue;
      ASSERT_EQ(cache.rename(key, to), it == model.end() ? RT_E_NOT_FOUND : RT_NO_ERROR);
      if (it != model.end()) {
        model[to] = it->second;
        model.erase(key);
      }
    } else {
      RT_Message out;
      cache.to_message(key, &out);
      if (it == model.end()) {
        ASSERT_EQ(out.get_error(), RT_E_NOT_FOUND);
      } else {
        ASSERT_EQ(fields_of(out), fields_of(it->second)) << "step " << step;
      }
    }
    ASSERT_EQ(cache.size(), model.size());
    if (step % 1000 == 999) {
      for (const auto& entry : model)
        ASSERT_EQ(cached_fields(cache, entry.first), fields_of(entry.second)) << "step " << step;
    }
  }
}

}  // namespace
}  // namespace KVN
