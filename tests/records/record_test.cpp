// RT_Record over its backings: empty, message being built, detached compact
// record; conversions between them through apply, reset, copying and
// assignment, and the accessors' answers on each backing.
#include <tavo/detail/RT_Record>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "records_util.h"

namespace KVN {
namespace {

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh_schema_db(); }
  void TearDown() override { SchemaDB::close(); }
};

TEST_F(RecordTest, EmptyRecordAnswersWithEmptyResults) {
  RT_Record r;
  EXPECT_TRUE(r.empty());
  EXPECT_EQ(r.count(), 0);
  EXPECT_FALSE(r.exists(1));
  EXPECT_EQ(r.get(1).ptr, nullptr);
  EXPECT_EQ(r.get_key().ptr, nullptr);
  EXPECT_FALSE(r.is_stale());
  EXPECT_FALSE(r.is_permissioned());
  EXPECT_EQ(r.get_stale_reason().ptr, nullptr);
  EXPECT_EQ(r.get_permissions().ptr, nullptr);
  EXPECT_TRUE(r.begin() == r.end());
  EXPECT_EQ(r.set(1, "a", 1), RT_E_NOT_FOUND);
  EXPECT_EQ(r.check_and_set(1, "a", 1), -1);
  r.set_stale(true, "x", 1);
  EXPECT_FALSE(r.is_stale());
  const RT_Record copy(r);
  EXPECT_TRUE(copy.empty());
  std::ostringstream os;
  os << r;
  EXPECT_EQ(os.str(), "Key:  (NumFids = 0)\n");
}

TEST_F(RecordTest, ApplyToAnEmptyRecordTakesTheFullImage) {
  RT_Record r;
  ASSERT_EQ(r.apply(make_msg("IBM", {{30, "c"}, {10, "a"}, {20, "b"}}), true), RT_NO_ERROR);
  EXPECT_FALSE(r.empty());
  EXPECT_EQ(r.count(), 3);
  EXPECT_EQ(fields_of(r), (FieldList{{10, "a"}, {20, "b"}, {30, "c"}}));
  FieldList iterated;
  for (const RT_FidField& f : r) iterated.emplace_back(f.fid, f.data.to_string());
  EXPECT_EQ(iterated, fields_of(r));
  EXPECT_EQ(key_of(r), "IBM");
  // A FID the image never carried is refused by the compact backing.
  EXPECT_EQ(r.set(40, "d", 1), RT_E_NOT_FOUND);
  EXPECT_EQ(r.check_and_set(40, "d", 1), -1);
  EXPECT_EQ(r.get(40).ptr, nullptr);
  EXPECT_EQ(r.check_and_set(10, "a", 1), 1);
  EXPECT_EQ(r.check_and_set(10, "A", 1), 0);
  EXPECT_EQ(r.get(10).to_string(), "A");

  // Later applies merge; without expansion unknown FIDs are skipped.
  ASSERT_EQ(r.apply(make_msg("IBM", {{40, "d"}, {20, "B"}}), false), RT_NO_ERROR);
  EXPECT_EQ(fields_of(r), (FieldList{{10, "A"}, {20, "B"}, {30, "c"}}));
  ASSERT_EQ(r.apply(make_msg("IBM", {{40, "d"}}), true), RT_NO_ERROR);
  EXPECT_EQ(r.get(40).to_string(), "d");
}

TEST_F(RecordTest, ResetBuildsAMessageThatApplyConverts) {
  RT_Record r(make_msg("OLD", {{1, "x"}}));
  ASSERT_TRUE(r.reset("IBM", 3));
  EXPECT_EQ(key_of(r), "IBM");
  EXPECT_EQ(r.get_key().size, 3);
  EXPECT_EQ(r.count(), 0);
  EXPECT_TRUE(r.empty());
  // The message backing takes any FID, in call order.
  EXPECT_EQ(r.set(30, "c", 1), RT_NO_ERROR);
  EXPECT_EQ(r.set(10, "a", 1), RT_NO_ERROR);
  EXPECT_EQ(r.check_and_set(10, "a", 1), 0);  // never "unchanged" here
  EXPECT_EQ(fields_of(r), (FieldList{{30, "c"}, {10, "a"}}));
  EXPECT_EQ(stale_of(r), "");  // message backing: "" when not stale
  r.set_stale(true, "slow", 4);
  EXPECT_EQ(stale_of(r), "slow");

  ASSERT_EQ(r.apply(make_msg("IBM", {{10, "A"}, {20, "b"}}), true), RT_NO_ERROR);
  EXPECT_EQ(fields_of(r), (FieldList{{10, "A"}, {20, "b"}, {30, "c"}}));
  EXPECT_FALSE(r.is_stale());  // the update cleared it
  EXPECT_EQ(stale_of(r), "<null>");
  EXPECT_EQ(r.set(99, "z", 1), RT_E_NOT_FOUND);  // compact again

  // reset of a message-backed record clears the message.
  ASSERT_TRUE(r.reset("X", 1));
  r.set(1, "1", 1);
  ASSERT_TRUE(r.reset("Y", 1));
  EXPECT_EQ(r.count(), 0);
  EXPECT_EQ(key_of(r), "Y");
}

TEST_F(RecordTest, MessageBackingReportsRefusedWrites) {
  RT_Record r;
  r.reset("FULL", 4);
  for (int fid = 1; fid <= MAX_FIDS_PER_MSG; ++fid) ASSERT_EQ(r.set(fid, "v", 1), RT_NO_ERROR);
  EXPECT_EQ(r.set(1000, "v", 1), RT_E_LIMIT);
  EXPECT_EQ(r.check_and_set(1000, "v", 1), -1);
  EXPECT_EQ(r.set(1, std::string(256, 'v').data(), 256), RT_E_INVAL);
  EXPECT_EQ(r.count(), MAX_FIDS_PER_MSG);
}

TEST_F(RecordTest, CopiesAreDetachedWhateverTheSource) {
  RT_Record building;
  building.reset("MSFT", 4);
  building.set(5, "five", 4);
  building.set(2, "two", 3);
  RT_Record copy(building);
  EXPECT_EQ(key_of(copy), "MSFT");
  EXPECT_EQ(fields_of(copy), (FieldList{{2, "two"}, {5, "five"}}));
  EXPECT_EQ(copy.set(7, "x", 1), RT_E_NOT_FOUND);  // detached: compact backing

  RT_Record second(copy);
  second.set(2, "TWO", 3);
  EXPECT_EQ(copy.get(2).to_string(), "two");

  // Assignment into every kind of backing.
  RT_Record empty, msg_backed, detached(make_msg("D", {{1, "d"}}));
  msg_backed.reset("M", 1);
  for (RT_Record* target : {&empty, &msg_backed, &detached}) {
    *target = building;
    EXPECT_EQ(key_of(*target), "MSFT");
    EXPECT_EQ(fields_of(*target), (FieldList{{2, "two"}, {5, "five"}}));
    EXPECT_EQ(target->set(7, "x", 1), RT_E_NOT_FOUND);
    *target = second;
    EXPECT_EQ(target->get(2).to_string(), "TWO");
  }
  detached = detached;
  EXPECT_EQ(detached.get(2).to_string(), "TWO");
  // Assigning an empty record changes nothing.
  detached = RT_Record();
  EXPECT_EQ(detached.count(), 2);
  detached.clear();
  EXPECT_TRUE(detached.empty());
}

TEST_F(RecordTest, KeysLongerThan255BytesAreNeverBuiltIntoARecord) {
  const std::string too_long(300, 'k');
  const RT_Message m = make_msg(too_long, {{1, "a"}});
  const RT_Record from_msg(m);
  EXPECT_TRUE(from_msg.empty());
  EXPECT_EQ(from_msg.get_key().ptr, nullptr);

  RT_Record r;
  EXPECT_EQ(r.apply(m, true), RT_E_INVAL);
  EXPECT_TRUE(r.empty());

  // A message-backed record may hold the key, but cannot be converted.
  ASSERT_TRUE(r.reset(too_long.data(), 300));
  r.set(1, "a", 1);
  EXPECT_EQ(r.apply(make_msg(too_long, {{1, "b"}}), true), RT_E_INVAL);
  EXPECT_EQ(fields_of(r), (FieldList{{1, "a"}}));
  EXPECT_TRUE(RT_Record(r).empty());
  RT_Record target(make_msg("T", {{2, "t"}}));
  target = r;
  EXPECT_EQ(key_of(target), "T");
  EXPECT_EQ(schema_stats().allocs, 1u);  // only "T" was ever built
}

TEST_F(RecordTest, PrintsKeyCountAndFields) {
  const RT_Record r(make_msg("K", {{3, "c"}, {1, ""}}));
  std::ostringstream os;
  os << r;
  std::ostringstream expected;
  expected << "Key: K (NumFids = 2)\n"
           << "     " << RT_FidField(1, RT_Field("", 0)) << "\n"
           << "     " << RT_FidField(3, RT_Field("c", 1)) << "\n";
  EXPECT_EQ(os.str(), expected.str());
}

}  // namespace
}  // namespace KVN
