// RT_Message: header fields and flags, field storage (append, set in place and
// moved, erase, lookups through the direct index and the Bloom filter),
// copies, reset and clear, the encoded size and printing.
#include <tavo/detail/RT_FieldMap>
#include <tavo/detail/RT_Message>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace KVN {
namespace {

std::string value_of(const RT_Message& m, int fid) {
  int n = -1;
  const char* p = m.get(fid, &n);
  EXPECT_TRUE(p != nullptr) << "fid " << fid;
  return p ? std::string(p, n) : std::string();
}

std::vector<int> fid_order(const RT_Message& m) {
  std::vector<int> fids;
  for (const RT_FidField& f : m) fids.push_back(f.fid);
  return fids;
}

// The encoded size from what the message holds: header 11, key, and per field
// two FID bytes, a length byte and the live value bytes.
size_t expected_size(const RT_Message& m) {
  int key_size = 0;
  m.get_key(&key_size);
  size_t s = 11 + key_size;
  for (const RT_FidField& f : m) s += 2 + 1 + f.data.size;
  return s;
}

TEST(Message, NewMessageIsEmpty) {
  RT_Message m;
  int n = -1;
  EXPECT_EQ(m.count(), 0);
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.size(), 11u);
  EXPECT_STREQ(m.get_key(&n), "");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(m.get_tag(), 0);
  EXPECT_EQ(m.get_error(), RT_NO_ERROR);
  EXPECT_EQ(m.get_msg_time(), 0u);
  EXPECT_TRUE(m.is_update());
  EXPECT_TRUE(m.is_aggregatable());
  EXPECT_FALSE(m.is_response() || m.is_error() || m.is_closed() || m.is_complete() ||
               m.is_stale() || m.is_permissioned() || m.is_aggregated());
  EXPECT_TRUE(m.begin() == m.end());
}

TEST(Message, HeaderTextsAndSize) {
  RT_Message m;
  const char key[] = "A\0B";
  m.set_key(key, 3).set_tag(9);
  int n = 0;
  const char* k = m.get_key(&n);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(std::memcmp(k, key, 3), 0);
  EXPECT_EQ(m.get_tag(), 9);
  EXPECT_EQ(m.size(), 14u);

  m.set_permissions("perm");
  EXPECT_TRUE(m.is_permissioned());
  EXPECT_STREQ(m.get_permissions(&n), "perm");
  EXPECT_EQ(n, 4);
  EXPECT_EQ(m.size(), 14u + 2 + 4);
  m.set_permissions("");
  EXPECT_FALSE(m.is_permissioned());
  EXPECT_STREQ(m.get_permissions(&n), "");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(m.size(), 14u);

  m.set_key(nullptr);
  EXPECT_STREQ(m.get_key(), "");
}

TEST(Message, ErrorAlwaysClosesAndFlagsOnlyRealErrors) {
  RT_Message ok;
  ok.set_error(RT_NO_ERROR, "");
  EXPECT_TRUE(ok.is_closed());
  EXPECT_FALSE(ok.is_error());
  EXPECT_EQ(ok.size(), 11u);

  RT_Message bad;
  bad.set_error(RT_E_NOT_FOUND, "x");
  EXPECT_TRUE(bad.is_closed());
  EXPECT_TRUE(bad.is_error());
  EXPECT_EQ(bad.get_error(), RT_E_NOT_FOUND);
  int n = 0;
  EXPECT_STREQ(bad.get_error_description(&n), "x");
  EXPECT_EQ(n, 1);
  EXPECT_EQ(bad.size(), 11u + 4 + 1);

  // Clearing the error hides the description that is still stored.
  bad.set_error(RT_NO_ERROR, "kept", 4);
  EXPECT_FALSE(bad.is_error());
  EXPECT_STREQ(bad.get_error_description(&n), "");
  EXPECT_EQ(n, 0);
}

TEST(Message, StaleReasonHiddenWhileFlagClear) {
  RT_Message m;
  m.set_stale(true, "r");
  EXPECT_TRUE(m.is_stale());
  EXPECT_EQ(m.size(), 11u + 2 + 1);
  m.set_stale(false, "ignored");
  int n = -1;
  EXPECT_FALSE(m.is_stale());
  EXPECT_STREQ(m.get_stale_reason(&n), "");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(m.size(), 11u);
  m.set_stale(true, "q");
  EXPECT_STREQ(m.get_stale_reason(&n), "q");
  EXPECT_EQ(n, 1);
}

TEST(Message, FlagSetters) {
  RT_Message m;
  m.set_response_flag(true)
      .set_complete(true)
      .set_close(true)
      .set_aggregated(true)
      .set_aggregatable(false);
  EXPECT_TRUE(m.is_response());
  EXPECT_FALSE(m.is_update());
  EXPECT_TRUE(m.is_complete() && m.is_closed() && m.is_aggregated());
  EXPECT_FALSE(m.is_aggregatable());
  m.set_response_flag(false)
      .set_complete(false)
      .set_close(false)
      .set_aggregated(false)
      .set_aggregatable(true);
  EXPECT_TRUE(m.is_update() && m.is_aggregatable());
  EXPECT_FALSE(m.is_complete() || m.is_closed() || m.is_aggregated());
}

TEST(Message, AppendGetAndIterate) {
  RT_Message m;
  ASSERT_EQ(m.append(22, "101.5"), RT_NO_ERROR);
  ASSERT_EQ(m.append(25, "101.75", 6), RT_NO_ERROR);
  ASSERT_EQ(m.append(RT_FidField(30, RT_Field("300", 3))), RT_NO_ERROR);
  EXPECT_EQ(m.count(), 3);
  EXPECT_EQ(value_of(m, 25), "101.75");
  EXPECT_EQ(m.get(30).to_int(), 300);
  EXPECT_EQ(fid_order(m), (std::vector<int>{22, 25, 30}));
  EXPECT_EQ(m.size(), expected_size(m));

  int fid = -1, n = -1;
  const char* p = m.get_by_idx(1, &fid, &n);
  EXPECT_EQ(fid, 25);
  EXPECT_EQ(std::string(p, n), "101.75");
  for (int idx : {-1, 3, 1000}) {
    p = m.get_by_idx(idx, &fid, &n);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(fid, 0);
    EXPECT_EQ(n, 0);
  }

  // Absent FIDs, including ones sharing an index slot or a Bloom bit with a
  // present one, are null with length 0.
  for (int absent : {0, 23, 22 + 512, 22 + 64, 65535}) {
    n = -1;
    EXPECT_EQ(m.get(absent, &n), nullptr) << absent;
    EXPECT_EQ(n, 0);
    EXPECT_FALSE(m.exists(absent));
    EXPECT_FALSE(static_cast<bool>(m.get(absent)));
  }

  RT_Message::const_iterator it = m.begin();
  EXPECT_EQ((it++)->fid, 22);
  EXPECT_EQ((*it).fid, 25);
  EXPECT_EQ((++it)->data.to_string(), "300");
  EXPECT_TRUE(++it == m.end());
}

TEST(Message, ZeroLengthValueIsPresent) {
  RT_Message m;
  ASSERT_EQ(m.append(7, "", 0), RT_NO_ERROR);
  ASSERT_EQ(m.append(8, RT_Field()), RT_NO_ERROR);  // null pointer with size 0
  for (int fid : {7, 8}) {
    int n = -1;
    EXPECT_TRUE(m.exists(fid));
    EXPECT_NE(m.get(fid, &n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(static_cast<bool>(m.get(fid)));
    EXPECT_TRUE(m.get(fid).empty());
  }
  EXPECT_EQ(m.size(), 11u + 2 * 3);
}

// FIDs 1 and 513 share index slot 1 and Bloom bit 1.
TEST(Message, FidsSharingASlotAreBothFound) {
  for (int erased : {1, 513}) {
    RT_Message m;
    ASSERT_EQ(m.append(1, "one"), RT_NO_ERROR);
    ASSERT_EQ(m.append(513, "five13"), RT_NO_ERROR);
    ASSERT_EQ(m.append(65, "sixty5"), RT_NO_ERROR);  // Bloom bit 1 as well
    EXPECT_EQ(value_of(m, 1), "one");
    EXPECT_EQ(value_of(m, 513), "five13");
    EXPECT_EQ(value_of(m, 65), "sixty5");
    m.erase(erased);
    const int other = erased == 1 ? 513 : 1;
    EXPECT_FALSE(m.exists(erased));
    EXPECT_EQ(value_of(m, other), other == 1 ? "one" : "five13");
    EXPECT_EQ(value_of(m, 65), "sixty5");
    EXPECT_EQ(m.count(), 2);
    // Setting the survivor in place and by growth still finds it.
    EXPECT_EQ(m.set(other, "z"), RT_NO_ERROR);
    EXPECT_EQ(value_of(m, other), "z");
    EXPECT_EQ(m.set(other, "a longer value"), RT_NO_ERROR);
    EXPECT_EQ(value_of(m, other), "a longer value");
    EXPECT_EQ(m.size(), expected_size(m));
  }
}

TEST(Message, RepeatedFidLookupPrefersIndexedThenFirst) {
  RT_Message m;
  m.append(5, "a");
  m.append(5, "b");
  EXPECT_EQ(value_of(m, 5), "b");  // the slot names the last one appended
  m.erase(5);                      // removes that one
  EXPECT_EQ(m.count(), 1);
  EXPECT_EQ(value_of(m, 5), "a");
}

TEST(Message, SetShorterStaysInPlace) {
  RT_Message m;
  m.set_key("K");
  m.append(1, "aaaa");
  m.append(2, "bbbbbbbb");
  m.append(3, "cc");
  const size_t before = m.size();
  ASSERT_EQ(m.set(2, "xyz"), RT_NO_ERROR);
  EXPECT_EQ(fid_order(m), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(m.count(), 3);
  EXPECT_EQ(value_of(m, 2), "xyz");
  EXPECT_EQ(value_of(m, 3), "cc");
  EXPECT_EQ(m.size(), before - 5);
  EXPECT_EQ(m.size(), expected_size(m));

  // Growing back within the old slot stays in place too.
  ASSERT_EQ(m.set(2, "12345678"), RT_NO_ERROR);
  EXPECT_EQ(fid_order(m), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(m.size(), before);

  // Shrink, then erase the shrunk field and a neighbour: the dead bytes go
  // with the slot and the size stays the encoded length.
  m.set(2, "");
  m.set(1, "a");
  EXPECT_EQ(m.size(), expected_size(m));
  m.erase(2);
  EXPECT_EQ(m.size(), expected_size(m));
  EXPECT_EQ(value_of(m, 1), "a");
  EXPECT_EQ(value_of(m, 3), "cc");
  m.erase(1);
  EXPECT_EQ(value_of(m, 3), "cc");
  EXPECT_EQ(m.size(), expected_size(m));
}

TEST(Message, SetLongerMovesToTheEnd) {
  RT_Message m;
  m.append(1, "aa");
  m.append(2, "bb");
  m.append(3, "cc");
  ASSERT_EQ(m.set(1, "aaa"), RT_NO_ERROR);
  EXPECT_EQ(fid_order(m), (std::vector<int>{2, 3, 1}));
  EXPECT_EQ(value_of(m, 1), "aaa");
  EXPECT_EQ(value_of(m, 2), "bb");
  EXPECT_EQ(value_of(m, 3), "cc");
  EXPECT_EQ(m.count(), 3);
  EXPECT_EQ(m.size(), expected_size(m));

  // An absent FID is appended; a null field erases.
  ASSERT_EQ(m.set(9, RT_Field("n", 1)), RT_NO_ERROR);
  EXPECT_EQ(fid_order(m), (std::vector<int>{2, 3, 1, 9}));
  ASSERT_EQ(m.set(RT_FidField(2, RT_Field())), RT_NO_ERROR);
  EXPECT_EQ(fid_order(m), (std::vector<int>{3, 1, 9}));
  ASSERT_EQ(m.set(77, RT_Field()), RT_NO_ERROR);  // erasing an absent field
  EXPECT_EQ(m.count(), 3);
}

TEST(Message, FieldLimit) {
  RT_Message m;
  for (int i = 0; i < MAX_FIDS_PER_MSG; ++i) ASSERT_EQ(m.append(1000 + i, "v"), RT_NO_ERROR) << i;
  const size_t full = m.size();
  EXPECT_EQ(m.append(5, "w"), RT_E_LIMIT);
  EXPECT_EQ(m.set(5, "w"), RT_E_LIMIT);
  EXPECT_EQ(m.count(), MAX_FIDS_PER_MSG);
  EXPECT_EQ(m.size(), full);
  EXPECT_FALSE(m.exists(5));
  // Present fields can still change on a full message, also by growing.
  EXPECT_EQ(m.set(1000, "grown value"), RT_NO_ERROR);
  EXPECT_EQ(value_of(m, 1000), "grown value");
  EXPECT_EQ(m.count(), MAX_FIDS_PER_MSG);
  EXPECT_EQ(fid_order(m).back(), 1000);
  EXPECT_EQ(value_of(m, 1001), "v");
}

TEST(Message, LargestMessage) {
  RT_Message m;
  const std::string big(MAX_FID_VALUE_SZ, 'q');
  for (int i = 0; i < MAX_FIDS_PER_MSG; ++i) ASSERT_EQ(m.append(i * 257, big.c_str()), RT_NO_ERROR);
  EXPECT_EQ(m.size(), 11u + 254 * (2 + 256));
  for (int i = 0; i < MAX_FIDS_PER_MSG; ++i) ASSERT_EQ(value_of(m, i * 257), big);
  m.erase(0);
  EXPECT_EQ(value_of(m, 253 * 257), big);
}

TEST(Message, InvalidArgumentsChangeNothing) {
  RT_Message m;
  m.append(1, "one");
  const std::string long_value(MAX_FID_VALUE_SZ + 1, 'x');
  const struct {
    int fid;
    const char* value;
    int size;
  } bad[] = {{-1, "v", 1}, {MAX_FID + 1, "v", 1}, {2, long_value.c_str(), MAX_FID_VALUE_SZ + 1},
             {2, "v", -1}, {2, nullptr, 3},       {1, long_value.c_str(), MAX_FID_VALUE_SZ + 1}};
  for (const auto& b : bad) {
    EXPECT_EQ(m.append(b.fid, b.value, b.size), RT_E_INVAL) << b.fid;
    EXPECT_EQ(m.set(b.fid, b.value, b.size), RT_E_INVAL) << b.fid;
  }
  EXPECT_EQ(m.append(2, long_value.c_str()), RT_E_INVAL);
  EXPECT_EQ(m.set(1, long_value.c_str()), RT_E_INVAL);
  EXPECT_EQ(m.append(2, static_cast<const char*>(nullptr)), RT_E_INVAL);
  EXPECT_EQ(m.set(1, static_cast<const char*>(nullptr)), RT_E_INVAL);
  EXPECT_EQ(m.set(MAX_FID + 1, RT_Field()), RT_E_INVAL);
  EXPECT_EQ(m.count(), 1);
  EXPECT_EQ(value_of(m, 1), "one");
  EXPECT_EQ(m.size(), 11u + 2 + 4);
  // The boundaries themselves are accepted.
  EXPECT_EQ(m.append(MAX_FID, long_value.c_str(), MAX_FID_VALUE_SZ), RT_NO_ERROR);
  EXPECT_EQ(m.set(0, "", 0), RT_NO_ERROR);
}

// A value taken from the message itself survives buffer growth and moves.
TEST(Message, ValueFromTheSameMessage) {
  RT_Message m;
  const std::string v200(200, 'a');
  m.append(1, v200.c_str());
  m.append(2, "b");
  m.append(3, "c");
  // Each append of 201 bytes eventually outgrows the 512-byte buffer.
  for (int fid = 10; fid < 16; ++fid) ASSERT_EQ(m.append(fid, m.get(1)), RT_NO_ERROR);
  for (int fid = 10; fid < 16; ++fid) EXPECT_EQ(value_of(m, fid), v200);
  // Growing field 2 with the value of field 1 erases field 2 first (moving
  // field 1's bytes) and then appends.
  ASSERT_EQ(m.set(2, m.get(1)), RT_NO_ERROR);
  EXPECT_EQ(value_of(m, 2), v200);
  // In place, from an overlapping position in its own slot.
  ASSERT_EQ(m.set(1, m.get(1).ptr + 1, 150), RT_NO_ERROR);
  EXPECT_EQ(value_of(m, 1), std::string(150, 'a'));
  EXPECT_EQ(m.size(), expected_size(m));
}

TEST(Message, CopiesAreIndependent) {
  RT_Message src;
  src.set_key("KEY").set_tag(4);
  src.set_error(RT_E_NOT_FOUND, "gone").set_stale(true, "late").set_permissions("p1");
  src.append(1, "one");
  src.append(513, "five13");
  src.set(1, "1");  // dead space in the copy's source

  RT_Message copy(src);
  RT_Message assigned;
  assigned.append(99, "old");
  assigned = src;
  for (RT_Message* m : {&copy, &assigned}) {
    EXPECT_STREQ(m->get_key(), "KEY");
    EXPECT_EQ(m->get_tag(), 4);
    EXPECT_EQ(m->get_error(), RT_E_NOT_FOUND);
    EXPECT_STREQ(m->get_error_description(), "gone");
    EXPECT_STREQ(m->get_stale_reason(), "late");
    EXPECT_STREQ(m->get_permissions(), "p1");
    EXPECT_EQ(fid_order(*m), (std::vector<int>{1, 513}));
    EXPECT_FALSE(m->exists(99));
    EXPECT_EQ(m->size(), src.size());

    m->set(1, "changed");
    m->erase(513);
    m->append(2, "two");
    m->set_key("OTHER").set_tag(8);
    m->set_stale(false, "");
  }
  EXPECT_STREQ(src.get_key(), "KEY");
  EXPECT_EQ(src.get_tag(), 4);
  EXPECT_TRUE(src.is_stale());
  EXPECT_EQ(fid_order(src), (std::vector<int>{1, 513}));
  EXPECT_EQ(value_of(src, 1), "1");
  EXPECT_EQ(value_of(src, 513), "five13");

  RT_Message& self = assigned;
  assigned = self;
  EXPECT_EQ(value_of(assigned, 1), "changed");
}

TEST(Message, ResetKeepsFieldsClearRemovesThem) {
  RT_Message m;
  m.set_key("K").set_tag(3);
  m.set_error(RT_E_ACCESS, "denied").set_response_flag(true);
  m.append(1, "one");
  m.append(2, "two");
  m.reset();
  EXPECT_EQ(m.get_tag(), 0);
  EXPECT_EQ(m.get_error(), RT_NO_ERROR);
  EXPECT_STREQ(m.get_key(), "");
  EXPECT_TRUE(m.is_update() && !m.is_error() && !m.is_closed());
  EXPECT_EQ(m.count(), 2);
  EXPECT_EQ(m.size(), 11u + 2 * (2 + 4));
  m.clear();
  EXPECT_EQ(m.count(), 0);
  EXPECT_EQ(m.size(), 11u);
  EXPECT_FALSE(m.exists(1));
  EXPECT_FALSE(m.exists(2));
  // The message is fully usable after clearing.
  m.append(2, "again");
  EXPECT_EQ(value_of(m, 2), "again");
  EXPECT_FALSE(m.exists(1));
}

// Random edits against a plain list of (FID, value) pairs.
TEST(Message, RandomEditsMatchAModel) {
  std::mt19937 rng(12345);
  RT_Message m;
  std::vector<std::pair<int, std::string>> model;
  auto model_find = [&](int fid) {
    for (size_t i = 0; i < model.size(); ++i)
      if (model[i].first == fid) return static_cast<int>(i);
    return -1;
  };
  for (int step = 0; step < 20000; ++step) {
    // FIDs collide in both the index (mod 512) and the Bloom filter (mod 64).
    const int fid = static_cast<int>(rng() % 8) * 512 + static_cast<int>(rng() % 4) * 64 +
                    static_cast<int>(rng() % 3);
    const std::string value(rng() % 40, static_cast<char>('a' + step % 26));
    const int op = static_cast<int>(rng() % 10);
    const int at = model_find(fid);
    if (op < 5) {
      const rt_errno rc = m.set(fid, value.data(), static_cast<int>(value.size()));
      ASSERT_EQ(rc, at >= 0 || model.size() < 254 ? RT_NO_ERROR : RT_E_LIMIT);
    } else if (op < 8) {
      m.erase(fid);
      if (at >= 0) model.erase(model.begin() + at);
      continue;
    } else if (op == 8 && step % 100 == 0) {
      m.clear();
      model.clear();
      continue;
    } else {
      continue;
    }
    // Mirror set: in place keeps the position, growth moves to the end. The
    // message decides which by its slot size, so follow its field order.
    if (at >= 0) {
      model[at].second = value;
      const std::vector<int> order = fid_order(m);
      if (order.back() == fid && at != static_cast<int>(model.size()) - 1) {
        std::pair<int, std::string> moved = model[at];
        model.erase(model.begin() + at);
        model.push_back(moved);
      }
    } else {
      model.emplace_back(fid, value);
    }
    ASSERT_EQ(m.count(), static_cast<int>(model.size()));
    for (size_t i = 0; i < model.size(); ++i) {
      const RT_FidField f = m.get_by_idx(static_cast<int>(i));
      ASSERT_EQ(f.fid, model[i].first) << "step " << step;
      ASSERT_EQ(f.data.to_string(), model[i].second) << "step " << step;
      ASSERT_EQ(value_of(m, model[i].first), model[i].second) << "step " << step;
    }
    ASSERT_EQ(m.size(), expected_size(m));
  }
}

class MessagePrinting : public ::testing::Test {
 protected:
  void TearDown() override {
    RT_FieldMap::destroy(const_cast<RT_FieldMap*>(RT_FieldMap::get_default()));
  }
};

TEST_F(MessagePrinting, NamesFromTheDefaultDictionary) {
  RT_Message m;
  m.set_key("IBM.N").set_tag(7);
  m.set_response_flag(true).set_complete(true);
  m.append(22, "101.5");
  m.append(9999, "");

  std::ostringstream no_map;
  no_map << m;
  EXPECT_EQ(no_map.str(),
            "  T:7 K:IBM.N E:0 Flags:RSP:CMP:AGB\n"
            "  NumFids = 2 Size = 27\n"
            "     {NOMAP}[22] Val = 101.5 Size=5\n"
            "     {NOMAP}[9999] Val = {} Size = 0\n");

  const char dict[] = "<Fields>\n<Field name=\"BID\" id=\"22\" type=\"4\"/>\n</Fields>\n";
  ASSERT_NE(RT_FieldMap::create(dict, sizeof dict - 1, true), nullptr);
  m.set_error(RT_E_NOT_FOUND, "no such record").set_stale(true, "feed down");
  m.set_permissions("P").set_aggregated(true);
  std::ostringstream named;
  named << m;
  // Size: 27, error 4 + 14, stale reason 2 + 9, permissions 2 + 1.
  EXPECT_EQ(named.str(),
            "  T:7 K:IBM.N E:-53 Flags:RSP:ERR:FIN:CMP:STL:PER:AGB:AGD\n"
            "  error desc-> no such record\n"
            "  stale reas-> feed down\n"
            "  permissions-> P\n"
            "  NumFids = 2 Size = 59\n"
            "     BID[22] Val = 101.5 Size=5\n"
            "     ????[9999] Val = {} Size = 0\n");
}

}  // namespace
}  // namespace KVN
