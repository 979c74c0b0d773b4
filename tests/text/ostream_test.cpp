// Diagnostic formatters: hex dumps on streams and stdio files, time stamps,
// argument vectors, bracket escaping and wide text on narrow streams.
#include <tavo/utils/ostream>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

namespace KVN {
namespace {

template <class T>
std::string narrow_out(const T& v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

// The wide stream output, which must be the narrow one widened.
template <class T>
std::string wide_out(const T& v) {
  std::wostringstream os;
  os << v;
  std::string r;
  for (wchar_t c : os.str()) r += static_cast<char>(c);
  return r;
}

std::string bytes_from(unsigned first, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(first + i);
  return s;
}

TEST(HexDumpTest, ShortLineAtOffset) {
  const std::string want =
      "0010    41 42 43  " + std::string(13 * 3, ' ') + "  |ABC" + std::string(13, ' ') + "|\n";
  EXPECT_EQ(want, narrow_out(hex_dump("ABC", 3, 16)));
  EXPECT_EQ(want, wide_out(hex_dump("ABC", 3, 16)));
}

TEST(HexDumpTest, FullLineAndOneMore) {
  const std::string sixteen = bytes_from('A', 16);
  const std::string line1 =
      "0000    41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50   |ABCDEFGHIJKLMNOP|\n";
  // Offset 0 starts with a newline.
  EXPECT_EQ("\n" + line1, narrow_out(hex_dump(sixteen.data(), 16)));

  const std::string seventeen = sixteen + "Q";
  const std::string line2 =
      "0010    51  " + std::string(15 * 3, ' ') + "  |Q" + std::string(15, ' ') + "|\n";
  EXPECT_EQ("\n" + line1 + line2, narrow_out(hex_dump(seventeen.data(), 17)));
  EXPECT_EQ("\n" + line1 + line2, wide_out(hex_dump(seventeen.data(), 17)));
}

TEST(HexDumpTest, EveryLineLinesUp) {
  // Whatever the length, the text column sits in the same place on every
  // line and shows exactly the line's bytes.
  const std::string data = bytes_from('a', 26) + bytes_from('0', 10) + bytes_from('A', 26);
  for (size_t n = 1; n <= data.size(); ++n) {
    std::istringstream lines(narrow_out(hex_dump(data.data(), n, 0x20)));
    std::string line;
    size_t shown = 0;
    while (std::getline(lines, line)) {
      ASSERT_EQ(77u, line.size()) << n << ": '" << line << "'";
      EXPECT_EQ('|', line[59]) << n;
      EXPECT_EQ('|', line[76]) << n;
      const size_t here = std::min<size_t>(16, n - shown);
      EXPECT_EQ(data.substr(shown, here) + std::string(16 - here, ' '), line.substr(60, 16)) << n;
      char offset[8];
      std::snprintf(offset, sizeof offset, "%04zx", 0x20 + shown);
      EXPECT_EQ(offset, line.substr(0, 4)) << n;
      shown += here;
    }
    EXPECT_EQ(n, shown);
  }
}

TEST(HexDumpTest, MaxSizeAndText) {
  const std::string hundred(100, 'z');
  EXPECT_EQ(
      "0000    7a 7a 7a 7a  " + std::string(12 * 3, ' ') + "  |zzzz" + std::string(12, ' ') + "|\n",
      narrow_out(hex_dump(hundred.data(), 100, 0, 4)).substr(1));

  const char odd[] = {'\x00', '\x7f', '\x80', '\x1f', ' ', '~', '\xff', 'a'};
  // Exactly 8 bytes: the blank after the eighth is the only extra one, so
  // the text column stays in line with full lines.
  EXPECT_EQ("0001    00 7f 80 1f 20 7e ff 61  " + std::string(8 * 3, ' ') + "  |.... ~.a" +
                std::string(8, ' ') + "|\n",
            narrow_out(hex_dump(odd, 8, 1)));
}

TEST(HexDumpTest, EmptyAndNull) {
  EXPECT_EQ("\n", narrow_out(hex_dump("", 0)));
  EXPECT_EQ("", narrow_out(hex_dump("", 0, 5)));
  EXPECT_EQ("\n", narrow_out(hex_dump(nullptr, 10)));
}

TEST(HexDumpTest, StreamStateIsKept) {
  std::ostringstream os;
  os << std::uppercase << std::showbase << std::left << std::setfill('*') << std::setw(6);
  const auto flags = os.flags();
  os << hex_dump("\xab", 1, 0x1c);
  EXPECT_EQ(flags, os.flags());
  EXPECT_EQ('*', os.fill());
  EXPECT_EQ(6, os.width());
  os << 5;
  const std::string out = os.str();
  // Lower case without a base prefix inside the dump.
  EXPECT_EQ("001c    ab ", out.substr(0, 11));
  EXPECT_EQ("5*****", out.substr(out.size() - 6));
}

TEST(HexDumpTest, FileLayoutMatchesStream) {
  const std::string data = bytes_from(0x1e, 40);
  for (int start : {0, 0x30, 0x12345}) {
    FILE* fp = std::tmpfile();
    ASSERT_NE(nullptr, fp);
    EXPECT_EQ(0, hexdump_file(data.data(), static_cast<int>(data.size()), start, fp));
    std::rewind(fp);
    std::string got;
    for (int c; (c = std::fgetc(fp)) != EOF;) got += static_cast<char>(c);
    std::fclose(fp);
    std::string want = narrow_out(hex_dump(data.data(), data.size(), start));
    if (start == 0) want.erase(0, 1);  // no leading newline on a file
    EXPECT_EQ(want, got) << start;
  }

  FILE* fp = std::tmpfile();
  ASSERT_NE(nullptr, fp);
  EXPECT_EQ(0, hexdump_file("abc", -3, 0, fp));
  EXPECT_EQ(0L, std::ftell(fp));
  std::fclose(fp);
  EXPECT_EQ(EOF, hexdump_file("abc", 3, 0, nullptr));
}

class PrintTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    m_had_tz = tz != nullptr;
    if (tz) m_tz = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (m_had_tz)
      setenv("TZ", m_tz.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  bool m_had_tz = false;
  std::string m_tz;
};

TEST_F(PrintTimeTest, Formats) {
  const struct {
    sys_time_t t;
    int m;
    const char* text;
  } cases[] = {
      {0, -1, "01/01/70 00:00:00"},          {0, 5, "01/01/70 00:00:00.005"},
      {0, 0, "01/01/70 00:00:00.000"},       {1234567890, 999, "02/13/09 23:31:30.999"},
      {946684800, -1, "01/01/00 00:00:00"},  {-1, -1, "12/31/69 23:59:59"},
      {4102444799, -1, "12/31/99 23:59:59"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.text, narrow_out(print_time(c.t, c.m))) << c.t;
    EXPECT_EQ(c.text, wide_out(print_time(c.t, c.m))) << c.t;
  }
  EXPECT_EQ(-1, print_time(0).m);
  EXPECT_EQ("01/01/70 00:00:00", narrow_out(print_time(0)));
}

TEST_F(PrintTimeTest, OutOfCalendarRange) {
  // localtime cannot express this; the seconds are printed instead.
  const sys_time_t huge = std::numeric_limits<sys_time_t>::max();
  EXPECT_EQ(std::to_string(huge) + ".001", narrow_out(print_time(huge, 1)));
}

TEST(ArgsDumpTest, Layout) {
  const char* two[] = {"prog", "-v"};
  EXPECT_EQ(" argc:2 { {prog}, {-v} }", narrow_out(args_dump(2, two)));
  EXPECT_EQ(" argc:2 { {prog}, {-v} }", wide_out(args_dump(2, two)));
  EXPECT_EQ(" argc:0 {  }", narrow_out(args_dump(0, two)));
  EXPECT_EQ(" argc:1 { {prog} }", narrow_out(args_dump(1, two)));
  EXPECT_EQ(" argc:-1 {  }", narrow_out(args_dump(-1, two)));
  EXPECT_EQ(" argc:3 {  }", narrow_out(args_dump(3, nullptr)));
  const char* with_null[] = {"a", nullptr};
  EXPECT_EQ(" argc:2 { {a}, {} }", narrow_out(args_dump(2, with_null)));
  // main's own argument type converts.
  char p0[] = "x";
  char* argv[] = {p0, nullptr};
  EXPECT_EQ(" argc:1 { {x} }", narrow_out(args_dump(1, argv)));
}

TEST(EscapeContainerTest, Brackets) {
  std::ostringstream os;
  escape_container_string(os, "a[b]");
  EXPECT_EQ("a\\[b\\]", os.str());

  std::ostringstream all;
  escape_container_string(all, std::string("()[\\]{|}x\0y", 11));
  EXPECT_EQ(std::string("\\(\\)\\[\\\\\\]\\{\\|\\}x\0y", 19), all.str());

  std::wostringstream wos;
  escape_container_string(wos, L"{k|\u00e9}");
  EXPECT_EQ(L"\\{k\\|\u00e9\\}", wos.str());
}

TEST(TavoOStreamTest, WideTextOnNarrowStream) {
  std::ostringstream os;
  Detail::TavoOStream ts(os);
  const wchar_t* null_text = nullptr;
  wchar_t buf[] = L"mut";
  ts << L"abc" << std::wstring(L" def") << L'!' << null_text << buf << " n=" << 5 << ' ' << 'c'
     << std::endl;
  EXPECT_EQ("abc def!mut n=5 c\n", os.str());
  EXPECT_EQ(&os, &ts.stream());
}

TEST(TavoOStreamTest, UnencodableCharactersAreLeftOut) {
  // The classic locale encodes ASCII only.
  std::ostringstream os;
  os.imbue(std::locale::classic());
  Detail::TavoOStream ts(os);
  ts << L"a\u00e9b" << L'\u20ac' << std::wstring(L"c\u4e2d");
  EXPECT_EQ("abc", os.str());

  // Long text crosses the conversion buffer, with characters dropped on the
  // way.
  std::wstring mixed;
  for (int i = 0; i < 700; ++i) mixed += i % 2 ? L'\u00e9' : static_cast<wchar_t>(L'a' + i % 26);
  std::ostringstream os2;
  os2.imbue(std::locale::classic());
  Detail::TavoOStream(os2) << mixed;
  std::string want;
  for (int i = 0; i < 700; i += 2) want += static_cast<char>('a' + i % 26);
  EXPECT_EQ(want, os2.str());
}

TEST(TavoOStreamTest, ConvertsToTheStreamEncoding) {
  std::locale utf8;
  try {
    utf8 = std::locale("C.UTF-8");
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << "no C.UTF-8 locale on this system";
  }
  std::ostringstream os;
  os.imbue(utf8);
  Detail::TavoOStream ts(os);
  std::wstring long_text(300, L'\u00e9');  // 600 bytes: several buffers
  ts << L"a\u00e9" << L'\u20ac' << long_text;
  std::string want = "a\xc3\xa9\xe2\x82\xac";
  for (int i = 0; i < 300; ++i) want += "\xc3\xa9";
  EXPECT_EQ(want, os.str());
}

}  // namespace
}  // namespace KVN
