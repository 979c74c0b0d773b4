// Base64 encoding with and without line breaks, and the tolerant decoder with
// the warnings it logs for malformed text.
#include <tavo/Logger>
#include <tavo/utils/string>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace KVN {
namespace {

std::string encode(const std::string& in, bool lines) {
  std::vector<char> out(base64_encode_size(in.size(), lines));
  const size_t n = base64_encode(out.data(), in.data(), in.size(), lines);
  EXPECT_EQ(out.size(), n) << "encode_size disagrees for " << in.size() << " bytes";
  return std::string(out.data(), n);
}

// Decodes into a destination of exactly the documented size, so that the
// sanitizers see any write past it.
std::string decode(const std::string& in, size_t* count) {
  std::vector<char> out((in.size() + 3) / 4 * 3);
  *count = base64_decode(out.data(), in.data(), in.size());
  EXPECT_LE(*count, out.size());
  return std::string(out.data(), *count);
}

std::string pattern_bytes(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>((i * 167 + 13) & 0xFF);
  return s;
}

TEST(Base64Test, Vectors) {
  const struct {
    std::string plain;
    const char* coded;
  } cases[] = {
      {"", ""},
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xff\xfe\xfd", "//79"},
      {std::string("\0\x10\x83", 3), "ABCD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.coded, encode(c.plain, false)) << c.coded;
    EXPECT_EQ(c.coded, encode(c.plain, true)) << c.coded;
    size_t n = 99;
    EXPECT_EQ(c.plain, decode(c.coded, &n)) << c.coded;
    EXPECT_EQ(c.plain.size(), n);
  }
}

TEST(Base64Test, EncodeSize) {
  EXPECT_EQ(0u, base64_encode_size(0, false));
  EXPECT_EQ(0u, base64_encode_size(0, true));  // no underflow in the line count
  EXPECT_EQ(4u, base64_encode_size(1, true));
  EXPECT_EQ(76u, base64_encode_size(57, true));  // one full line, no break
  EXPECT_EQ(82u, base64_encode_size(58, true));
  EXPECT_EQ(82u, base64_encode_size(60, true));
  EXPECT_EQ(80u, base64_encode_size(60, false));
  EXPECT_EQ(154u, base64_encode_size(114, true));
  EXPECT_EQ(160u, base64_encode_size(115, true));
}

TEST(Base64Test, LineBreaks) {
  const std::string sixty(60, 'x');
  const std::string coded = encode(sixty, true);
  ASSERT_EQ(82u, coded.size());
  EXPECT_EQ("\r\n", coded.substr(76, 2));
  EXPECT_EQ(encode(sixty, false), coded.substr(0, 76) + coded.substr(78));

  // Every line but the last holds exactly 76 characters; nothing trails.
  const std::string big = encode(pattern_bytes(500), true);
  std::vector<std::string> lines;
  for (size_t pos = 0;;) {
    const size_t br = big.find("\r\n", pos);
    lines.push_back(big.substr(pos, br == std::string::npos ? std::string::npos : br - pos));
    if (br == std::string::npos) break;
    pos = br + 2;
  }
  ASSERT_EQ(9u, lines.size());  // 668 characters
  for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(76u, lines[i].size()) << i;
  EXPECT_EQ(668u - 8 * 76, lines.back().size());
}

TEST(Base64Test, RoundTripEveryLength) {
  for (size_t len = 0; len <= 300; ++len) {
    const std::string plain = pattern_bytes(len);
    for (bool lines : {false, true}) {
      size_t n = 0;
      EXPECT_EQ(plain, decode(encode(plain, lines), &n)) << len << " bytes, lines " << lines;
      EXPECT_EQ(len, n);
    }
  }
}

TEST(Base64Test, DecoderSkipsBytesOutsideTheAlphabet) {
  const char* texts[] = {"YW\r\nJj", "Y W J j",    "\tYWJj",        "Y*W-J_j",
                         "YWJj\r\n", "YWJj\n\n\n", "\r\nYWJj \r\n", "Y\x80W\xffJ\x01j"};
  for (const char* t : texts) {
    size_t n = 0;
    EXPECT_EQ("abc", decode(t, &n)) << t;
    EXPECT_EQ(3u, n) << t;
  }
  // Line breaks inside the padding too.
  size_t n = 0;
  EXPECT_EQ("a", decode("YQ\r\n=\r\n=\r\n", &n));
  EXPECT_EQ(1u, n);
  // Only skipped bytes: an empty text, not a malformed one.
  EXPECT_EQ("", decode(" \r\n\t", &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(0u, base64_decode(nullptr, nullptr, 0));
}

// Sends the logger to a temporary file for the test and reads back what each
// decode wrote.
class Base64LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kvn_base64_log_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    m_path = name;
    m_level = Logger::log_level(TAVO_LOG_ALL);
    ASSERT_EQ(0, Logger::open(m_path, false));
    m_seen = read_all().size();
  }
  void TearDown() override {
    Logger::close();
    Logger::log_level(m_level);
    std::remove(m_path.c_str());
    std::remove((m_path + ".old").c_str());
  }

  std::string read_all() const {
    std::ifstream in(m_path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }
  // What the logger wrote since the last call.
  std::string new_lines() {
    const std::string all = read_all();
    const std::string fresh = all.substr(m_seen);
    m_seen = all.size();
    return fresh;
  }

  std::string m_path;
  LogLevel m_level = TAVO_LOG_ALL;
  size_t m_seen = 0;
};

TEST_F(Base64LogTest, MalformedInputs) {
  const std::string len = "failing early on length\n";
  const std::string pad = "failing early on '='\n";
  const std::string two = "there should be two '=' at end, not one\n";
  const struct {
    const char* text;
    const char* decoded;
    std::string warning;  // empty: none
  } cases[] = {
      {"YQ=", "", len},
      {"YQ=x", "a", two},
      {"YQ=\n", "a", two},  // something follows the '=' but it is not a second one
      {"YQ==", "a", ""},
      {"YWI=", "ab", ""},
      {"YQ==YWJj", "a", ""},  // text after the padding is ignored
      {"YWI=garbage", "ab", ""},
      {"=QQQ", "", pad},
      {"Y=QQ", "", pad},
      {"YWJj=", "", pad},
      {"Y", "", len},
      {"Y\r\n", "", len},
      {"YW", "", len},
      {"YW\n", "", len},
      {"YWJ", "", len},
      {"YWJ\r\n", "", len},
      {"YWJjYQ", "", len},  // a bad last group loses the whole result
      {"", "", ""},
  };
  for (const auto& c : cases) {
    size_t n = 99;
    EXPECT_EQ(c.decoded, decode(c.text, &n)) << c.text;
    EXPECT_EQ(std::strlen(c.decoded), n) << c.text;
    const std::string logged = new_lines();
    if (c.warning.empty()) {
      EXPECT_EQ("", logged) << c.text;
      continue;
    }
    // One WARN line carrying the text.
    EXPECT_EQ(0u, logged.rfind("WARN ", 0)) << c.text << ": " << logged;
    ASSERT_GE(logged.size(), c.warning.size()) << c.text;
    EXPECT_EQ(c.warning, logged.substr(logged.size() - c.warning.size())) << c.text;
    EXPECT_EQ(logged.find('\n'), logged.size() - 1) << c.text << ": " << logged;
  }
}

}  // namespace
}  // namespace KVN
