// Subject matching, URL escaping and splitting, white space, splitting and
// joining, conversions and the small character helpers.
#include <tavo/utils/hash>
#include <tavo/utils/string>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace KVN {
namespace {

struct SubjectCase {
  const char* actual;
  const char* pattern;
  bool match;
};

TEST(SubjectTest, SubjcmpTable) {
  const SubjectCase cases[] = {
      {"A.B.C", "A.B.C", true},
      {"A.B.C", "A.B.D", false},
      {"A.B", "A.BB", false},
      {"A.BB", "A.B", false},
      {"a.b", "A.B", false},
      {"A.B.C", "A.*.C", true},
      {"A.B", "A.*.C", false},
      {"A.B.C.D", "A.*.C", false},
      {"A.B", "A.>", true},
      {"A.B.C", "A.>", true},
      {"A", "A.>", false},
      {"A", "A.+", true},
      {"A.B", "A.+", true},
      {"A.B.C", "A.+", true},
      {"B", "A.+", false},
      {"X", "*", true},
      {"X.Y", "*", false},
      {"X", "*.*", false},
      {"X.Y", "*.*", true},
      {"X.Y", "*.+", true},
      {"X", "*.+", true},
      {"", ">", true},
      {"", "+", true},
      {"A.B.C", ">", true},
      {"A.B.C", "+", true},
      {"", "", true},
      {"A", "", false},
      {"", "A", false},
      {"", "*", true},
      // Only the first character of a wildcard element counts.
      {"A.B", "A.*xyz", true},
      {"A.B.C", "A.>xyz", true},
      // Nothing after a '+' is examined when the subject has run out.
      {"A", "A.+.X", true},
      {"A.B", "A.+.X", false},
      // Empty elements are elements like any other.
      {"A..C", "A..C", true},
      {"A..C", "A.*.C", true},
      {"A.", "A.", true},
      {"A.", "A", false},
      {"A", "A.", false},
      {".", "*.*", true},
  };
  for (const SubjectCase& c : cases) {
    EXPECT_EQ(c.match, subjcmp(c.actual, c.pattern))
        << "subject '" << c.actual << "' pattern '" << c.pattern << "'";
    EXPECT_EQ(c.match, subjcmp(std::string(c.actual), std::string(c.pattern)))
        << "string form: subject '" << c.actual << "' pattern '" << c.pattern << "'";
  }
}

TEST(SubjectTest, NullTextsReadAsEmpty) {
  EXPECT_TRUE(subjcmp(nullptr, nullptr));
  EXPECT_TRUE(subjcmp(nullptr, ">"));
  EXPECT_FALSE(subjcmp("A", nullptr));
  EXPECT_TRUE(multisubjcmp(nullptr, nullptr));
  EXPECT_FALSE(multisubjcmp("A", nullptr));
}

TEST(SubjectTest, MultisubjcmpTable) {
  const SubjectCase cases[] = {
      {"X.Y", "A.B|X.*", true},
      {"X.Y", "A.B|", false},
      {"", "A|", true},
      {"", "|A", true},
      {"", "A|B", false},
      {"A.B", "A.B", true},
      {"A.B", "C|D|A.>", true},
      {"A.B", "C|D|E", false},
      {"A.B", "||", false},
      {"", "||", true},
      {"Q", "A|B|Q", true},
      // The '|' ends a pattern: 'A.' must not pick up the next one.
      {"A.B", "A.|B", false},
      {"A", "A.+|Z", true},
  };
  for (const SubjectCase& c : cases) {
    EXPECT_EQ(c.match, multisubjcmp(c.actual, c.pattern))
        << "subject '" << c.actual << "' list '" << c.pattern << "'";
  }
}

TEST(UrlTest, EscapeTable) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"a b&c", "a%20b%26c"},
      {"AZaz09!()*-._`~", "AZaz09!()*-._`~"},
      {"", ""},
      {"/?#=%+", "%2F%3F%23%3D%25%2B"},
      {std::string("\0\xff", 2), "%00%FF"},
      {"\xe9t\xe9", "%E9t%E9"},
  };
  for (const auto& c : cases) {
    std::string s = c.in;
    std::string& r = escape_url(s);
    EXPECT_EQ(&r, &s);
    EXPECT_EQ(c.out, s);
  }
}

TEST(UrlTest, EscapeThenUnescapeRestoresEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  std::string s = all;
  escape_url(s);
  EXPECT_EQ(s.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!()*-._`~%"),
            std::string::npos);
  EXPECT_EQ(256u, unescape_url(s));
  EXPECT_EQ(all, s);
}

TEST(UrlTest, UnescapeTable) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"a+b%41%4", "a bA%4"},
      {"%", "%"},
      {"x%", "x%"},
      {"%4", "%4"},
      {"%41", "A"},
      {"%4a%4A", "JJ"},
      {"100%25", "100%"},
      {"++", "  "},
      {"", ""},
      // Unchecked digits: 'Z' - 55 = 35, 16 * 35 + 35 = 595, 595 mod 256 = 83.
      {"%ZZ", "S"},
      // (37 - 48) * 16 + 4 = -172, 84 after wrapping: 'T'.
      {"%%41", "T1"},
      {"%00x", std::string("\0x", 2)},
  };
  for (const auto& c : cases) {
    std::string s = c.in;
    EXPECT_EQ(c.out.size(), unescape_url(s)) << c.in;
    EXPECT_EQ(c.out, s) << c.in;

    // The NUL-terminated form decodes alike and terminates the result.
    std::vector<char> buf(c.in.begin(), c.in.end());
    buf.push_back('\0');
    const size_t n = unescape_url(buf.data());
    EXPECT_EQ(c.out, std::string(buf.data(), n)) << c.in;
    EXPECT_EQ('\0', buf[n]) << c.in;
  }
}

TEST(UrlTest, UnescapeCharBufferStopsAtItsEnd) {
  // A '%' right before the terminator must not look past it.
  char one[] = "%";
  EXPECT_EQ(1u, unescape_url(one));
  EXPECT_STREQ("%", one);
  char two[] = "ab%4";
  EXPECT_EQ(4u, unescape_url(two));
  EXPECT_STREQ("ab%4", two);
  char shrink[] = "%41%42c";
  EXPECT_EQ(3u, unescape_url(shrink));
  EXPECT_STREQ("ABc", shrink);
  EXPECT_EQ(0u, unescape_url(static_cast<char*>(nullptr)));
}

TEST(UrlTest, UnescapeFoldsCase) {
  std::string s = "Ab%43+d";
  EXPECT_EQ(5u, unescape_url(s, true));
  EXPECT_EQ("abc d", s);
  s = "Ab%63+d";
  EXPECT_EQ(5u, unescape_url(s, false));
  EXPECT_EQ("ABC D", s);
}

TEST(UrlTest, HextointTable) {
  const struct {
    char h1, h2;
    unsigned value;
  } cases[] = {
      {'4', '1', 0x41},       {'f', 'F', 0xFF}, {'a', '0', 0xA0},
      {'0', '0', 0},          {'9', 'a', 0x9A}, {'G', '0', 0},  // (71 - 55) * 16 = 256 wraps to 0
      {':', '0', 0xA0},                                         // code 58 counts as 58 - 48 = 10
      {'@', '1', 1},           // code 64 counts as 16: 16 * 16 + 1 wraps to 1
      {'\xff', '\x80', 0xC9},  // bytes count unsigned: 16 * 200 + 73 = 3273
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, hextoint(c.h1, c.h2)) << c.h1 << c.h2;
}

struct UrlParts {
  const char* url;
  const char* protocol;
  const char* host_port;
  const char* user;
  const char* passwd;
  const char* path;
  const char* query;
  const char* fragment;
};

TEST(UrlTest, SplitUrlTable) {
  const UrlParts cases[] = {
      {"sx://u:p@h:1/a?b=1#F%41", "sx", "h:1", "u", "p", "/a", "b=1", "FA"},
      {"a:b", "a", "", "", "", "b", "", ""},
      {"/x:y", "", "", "", "", "/x:y", "", ""},
      {"", "", "", "", "", "", "", ""},
      {"http://host", "http", "host", "", "", "", "", ""},
      {"http://h%3A1?q#f", "http", "h:1", "", "", "", "q", "f"},
      {"x://us%40er@h", "x", "h", "us@er", "", "", "", ""},
      {"x://a:b:c@d@e/", "x", "d@e", "a", "b:c", "/", "", ""},
      {"x://:@h", "x", "h", "", "", "", "", ""},
      {"//h/p", "", "h", "", "", "/p", "", ""},
      {"p%41:rest", "pA", "", "", "", "rest", "", ""},
      {"x:?q%20#a#b%2", "x", "", "", "", "", "q%20", "a#b%2"},
      {"q?a=1", "", "", "", "", "q", "a=1", ""},
      {"x:/p%20q#", "x", "", "", "", "/p%20q", "", ""},
      {"x://h#f?g", "x", "h", "", "", "", "", "f?g"},
      {"x:", "x", "", "", "", "", "", ""},
      {"x:/", "x", "", "", "", "/", "", ""},
      {"x://", "x", "", "", "", "", "", ""},
  };
  for (const UrlParts& c : cases) {
    // Outputs are replaced, not appended to.
    std::string protocol = "junk", host = "junk", user = "junk", passwd = "junk", path = "junk",
                query = "junk", fragment = "junk";
    split_url(c.url, &protocol, &host, &user, &passwd, &path, &query, &fragment);
    EXPECT_EQ(c.protocol, protocol) << c.url;
    EXPECT_EQ(c.host_port, host) << c.url;
    EXPECT_EQ(c.user, user) << c.url;
    EXPECT_EQ(c.passwd, passwd) << c.url;
    EXPECT_EQ(c.path, path) << c.url;
    EXPECT_EQ(c.query, query) << c.url;
    EXPECT_EQ(c.fragment, fragment) << c.url;
  }
}

TEST(UrlTest, SplitUrlOutputsMayBeNull) {
  std::string path, fragment;
  split_url("sx://u:p@h:1/a?b#c", nullptr, nullptr, nullptr, nullptr, &path, nullptr, &fragment);
  EXPECT_EQ("/a", path);
  EXPECT_EQ("c", fragment);
  split_url(nullptr, nullptr, nullptr, nullptr, nullptr, &path, nullptr, nullptr);
  EXPECT_EQ("", path);
  split_uri("sx://h/a", nullptr, nullptr, nullptr, nullptr, &path);
  EXPECT_EQ("/a", path);
}

TEST(UrlTest, SplitUriKeepsTheRestAsPath) {
  const UrlParts cases[] = {
      {"sx://u:p@h:1/a?b=1#F%41", "sx", "h:1", "u", "p", "/a?b=1#F%41", nullptr, nullptr},
      {"a:b?c", "a", "", "", "", "b?c", nullptr, nullptr},
      {"//h?q", "", "h", "", "", "?q", nullptr, nullptr},
      {"/x:y", "", "", "", "", "/x:y", nullptr, nullptr},
      {"", "", "", "", "", "", nullptr, nullptr},
  };
  for (const UrlParts& c : cases) {
    std::string protocol = "junk", host = "junk", user = "junk", passwd = "junk", path = "junk";
    split_uri(c.url, &protocol, &host, &user, &passwd, &path);
    EXPECT_EQ(c.protocol, protocol) << c.url;
    EXPECT_EQ(c.host_port, host) << c.url;
    EXPECT_EQ(c.user, user) << c.url;
    EXPECT_EQ(c.passwd, passwd) << c.url;
    EXPECT_EQ(c.path, path) << c.url;
  }
}

std::vector<std::string> path_segments(const char* path) {
  std::vector<std::string> out;
  std::string seg;
  for (const char* p = path; (p = parse_path_variable(p, &seg)) != nullptr;) {
    out.push_back(seg);
    if (out.size() > 100) break;  // a loop that does not advance
  }
  return out;
}

TEST(UrlTest, PathVariables) {
  EXPECT_EQ((std::vector<std::string>{"", "a b", "c"}), path_segments("/a%20b/c/"));
  EXPECT_EQ((std::vector<std::string>{"x"}), path_segments("x"));
  EXPECT_EQ((std::vector<std::string>{"a", "", "b%"}), path_segments("a//b%"));
  EXPECT_EQ(std::vector<std::string>{}, path_segments(""));
  EXPECT_EQ(nullptr, parse_path_variable(nullptr, nullptr));

  const char text[] = "ab/cd";
  EXPECT_EQ(text + 3, parse_path_variable(text, nullptr));
  EXPECT_EQ(text + 5, parse_path_variable(text + 3, nullptr));
}

typedef std::pair<std::string, std::string> NameValue;

std::vector<NameValue> query_pairs(const std::string& q) {
  std::vector<NameValue> out;
  const char* end = q.data() + q.size();
  const char *nb, *ne, *vb, *ve;
  for (const char* p = q.data(); (p = parse_query_variable(p, end, &nb, &ne, &vb, &ve));) {
    EXPECT_TRUE(nb <= ne && ne <= vb && vb <= ve && ve <= end);
    out.emplace_back(std::string(nb, ne), std::string(vb, ve));
    if (out.size() > 100) break;  // a loop that does not advance
  }
  return out;
}

TEST(UrlTest, QueryVariables) {
  EXPECT_EQ((std::vector<NameValue>{{"a", "1"}, {"b", ""}, {"c", ""}}), query_pairs("a=1&b&c="));
  EXPECT_EQ((std::vector<NameValue>{{"x", "1=2"}, {"", ""}, {"y", ""}}), query_pairs("x=1=2&&y"));
  EXPECT_EQ((std::vector<NameValue>{{"a", "1"}}), query_pairs("a=1&"));
  EXPECT_EQ((std::vector<NameValue>{{"", "v"}}), query_pairs("=v"));
  EXPECT_EQ(std::vector<NameValue>{}, query_pairs(""));

  // Without '=' both value pointers sit at the pair's end.
  const char q[] = "name&z";
  const char *nb, *ne, *vb, *ve;
  EXPECT_EQ(q + 5, parse_query_variable(q, q + 6, &nb, &ne, &vb, &ve));
  EXPECT_EQ(q, nb);
  EXPECT_EQ(q + 4, ne);
  EXPECT_EQ(q + 4, vb);
  EXPECT_EQ(q + 4, ve);
  // The last pair returns end; only an empty rest returns null.
  EXPECT_EQ(q + 6, parse_query_variable(q + 5, q + 6, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(nullptr, parse_query_variable(q + 6, q + 6, &nb, &ne, &vb, &ve));
  EXPECT_EQ(nullptr, parse_query_variable(nullptr, nullptr, &nb, &ne, &vb, &ve));
}

struct SplitCase {
  std::string src;
  char delim;
  bool trim_ws;
  bool skip_empty;
  std::vector<std::string> pieces;
};

TEST(SplitTest, Table) {
  const SplitCase cases[] = {
      {"a,,b,", ',', false, false, {"a", "", "b", ""}},
      {"a,,b,", ',', false, true, {"a", "b"}},
      {" a , b ", ',', false, false, {" a ", " b "}},
      {" a , b ", ',', true, false, {"a", "b"}},
      {" , \t", ',', true, false, {"", ""}},
      {" , \t", ',', true, true, {}},
      {" , \t", ',', false, true, {" ", " \t"}},
      {"", ',', false, false, {""}},
      {"", ',', false, true, {}},
      {"abc", ',', false, false, {"abc"}},
      {"a b  c", ' ', false, true, {"a", "b", "c"}},
  };
  for (const SplitCase& c : cases) {
    // Pieces are appended after what the vector already holds.
    std::vector<std::string> got{"keep"};
    EXPECT_EQ(c.pieces.size(), split(&got, c.src, c.delim, c.trim_ws, c.skip_empty)) << c.src;
    std::vector<std::string> want{"keep"};
    want.insert(want.end(), c.pieces.begin(), c.pieces.end());
    EXPECT_EQ(want, got) << c.src;

    std::vector<std::string> got_c;
    EXPECT_EQ(c.pieces.size(), split(&got_c, c.src.c_str(), c.delim, c.trim_ws, c.skip_empty));
    EXPECT_EQ(c.pieces, got_c) << c.src;
  }
}

TEST(SplitTest, StringFormKeepsEmbeddedNul) {
  std::vector<std::string> got;
  EXPECT_EQ(2u, split(&got, std::string("a\0b,c", 5), ',', false, false));
  EXPECT_EQ((std::vector<std::string>{std::string("a\0b", 3), "c"}), got);
  EXPECT_EQ(0u, split(nullptr, "a,b", ',', false, false));
}

TEST(SplitTest, Join) {
  EXPECT_EQ("", join({}, ','));
  EXPECT_EQ("a", join({"a"}, ','));
  EXPECT_EQ("a,,c", join({"a", "", "c"}, ','));
  std::string dest = "x=";
  join(&dest, {"1", "2"}, ';');
  EXPECT_EQ("x=1;2", dest);
  join(&dest, {}, ';');
  EXPECT_EQ("x=1;2", dest);
  // split and join are inverse for a delimiter without trimming or skipping.
  std::vector<std::string> pieces;
  split(&pieces, ",a,,b,", ',', false, false);
  EXPECT_EQ(",a,,b,", join(pieces, ','));
}

TEST(WhiteSpaceTest, TrimAndScan) {
  std::string s = " \t a b \r\n";
  EXPECT_EQ("a b \r\n", ltrim(static_cast<const std::string&>(s)));
  EXPECT_EQ(" \t a b", rtrim(static_cast<const std::string&>(s)));
  EXPECT_EQ("a b", trim(static_cast<const std::string&>(s)));
  EXPECT_EQ(" \t a b \r\n", s);  // the copying forms leave it alone
  EXPECT_EQ(&s, &trim(s));
  EXPECT_EQ("a b", s);
  std::string blank = " \t\n";
  EXPECT_EQ("", trim(blank));
  std::string high = "\xe9 ";
  EXPECT_EQ("\xe9", rtrim(high));

  const char text[] = "  ab cd";
  EXPECT_EQ(text + 2, skip_ws(text));
  EXPECT_EQ(text + 4, first_ws(text + 2));
  EXPECT_EQ(text + 7, first_ws(text + 5));
  EXPECT_EQ(2u, rtrim_size("ab \t", 4));
  EXPECT_EQ(4u, rtrim_size("ab c  ", 6));
  EXPECT_EQ(3u, rtrim_size("abc  \n", 3));  // only the first size bytes count
  EXPECT_EQ(0u, rtrim_size("   ", 3));
  EXPECT_EQ(0u, rtrim_size(nullptr, 5));
}

TEST(WhiteSpaceTest, CaseFolding) {
  std::string s = "MiXed 1\xe9";
  EXPECT_EQ("mixed 1\xe9", to_lower(static_cast<const std::string&>(s)));
  EXPECT_EQ("MIXED 1\xe9", to_upper(static_cast<const std::string&>(s)));
  EXPECT_EQ(&s, &to_lower(s));
  EXPECT_EQ("mixed 1\xe9", s);
  EXPECT_EQ("MIXED 1\xe9", to_upper(s));
}

TEST(ConversionTest, FromStringBool) {
  const struct {
    const char* text;
    bool value;
  } cases[] = {
      {"Yes", true}, {"YES", true},   {"true", true},   {"TrUe", true},
      {"no", false}, {"No", false},   {"FALSE", false}, {"0", false},
      {"2", true},   {"-1", true},    {" 7", true},     {"maybe", false},
      {"", false},   {"yes ", false}, {"truex", false}, {"10abc", true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, from_string<bool>(c.text)) << c.text;
}

TEST(ConversionTest, FromStringValues) {
  EXPECT_EQ(42, from_string<int>("42"));
  EXPECT_EQ(-5, from_string<int>("  -5 tail"));
  EXPECT_EQ(0, from_string<int>("x1"));
  EXPECT_EQ(0, from_string<int>(""));
  EXPECT_EQ(7u, from_string<unsigned>("7"));
  EXPECT_DOUBLE_EQ(2.5, from_string<double>("2.5"));
  EXPECT_DOUBLE_EQ(0.0, from_string<double>("abc"));
  EXPECT_EQ(123456789012LL, from_string<long long>("123456789012"));
  EXPECT_EQ(" a b ", from_string<std::string>(" a b "));
}

TEST(ConversionTest, ToString) {
  EXPECT_EQ("42", to_string(42));
  EXPECT_EQ("-1.5", to_string(-1.5));
  EXPECT_EQ("abc", to_string("abc"));
  EXPECT_EQ("a b", to_string(std::string("a b")));
  const char* null_text = nullptr;
  EXPECT_EQ("", to_string(null_text));
  char buf[] = "mutable";
  char* p = buf;
  EXPECT_EQ("mutable", to_string(p));
  EXPECT_EQ(7, from_string<int>(to_string(7)));
}

TEST(NumberTest, StrtouiBaseSelection) {
  const struct {
    const char* text;
    int base;
    uint64_t value;
    size_t consumed;
  } cases[] = {
      {"0x1F", 0, 31, 4},   {"  +0X10", 0, 16, 7}, {" 010", 0, 10, 4},
      {"12abc", 10, 12, 2}, {"ff", 16, 255, 2},    {"777", 8, 511, 3},
      {"", 0, 0, 0},        {"zz", 0, 0, 0},       {"0x100000000", 0, 0x100000000ULL, 11},
  };
  for (const auto& c : cases) {
    char* end = nullptr;
    EXPECT_EQ(c.value, strtoui64(c.text, &end, c.base)) << c.text;
    EXPECT_EQ(c.consumed, static_cast<size_t>(end - c.text)) << c.text;
    EXPECT_EQ(static_cast<uint32_t>(c.value), strtoui32(c.text, &end, c.base)) << c.text;
  }
  EXPECT_EQ(UINT32_MAX, strtoui32("-1", nullptr, 0));
  char* end = reinterpret_cast<char*>(1);
  EXPECT_EQ(0u, strtoui32(nullptr, &end, 0));
  EXPECT_EQ(nullptr, end);
}

TEST(NumberTest, GetBase) {
  EXPECT_EQ(16, get_base("0x1"));
  EXPECT_EQ(16, get_base("-0X"));
  EXPECT_EQ(16, get_base("+0x"));
  EXPECT_EQ(10, get_base("0"));
  EXPECT_EQ(10, get_base("010"));
  EXPECT_EQ(10, get_base(" 0x1"));  // the caller skips the white space
  EXPECT_EQ(10, get_base("+-0x1"));
  EXPECT_EQ(10, get_base(""));
}

TEST(NumberTest, LibraryNamesInNamespace) {
  EXPECT_EQ(0, KVN::strcasecmp("AbC", "aBc"));
  EXPECT_LT(KVN::strcasecmp("abc", "abd"), 0);
  EXPECT_EQ(0, KVN::strncasecmp("ABCx", "abcy", 3));
  EXPECT_NE(0, KVN::strncasecmp("ABCx", "abcy", 4));
  EXPECT_EQ(0, KVN::ffs(0));
  EXPECT_EQ(4, KVN::ffs(8));
  EXPECT_EQ(32, KVN::ffs(INT_MIN));
}

TEST(PathTest, Basename) {
  const struct {
    const char* path;
    const char* base;
  } cases[] = {
      {"../dir/file.txt", "file.txt"},
      {"C:file", "file"},
      {"a\\b\\c.cpp", "c.cpp"},
      {"/abs/path/x.h", "x.h"},
      {"plain", "plain"},
      {".hidden", "hidden"},
      {"dir/", ""},
      {"", ""},
      {"...", ""},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.base, get_basename(c.path)) << c.path;
  EXPECT_STREQ("", get_basename(nullptr));
}

TEST(PathTest, MemOverlap) {
  char b[16] = {};
  EXPECT_FALSE(mem_overlap(b, b + 4, 4));
  EXPECT_TRUE(mem_overlap(b, b + 3, 4));
  EXPECT_FALSE(mem_overlap(b + 4, b, 4));
  EXPECT_TRUE(mem_overlap(b + 3, b, 4));
  EXPECT_TRUE(mem_overlap(b, b, 1));
  EXPECT_FALSE(mem_overlap(b, b, 0));
}

TEST(HashTest, MultiplyByFive) {
  EXPECT_EQ(0u, hash_string(std::string()));
  EXPECT_EQ(7u, hash_string(std::string(), 7));
  EXPECT_EQ(97u * 5 + 98, hash_string(std::string("ab")));
  // The start value continues a hash.
  EXPECT_EQ(hash_string(std::string("abc")),
            hash_string(std::string("c"), hash_string(std::string("ab"))));
  // Bytes count as signed chars: 0xFF adds -1.
  EXPECT_EQ(static_cast<size_t>(-1), hash_string(std::string("\xff")));
  EXPECT_EQ(static_cast<size_t>(5 * 97 - 1), hash_string(std::string("a\xff")));
  // The same text hashes alike in any character type.
  EXPECT_EQ(hash_string(std::string("Field_1")), hash_string(std::wstring(L"Field_1")));
  // Wraps instead of overflowing.
  EXPECT_EQ(static_cast<size_t>(SIZE_MAX) * 5 + 'a', hash_string(std::string("a"), SIZE_MAX));
}

}  // namespace
}  // namespace KVN
