// Decimal parsers, itoa and the RT_Field conversions built on them.
#include <tavo/detail/RT_Field>
#include <tavo/utils/numeric>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

namespace KVN {
namespace {

// The parsers take pointer and length: every case is also run from a copy
// followed by digits that must not be read.
std::string padded(const std::string& text) {
  return text + "987";
}

struct U32Case {
  const char* text;
  uint32_t value;
};

TEST(FastAtoui32, Table) {
  const U32Case cases[] = {
      {"", 0},
      {"0000", 0},
      {"000123", 123},
      {"  42", 42},
      {" 0 0 7", 7},
      {"7", 7},
      {"123456789", 123456789},
      {"999999999", 999999999},
      {"1234567890", 1234567890u},
      {"4294967295", 4294967295u},
      {"4294967296", 0},  // modulo 2^32
      {"4294967297", 1},
      {"0000000004294967295", 4294967295u},
      // Characters are not validated: each adds (code - '0') x 10^position.
      {"1a", 59},
      {"12:30", 13030},
  };
  for (const U32Case& c : cases) {
    const std::string s = padded(c.text);
    EXPECT_EQ(fast_atoui32(s.data(), std::strlen(c.text)), c.value) << '"' << c.text << '"';
  }
}

struct U64Case {
  const char* text;
  uint64_t value;
};

TEST(FastAtoui64, Table) {
  const U64Case cases[] = {
      {"", 0},
      {"0", 0},
      {"  00018", 18},
      {"4294967296", 4294967296ull},
      {"9999999999999", 9999999999999ull},    // longest fast path
      {"10000000000000", 10000000000000ull},  // first library path
      {"18446744073709551615", 18446744073709551615ull},
  };
  for (const U64Case& c : cases) {
    const std::string s = padded(c.text);
    EXPECT_EQ(fast_atoui64(s.data(), std::strlen(c.text)), c.value) << '"' << c.text << '"';
  }
}

struct I32Case {
  const char* text;
  int32_t value;
};

TEST(FastAtoi32, Table) {
  const I32Case cases[] = {
      {"", 0},
      {"   ", 0},
      {"-2147483648", std::numeric_limits<int32_t>::min()},
      {"2147483647", 2147483647},
      {"+15", 15},
      {"  -8", -8},
      {"- 7", -7},
      {"-0", 0},
      {"-", 0},
      {"+", 0},
      {"-000301", -301},
  };
  for (const I32Case& c : cases) {
    const std::string s = padded(c.text);
    EXPECT_EQ(fast_atoi32(s.data(), std::strlen(c.text)), c.value) << '"' << c.text << '"';
  }
}

TEST(FastAtoi64, Table) {
  const struct {
    const char* text;
    int64_t value;
  } cases[] = {
      {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
      {"9223372036854775807", std::numeric_limits<int64_t>::max()},
      {" +1234567890123", 1234567890123ll},
      {"-42", -42},
      {"", 0},
  };
  for (const auto& c : cases) {
    const std::string s = padded(c.text);
    EXPECT_EQ(fast_atoi64(s.data(), std::strlen(c.text)), c.value) << '"' << c.text << '"';
  }
}

TEST(FastAtof, Table) {
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"", 0.0},
      {"101.25", 101.25},
      {"-0.5", -0.5},
      {".5", 0.5},
      {"-.5", -0.5},
      {"+2.5", 2.5},
      {"7", 7.0},
      {"-12", -12.0},
      {"1.05", 1.05},  // the divisor follows the digit count, not the value
      {"1.50", 1.5},
      {"5.", 5.0},
      {"0.000000001", 1e-9},           // nine fraction digits: still the fast path
      {"3.0000000001", 3.0000000001},  // ten: strtod
      {"123456789.123456789", 123456789.123456789},
      // More integer digits than 32 bits hold are read exactly, not wrapped.
      {"5000000000", 5000000000.0},
      {"12345678901.5", 12345678901.5},
      {"-2147483648", -2147483648.0},
      {"0000000000000012.5", 12.5},
  };
  for (const auto& c : cases) {
    const std::string s = padded(c.text);
    EXPECT_DOUBLE_EQ(fast_atof(s.data(), std::strlen(c.text)), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(fast_atof(nullptr, 0), 0.0);
}

// Texts longer than the conversion buffers stay inside them.
TEST(FastParsers, OverlongTextsAreBounded) {
  const std::string digits(400, '9');
  EXPECT_EQ(fast_atoui32(digits.data(), digits.size()), std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(fast_atoui64(digits.data(), digits.size()), std::numeric_limits<uint64_t>::max());
  const std::string frac = "1." + std::string(300, '5');
  EXPECT_NEAR(fast_atof(frac.data(), frac.size()), 1.5555555555, 1e-9);
}

TEST(StrTo, NullPointerIsZero) {
  EXPECT_EQ(str_to_int(nullptr, 5), 0);
  EXPECT_EQ(str_to_uint(nullptr, 5), 0u);
  EXPECT_EQ(str_to_int64(nullptr, 5), 0);
  EXPECT_EQ(str_to_uint64(nullptr, 5), 0u);
  EXPECT_EQ(str_to_double(nullptr, 5), 0.0);
  // A negative size reads nothing.
  EXPECT_EQ(str_to_int("12", -1), 0);
  EXPECT_EQ(str_to_int("-12x", 3), -12);
}

TEST(Itoa, Table) {
  char buf[24];
  const struct {
    uint64_t num;
    const char* text;
  } u64[] = {{0, "0"},
             {9, "9"},
             {10, "10"},
             {99, "99"},
             {100, "100"},
             {999, "999"},
             {1000, "1000"},
             {4294967295u, "4294967295"},
             {18446744073709551615ull, "18446744073709551615"}};
  for (const auto& c : u64) {
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(itoa(buf, c.num), std::strlen(c.text));
    EXPECT_STREQ(buf, c.text);
    if (c.num <= std::numeric_limits<uint32_t>::max()) {
      std::memset(buf, 'x', sizeof buf);
      EXPECT_EQ(itoa(buf, static_cast<uint32_t>(c.num)), std::strlen(c.text));
      EXPECT_STREQ(buf, c.text);
    }
  }
  const struct {
    int num;
    const char* text;
  } i32[] = {{0, "0"},
             {-42, "-42"},
             {7, "7"},
             {-1000, "-1000"},
             {std::numeric_limits<int>::min(), "-2147483648"},
             {std::numeric_limits<int>::max(), "2147483647"}};
  for (const auto& c : i32) {
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(itoa(buf, c.num), std::strlen(c.text));
    EXPECT_STREQ(buf, c.text);
  }
}

// itoa and the parsers agree over a spread of values.
TEST(Itoa, RoundTripsThroughParsers) {
  char buf[24];
  for (int64_t v = -3000000000ll; v <= 3000000000ll; v += 12345677) {
    if (v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max()) {
      const size_t n = itoa(buf, static_cast<int>(v));
      EXPECT_EQ(fast_atoi32(buf, n), v);
    }
    const uint64_t u = static_cast<uint64_t>(v) * 7919;
    EXPECT_EQ(fast_atoui64(buf, itoa(buf, u)), u);
  }
}

TEST(RTField, Conversions) {
  const char text[] = "-101.25|";
  const RT_Field f(text, 7);
  EXPECT_TRUE(static_cast<bool>(f));
  EXPECT_FALSE(f.empty());
  EXPECT_EQ(f.to_string(), "-101.25");
  EXPECT_DOUBLE_EQ(f.to_double(), -101.25);
  const RT_Field n(text, 4);  // "-101"
  EXPECT_EQ(n.to_int(), -101);
  EXPECT_EQ(n.to_int64(), -101);
  const RT_Field u(text + 1, 3);
  EXPECT_EQ(u.to_uint(), 101u);
  EXPECT_EQ(u.to_uint64(), 101u);

  const RT_Field absent;
  EXPECT_FALSE(static_cast<bool>(absent));
  EXPECT_TRUE(absent.empty());
  EXPECT_EQ(absent.to_string(), "");
  EXPECT_EQ(absent.to_int(), 0);
  EXPECT_EQ(absent.to_double(), 0.0);

  const RT_Field zero_length(text, 0);  // present but empty
  EXPECT_TRUE(static_cast<bool>(zero_length));
  EXPECT_TRUE(zero_length.empty());
}

TEST(RTField, Printing) {
  const struct {
    RT_Field f;
    const char* printed;
  } cases[] = {{RT_Field(), "Val = {#NF#} Size=0"},
               {RT_Field("abc", 0), "Val = {} Size = 0"},
               {RT_Field("101.25xyz", 6), "Val = 101.25 Size=6"}};
  for (const auto& c : cases) {
    std::ostringstream os;
    os << c.f;
    EXPECT_EQ(os.str(), c.printed);
  }
}

}  // namespace
}  // namespace KVN
