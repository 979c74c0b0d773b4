// DynBuffer growth and front consumption; TmpBuffer inline and heap storage.
#include <tavo/DynBuffer>
#include <tavo/TmpBuffer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace KVN;

namespace {

std::vector<unsigned char> pattern(size_t n, unsigned char seed) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed + i * 7);
  return v;
}

std::string content(const DynBuffer& b) { return std::string(b.begin(), b.end()); }

}  // namespace

TEST(DynBuffer, ConsumedFrontIsReusedBeforeGrowing) {
  DynBuffer b(512);
  auto first = pattern(500, 1);
  b.append(first.data(), first.size());
  b.erase(400);
  EXPECT_EQ(b.size(), 100u);
  EXPECT_EQ(b[0], first[400]);

  auto second = pattern(300, 9);
  b.append(second.data(), second.size());
  EXPECT_EQ(b.capacity(), 512u);
  ASSERT_EQ(b.size(), 400u);
  EXPECT_EQ(std::string(first.begin() + 400, first.end()) +
                std::string(second.begin(), second.end()),
            content(b));

  auto third = pattern(200, 3);
  b.append(third.data(), third.size());
  EXPECT_EQ(b.capacity(), 1024u);
  EXPECT_EQ(b.size(), 600u);
  EXPECT_EQ(b[599], third[199]);
}

TEST(DynBuffer, EraseKeepsPointerArithmeticOnly) {
  DynBuffer b(64);
  b.append("abcdefgh", 8);
  const unsigned char* start = b.data();
  b.erase(3);
  EXPECT_EQ(b.data(), start + 3);
  EXPECT_STREQ(b.c_str(), "defgh");
  b.erase(b.size());
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.data(), start);  // back at the block start
  EXPECT_EQ(b.capacity(), 64u);
  // The whole capacity is usable again without growing.
  b.reserve_write(64);
  EXPECT_EQ(b.capacity(), 64u);
}

TEST(DynBuffer, ReserveGrowsToAtLeastDouble) {
  struct Case {
    size_t request, capacity;
  } cases[] = {{2000, 2000}, {600, 1024}, {512, 512}, {10, 512}};
  for (const Case& c : cases) {
    DynBuffer b(512);
    b.reserve(c.request);
    EXPECT_EQ(b.capacity(), c.capacity) << "reserve(" << c.request << ")";
  }
}

TEST(DynBuffer, CStrTerminatesWithoutChangingContent) {
  DynBuffer b(4);
  b.append("wxyz", 4);  // exactly the capacity: the spare byte takes the NUL
  EXPECT_STREQ(b.c_str(), "wxyz");
  EXPECT_EQ(b.size(), 4u);
  EXPECT_EQ(b.capacity(), 4u);
}

TEST(DynBuffer, CopyAssignSwapAreIndependent) {
  DynBuffer a(16);
  a.append("0123456789", 10);
  a.erase(4);
  DynBuffer copy(a);
  EXPECT_EQ(content(copy), "456789");
  EXPECT_EQ(copy.capacity(), a.capacity());
  copy[0] = 'X';
  EXPECT_EQ(content(a), "456789");

  DynBuffer small(2);
  small = a;
  EXPECT_EQ(content(small), "456789");
  DynBuffer& alias = small;
  small = alias;  // self-assignment keeps the content
  EXPECT_EQ(content(small), "456789");

  DynBuffer other(8);
  other.append("zz", 2);
  other.swap(a);
  EXPECT_EQ(content(other), "456789");
  EXPECT_EQ(content(a), "zz");
}

TEST(DynBuffer, AssignAndAppendFromOwnContent) {
  DynBuffer b(8);
  b.append("abcdefgh", 8);
  b.append(b.data() + 2, 4);  // forces growth while the source is inside
  EXPECT_EQ(content(b), "abcdefghcdef");
  b.assign(b.data() + 8, 4);
  EXPECT_EQ(content(b), "cdef");
}

TEST(DynBuffer, WriteReserveCommit) {
  DynBuffer b(4);
  b.append("ab", 2);
  unsigned char* w = b.get_data_for_writing(10);
  memcpy(w, "0123456789", 10);
  b.commit_write(10);
  EXPECT_EQ(content(b), "ab0123456789");
  b.resize(3);
  EXPECT_EQ(content(b), "ab0");
}

TEST(TmpBuffer, MovesToHeapWhenOutgrown) {
  TmpBuffer<256> t;
  EXPECT_TRUE(t.is_inline());
  auto data = pattern(300, 5);
  t.append(data.data(), 200);
  EXPECT_TRUE(t.is_inline());
  EXPECT_EQ(t.capacity(), 256u);
  t.append(data.data() + 200, 100);
  EXPECT_FALSE(t.is_inline());
  EXPECT_EQ(t.capacity(), 512u);
  ASSERT_EQ(t.size(), 300u);
  EXPECT_TRUE(std::equal(t.begin(), t.end(), data.begin()));
  // Growing again frees the first heap block (ASan reports a leak otherwise).
  t.reserve(5000);
  EXPECT_EQ(t.capacity(), 5000u);
  EXPECT_TRUE(std::equal(t.begin(), t.end(), data.begin()));
}

TEST(TmpBuffer, BytesWritesAndCStr) {
  TmpBuffer<4> t;
  t.append(static_cast<unsigned char>('a'));
  t.append("bcd", 3);
  EXPECT_STREQ(t.c_str(), "abcd");
  unsigned char* w = t.reserve_write(3);
  memcpy(w, "efg", 3);
  t.commit_write(3);
  EXPECT_STREQ(t.c_str(), "abcdefg");
  t.append(t.data(), 7);  // source inside the buffer while it grows
  EXPECT_STREQ(t.c_str(), "abcdefgabcdefg");
  t.resize(2);
  EXPECT_STREQ(t.c_str(), "ab");
}
