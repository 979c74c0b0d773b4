// Compact record storage: building from an image, slots that grow and keep
// dead bytes, merging updates with and without expansion, the field limit,
// stale and permission texts, key limits, copying, and a long random merge
// sequence checked against an independent std::map image.
#include <tavo/detail/RT_FieldMap>
#include <tavo/private/RT_FidCache>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "records_util.h"

namespace KVN {
namespace {

class RecordStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fresh_schema_db();
    RT_RecordInternal::clear_counters();
  }
  void TearDown() override { SchemaDB::close(); }
};

TEST_F(RecordStorageTest, BuildsFromAFullImageInAscendingFidOrder) {
  const RT_Message m = make_msg("K", {{30, "abc"}, {10, "x"}});
  const RT_RecordInternal r(m);
  EXPECT_EQ(fields_of(r), (FieldList{{10, "x"}, {30, "abc"}}));
  int ksz = 0;
  EXPECT_EQ(std::string(r.get_key(&ksz), 1), "K");
  EXPECT_EQ(ksz, 1);
  EXPECT_EQ(r.offsets[0], 1u);
  EXPECT_EQ(r.used, 1u + 2 + 4);
  EXPECT_EQ(r.cap, 6u + 6 / 8 + 1);  // value buffer 6, an eighth of it, the key
  EXPECT_EQ(r.num_apply_upds, 1u);
  EXPECT_EQ(r.hash, 0u);
  EXPECT_EQ(r.next, nullptr);
  EXPECT_EQ(r.prev, nullptr);
  EXPECT_EQ(r.bytes_used(), 7u + 2 * (2 + 40));
  EXPECT_EQ(r.bytes_allocated(), 7u + 2 * (2 + 40));
  EXPECT_FALSE(r.is_stale());
  EXPECT_FALSE(r.is_permissioned());
  int sz = -1;
  EXPECT_EQ(r.get(20, &sz), nullptr);
  EXPECT_EQ(sz, 0);
  EXPECT_FALSE(r.exists(20));
  EXPECT_TRUE(r.exists(30));
  int fid = -1;
  EXPECT_EQ(r.get_by_idx(2, &fid, &sz), nullptr);
  EXPECT_EQ(fid, 0);
  EXPECT_EQ(r.schema->ref_count(), 1u);
}

TEST_F(RecordStorageTest, SlotsKeepDeadBytesAndGrowByMovingLaterFields) {
  RT_RecordInternal r(make_msg("K", {{30, "abc"}, {10, "x"}}));
  ASSERT_EQ(r.set(10, "", 0), RT_NO_ERROR);
  int sz = -1;
  const char* v = r.get(10, &sz);
  EXPECT_NE(v, nullptr);  // present, zero bytes
  EXPECT_EQ(sz, 0);
  EXPECT_EQ(r.offsets[1] - r.offsets[0], 2);  // the slot kept its dead byte
  EXPECT_EQ(r.used, 7u);

  ASSERT_EQ(r.set(10, "xyz", 3), RT_NO_ERROR);
  EXPECT_EQ(r.offsets[1], 5u);  // field 30 moved up by 2
  EXPECT_EQ(r.used, 9u);
  EXPECT_EQ(r.cap, 7u + 2 + 8);
  EXPECT_EQ(fields_of(r), (FieldList{{10, "xyz"}, {30, "abc"}}));
  EXPECT_EQ(RT_RecordInternal::num_field_expansions, 1u);
  EXPECT_EQ(RT_RecordInternal::size_field_expansions, 2u);
  EXPECT_EQ(RT_RecordInternal::num_capacity_expansions, 1u);
  EXPECT_EQ(RT_RecordInternal::size_capacity_expansions, 10u);

  // Fits now: written in place, nothing moves.
  ASSERT_EQ(r.set(10, "ab", 2), RT_NO_ERROR);
  EXPECT_EQ(r.offsets[1], 5u);
  EXPECT_EQ(r.used, 9u);
  EXPECT_EQ(fields_of(r), (FieldList{{10, "ab"}, {30, "abc"}}));
  EXPECT_EQ(RT_RecordInternal::num_field_expansions, 1u);
}

TEST_F(RecordStorageTest, SetRefusesFidsOutsideTheSchemaAndValuesThatDoNotFitALengthByte) {
  RT_RecordInternal r(make_msg("K", {{10, "x"}}));
  const std::string big(256, 'b');
  struct Case {
    int fid;
    const char* value;
    int size;
    rt_errno set;
  } cases[] = {
      {11, "y", 1, RT_E_NOT_FOUND}, {10, big.data(), 256, RT_E_INVAL}, {10, "y", -1, RT_E_INVAL},
      {10, nullptr, 1, RT_E_INVAL}, {-1, "y", 1, RT_E_INVAL},          {65536, "y", 1, RT_E_INVAL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(r.set(c.fid, c.value, c.size), c.set) << c.fid << "/" << c.size;
    EXPECT_EQ(r.check_and_set(c.fid, c.value, c.size), -1) << c.fid << "/" << c.size;
  }
  EXPECT_EQ(fields_of(r), (FieldList{{10, "x"}}));
  EXPECT_EQ(r.used, 3u);
  // A null value of 0 bytes is an empty value.
  EXPECT_EQ(r.set(10, nullptr, 0), RT_NO_ERROR);
  EXPECT_EQ(fields_of(r), (FieldList{{10, ""}}));
}

TEST_F(RecordStorageTest, CheckAndSetWritesOnlyChanges) {
  RT_RecordInternal r(make_msg("K", {{10, "x"}, {30, "abc"}}));
  EXPECT_EQ(r.check_and_set(30, "abc", 3), 1);
  EXPECT_EQ(r.check_and_set(10, "x", 1), 1);
  EXPECT_EQ(RT_RecordInternal::num_field_expansions, 0u);
  EXPECT_EQ(r.check_and_set(30, "abd", 3), 0);
  EXPECT_EQ(r.check_and_set(10, "longer", 6), 0);
  EXPECT_EQ(fields_of(r), (FieldList{{10, "longer"}, {30, "abd"}}));
  EXPECT_EQ(r.check_and_set(10, "", 0), 0);
  EXPECT_EQ(r.check_and_set(10, "", 0), 1);
}

TEST_F(RecordStorageTest, ValueTakenFromTheRecordItselfSurvivesGrowth) {
  RT_RecordInternal r(make_msg("K", {{1, "a"}, {2, std::string(200, 'q')}}));
  int sz = 0;
  const char* v = r.get(2, &sz);
  ASSERT_EQ(r.set(1, v, sz), RT_NO_ERROR);  // grows slot 1 and reallocates
  EXPECT_EQ(fields_of(r), (FieldList{{1, std::string(200, 'q')}, {2, std::string(200, 'q')}}));
  v = r.get(1, &sz);
  ASSERT_EQ(r.set(1, v + 1, sz - 1), RT_NO_ERROR);  // overlapping, in place
  EXPECT_EQ(fields_of(r), (FieldList{{1, std::string(199, 'q')}, {2, std::string(200, 'q')}}));
}

TEST_F(RecordStorageTest, UpdatesExpandTheRecordOrSkipUnknownFids) {
  RT_RecordInternal r(make_msg("K", {{10, "x"}, {30, "abc"}}));
  const RT_Message upd = make_msg("K", {{30, "new"}, {20, "mid"}, {10, "yy"}, {40, ""}});

  RT_RecordInternal fixed(r);
  ASSERT_EQ(fixed.apply(upd, false), RT_NO_ERROR);
  EXPECT_EQ(fields_of(fixed), (FieldList{{10, "yy"}, {30, "new"}}));
  EXPECT_EQ(fixed.schema.get(), r.schema.get());
  EXPECT_EQ(RT_RecordInternal::num_schema_expansions, 0u);

  ASSERT_EQ(r.apply(upd, true), RT_NO_ERROR);
  EXPECT_EQ(fields_of(r), (FieldList{{10, "yy"}, {20, "mid"}, {30, "new"}, {40, ""}}));
  EXPECT_EQ(RT_RecordInternal::num_schema_expansions, 1u);
  EXPECT_EQ(r.num_apply_upds, 2u);
  EXPECT_EQ(r.used, r.offsets[4]);
  EXPECT_LE(r.used, r.cap);
  EXPECT_EQ(r.schema->ref_count(), 1u);
  EXPECT_EQ(fixed.schema->ref_count(), 1u);
  // Later fields of the widened record still take in-place writes.
  ASSERT_EQ(r.set(20, "MID", 3), RT_NO_ERROR);
  EXPECT_EQ(fields_of(r), (FieldList{{10, "yy"}, {20, "MID"}, {30, "new"}, {40, ""}}));
}

// A record of n fields FID 1..n, values "v<fid>".
RT_Message wide_image(int n) {
  RT_Message m;
  m.set_key("W");
  for (int fid = 1; fid <= n; ++fid) m.append(fid, ("v" + std::to_string(fid)).c_str());
  return m;
}

TEST_F(RecordStorageTest, ExpansionStopsShortOf255Fields) {
  LogCapture log(TAVO_LOG_WARN);
  RT_RecordInternal r(wide_image(250));
  // 250 + 4 = 254 fields: allowed.
  RT_Message four = make_msg("W", {{1, "one"}, {1001, "a"}, {1002, "b"}, {1003, "c"}, {1004, "d"}});
  ASSERT_EQ(r.apply(four, true), RT_NO_ERROR);
  ASSERT_EQ(r.num_fids(), 254);
  EXPECT_EQ(value_of(r, 1), "one");
  const unsigned schemas = schema_stats().num;

  // One more would make 255: refused once per update, the known field still
  // applied, the unknown ones skipped, no capped list interned.
  RT_Message more = make_msg("W", {{2001, "x"}, {2, "two"}, {2002, "y"}});
  ASSERT_EQ(r.apply(more, true), RT_NO_ERROR);
  EXPECT_EQ(r.num_fids(), 254);
  EXPECT_EQ(value_of(r, 2), "two");
  EXPECT_FALSE(r.exists(2001));
  EXPECT_EQ(RT_RecordInternal::num_schema_expansions, 2u);
  EXPECT_EQ(log.count("Can not expand record, field_count exceeds 255 Current rec:R: key(1): W"),
            1u);
  EXPECT_EQ(log.count(" Msg:  T:0 K:W"), 1u);
  EXPECT_EQ(log.count("SchemaCache: NUM_FIDS"), 0u);
  EXPECT_EQ(schema_stats().num, schemas);
}

TEST_F(RecordStorageTest, TheLongestKeyAndTheLargestRecordStayAddressable) {
  // 255-byte key and 254 values of 255 bytes: 255 + 254 * 256 bytes, the
  // largest image a record can hold.
  const std::string key(255, 'k');
  RT_Message m;
  m.set_key(key.data(), 255);
  for (int fid = 0; fid < MAX_FIDS_PER_MSG; ++fid)
    ASSERT_EQ(m.append(fid * 3, std::string(255, static_cast<char>('A' + fid % 26)).c_str()),
              RT_NO_ERROR);
  const RT_RecordInternal r(m);
  EXPECT_EQ(r.used, 255u + 254 * 256);
  int ksz = 0;
  EXPECT_EQ(std::string(r.get_key(&ksz), 255), key);
  for (int i = 0; i < MAX_FIDS_PER_MSG; ++i)
    ASSERT_EQ(value_of(r, i * 3), std::string(255, static_cast<char>('A' + i % 26))) << i;
  RT_Message back;
  r.to_message(&back);
  EXPECT_EQ(fields_of(back), fields_of(m));
}

TEST_F(RecordStorageTest, KeysLongerThan255BytesAreRefused) {
  RT_Message m = make_msg(std::string(300, 'k'), {{1, "a"}});
  EXPECT_FALSE(RT_RecordInternal::key_fits(300));
  EXPECT_TRUE(RT_RecordInternal::key_fits(255));
  EXPECT_THROW(RT_RecordInternal{m}, std::length_error);
  EXPECT_EQ(schema_stats().allocs, 0u);  // nothing was taken
}

TEST_F(RecordStorageTest, StaleStateFollowsErrorsAndStaleUpdates) {
  RT_Message err = make_msg("K", {{1, "a"}});
  err.set_error(RT_E_NOT_FOUND, "gone");
  err.set_stale(true, "ignored");
  RT_RecordInternal r(err);
  int sz = 0;
  ASSERT_TRUE(r.is_stale());
  EXPECT_EQ(stale_of(r), "gone");

  RT_Message plain = make_msg("K", {{1, "b"}});
  r.apply(plain, true);
  EXPECT_FALSE(r.is_stale());
  EXPECT_EQ(r.get_stale_reason(&sz), nullptr);
  EXPECT_EQ(sz, 0);

  RT_Message stale = make_msg("K", {});
  stale.set_stale(true, "feed down");
  r.apply(stale, true);
  EXPECT_EQ(stale_of(r), "feed down");
  r.set_stale(false, "x", 1);
  EXPECT_FALSE(r.is_stale());
}

TEST_F(RecordStorageTest, PermissionsComeWithTheImageOnly) {
  RT_Message m = make_msg("K", {{1, "a"}});
  m.set_permissions("P1");
  RT_RecordInternal r(m);
  int sz = 0;
  EXPECT_EQ(perms_of(r), "P1");
  RT_Message upd = make_msg("K", {{1, "b"}});
  upd.set_permissions("P2");
  r.apply(upd, true);
  EXPECT_EQ(perms_of(r), "P1");
  r.set_permissions("", 0);  // empty but not null: still permissioned
  EXPECT_TRUE(r.is_permissioned());
  sz = -1;
  EXPECT_NE(r.get_permissions(&sz), nullptr);
  EXPECT_EQ(sz, 0);
  r.set_permissions(nullptr, 0);
  EXPECT_FALSE(r.is_permissioned());
}

TEST_F(RecordStorageTest, TextsLongerThan255BytesKeepTheirFirst255) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + i % 26);
  RT_RecordInternal r(make_msg("K", {{1, "a"}}));
  r.set_stale(true, text.data(), 300);
  r.set_permissions(text.data(), 300);
  EXPECT_EQ(stale_of(r), text.substr(0, 255));
  EXPECT_EQ(perms_of(r), text.substr(0, 255));
  r.set_stale(true, text.data(), 256);
  EXPECT_EQ(stale_of(r), text.substr(0, 255));
}

TEST_F(RecordStorageTest, ToMessageWritesTheFullImage) {
  RT_Message m = make_msg("IBM", {{30, "abc"}, {10, "x"}, {20, ""}});
  m.set_permissions("perm");
  m.set_stale(true, "old");
  const RT_RecordInternal r(m);
  RT_Message out;
  r.to_message(&out);
  EXPECT_EQ(std::string(out.get_key()), "IBM");
  EXPECT_EQ(fields_of(out), (FieldList{{10, "x"}, {20, ""}, {30, "abc"}}));
  EXPECT_TRUE(out.is_response());
  EXPECT_TRUE(out.is_complete());
  EXPECT_FALSE(out.is_error());
  EXPECT_TRUE(out.is_stale());
  EXPECT_STREQ(out.get_stale_reason(), "old");
  EXPECT_STREQ(out.get_permissions(), "perm");
}

TEST_F(RecordStorageTest, CopiesShareTheSchemaButNotTheValues) {
  RT_RecordInternal a(make_msg("A", {{1, "one"}, {2, "two"}}));
  a.set_stale(true, "s", 1);
  RT_RecordInternal b(a);
  EXPECT_EQ(b.schema.get(), a.schema.get());
  EXPECT_EQ(a.schema->ref_count(), 2u);
  EXPECT_EQ(RT_RecordInternal::num_copy_constructions, 1u);
  b.set(1, "uno", 3);
  EXPECT_EQ(value_of(a, 1), "one");
  EXPECT_TRUE(b.is_stale());

  RT_RecordInternal c(make_msg("C", {{7, "seven"}}));
  c = a;
  EXPECT_EQ(fields_of(c), fields_of(a));
  EXPECT_EQ(a.schema->ref_count(), 3u);
  EXPECT_EQ(schema_stats().unref, 1u);  // {7} is no longer held
  EXPECT_EQ(key_of(c), "A");
}

TEST_F(RecordStorageTest, PrintsKeyFiguresAndNamedFields) {
  const char dict[] = "<Fields><Field name=\"BID\" id=\"22\" type=\"4\"/></Fields>";
  RT_FieldMap* map = RT_FieldMap::create(dict, sizeof dict - 1, true);
  ASSERT_NE(map, nullptr);
  const RT_RecordInternal r(make_msg("K", {{22, "1.5"}, {23, ""}}));
  std::ostringstream os;
  os << r;
  std::ostringstream expected;
  expected << "R: key(1): K upds: 1 num_fids: 2 schema:" << r.schema->schema_id() << "/1 used: 6/"
           << r.cap << "\nBID[22] Val=1.5 Size=3\n????[23] Val= Size=0\n";
  EXPECT_EQ(os.str(), expected.str());
  RT_FieldMap::destroy(map);
  std::ostringstream nomap;
  nomap << r;
  EXPECT_NE(nomap.str().find("{NOMAP}[22] Val=1.5 Size=3\n"), std::string::npos) << nomap.str();
}

// ---- random merge sequence --------------------------------------------------

std::string random_value(std::mt19937& rng) {
  const unsigned pick = rng() % 100;
  size_t len = pick < 10 ? 0 : pick < 15 ? 255 : pick < 85 ? 1 + rng() % 20 : 21 + rng() % 234;
  std::string v(len, '\0');
  for (char& c : v) c = static_cast<char>(rng() % 256);
  return v;
}

// FIDs spread over the whole range, with pairs that share an index slot.
int random_fid(std::mt19937& rng) {
  const unsigned pick = rng() % 4;
  const int base = static_cast<int>(rng() % 300);
  return pick == 0 ? base : pick == 1 ? base + 2048 : pick == 2 ? 65535 - base : base * 97;
}

// The rule the record follows: new FIDs come in with expansion allowed while
// the record stays below 255 fields; otherwise only known FIDs are written.
// Whether the record holds exactly the image, in ascending FID order;
// allocation-free so that it can run after every update.
bool same(const RT_RecordInternal& r, const Image& image) {
  if (r.num_fids() != static_cast<int>(image.size())) return false;
  int i = 0;
  for (const auto& f : image) {
    int fid = 0, sz = 0;
    const char* v = r.get_by_idx(i++, &fid, &sz);
    if (fid != f.first || sz != static_cast<int>(f.second.size()) ||
        std::memcmp(v, f.second.data(), sz) != 0)
      return false;
  }
  return true;
}

// Counts the updates that ask for expansion and those refused.
void model_apply(Image& image, const FieldList& upd, bool expand, unsigned* attempts,
                 unsigned* refusals) {
  std::set<int> fresh;
  for (const auto& f : upd)
    if (!image.count(f.first)) fresh.insert(f.first);
  const bool grow = expand && image.size() + fresh.size() < 255;
  if (expand && !fresh.empty()) ++*attempts;
  if (expand && !fresh.empty() && !grow) ++*refusals;
  for (const auto& f : upd)
    if (grow || image.count(f.first)) image[f.first] = f.second;
}

TEST_F(RecordStorageTest, RandomMergesKeepEveryOtherValueIntact) {
  // Refused expansions log the whole record at WARN; only errors are kept.
  LogCapture log(TAVO_LOG_ERROR);
  std::mt19937 rng(20240611);
  Image image;
  FieldList initial;
  while (initial.size() < 12) {
    const int fid = random_fid(rng);
    if (image.count(fid)) continue;
    initial.emplace_back(fid, random_value(rng));
    image[fid] = initial.back().second;
  }
  RT_RecordInternal r(make_msg("RND", initial));
  unsigned attempts = 0, refusals = 0;
  for (int step = 0; step < 20000; ++step) {
    FieldList upd;
    std::set<int> seen;
    const int n = 1 + static_cast<int>(rng() % 8);
    while (static_cast<int>(upd.size()) < n) {
      int fid;
      if (rng() % 10 != 0) {
        auto it = image.begin();
        std::advance(it, rng() % image.size());
        fid = it->first;
      } else {
        fid = random_fid(rng);
      }
      if (seen.insert(fid).second) upd.emplace_back(fid, random_value(rng));
    }
    const bool expand = rng() % 10 != 0;
    ASSERT_EQ(r.apply(make_msg("RND", upd), expand), RT_NO_ERROR);
    model_apply(image, upd, expand, &attempts, &refusals);
    if (!same(r, image)) {
      ASSERT_EQ(fields_of(r), fields_of(image)) << "step " << step;
    }
    ASSERT_EQ(r.used, r.offsets[r.num_fids()]) << "step " << step;
    ASSERT_LE(r.used, r.cap) << "step " << step;
    if (step % 500 == 0) {
      RT_Message out;
      r.to_message(&out);
      ASSERT_EQ(fields_of(out), fields_of(image));
      RT_RecordInternal copy(r);
      ASSERT_EQ(fields_of(copy), fields_of(image));
    }
  }
  EXPECT_EQ(r.num_fids(), 254) << "the sequence should reach the field limit";
  EXPECT_GT(refusals, 0u);
  EXPECT_EQ(RT_RecordInternal::num_schema_expansions, attempts);
  EXPECT_EQ(log.text().find("ERROR"), std::string::npos) << log.text();
  EXPECT_GT(RT_RecordInternal::num_field_expansions, 0u);
  EXPECT_GT(RT_RecordInternal::num_capacity_expansions, 0u);
}

}  // namespace
}  // namespace KVN
