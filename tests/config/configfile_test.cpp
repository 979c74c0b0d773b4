// ConfigFile: the text format and its warnings, %NAME% expansion (from other
// parameters and the environment, cycles, unterminated references, the
// limits on nesting and growth), round trips through write and read,
// sources by URI, merging and the typed accessors.
#include <tavo/ConfigFile>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../logger/log_fixture.h"

namespace KVN {
namespace {

std::string dump(const ConfigFile& cfg) {
  std::ostringstream os;
  os << cfg;
  return os.str();
}

std::vector<std::string> keys(const ConfigFile& cfg) {
  return std::vector<std::string>(cfg.keys_begin(), cfg.keys_end());
}

class Config : public LogFixture {
 protected:
  // Parses text (without expansion) with the log going to a fresh file;
  // returns what was logged.
  std::string parse(ConfigFile& cfg, const std::string& text, bool expand = false) {
    const std::string log = path("log" + std::to_string(m_logs++));
    EXPECT_EQ(Logger::open(log, false), 0);
    std::istringstream in(text);
    EXPECT_EQ(cfg.read(in, false, expand), 0);
    Logger::close();
    return read_file(log);
  }

  std::string write_text(const std::string& name, const std::string& text) {
    const std::string p = path(name);
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

  int m_logs = 0;
};

TEST_F(Config, TextFormatCases) {
  struct Case {
    const char* what;
    std::string text;
    std::string want;     // the store as operator<< writes it, without its first line
    std::string warning;  // a text the log must contain, or empty for no warning at all
  };
  const Case cases[] = {
      {"values on the line and continuation lines", "A = \"1\" \"2\"\n  \"3\"\n", "  A = 1,2,3\n",
       ""},
      {"text outside quotes is no value", "B = x\n", "  B = \n",
       "ConfigFile:stream line: 1 Empty parameter name:B\n"},
      {"a parameter without value, reported when the next starts", "B =\nC = \"c\"\n",
       "  B = \n  C = c\n", "ConfigFile:stream line: 2 Empty parameter name:B\n"},
      {"a comment after the value", "K = \"a=b\" // note\n", "  K = a=b\n", ""},
      {"slashes inside quotes", "D = \"x//y\"\n", "  D = x//y\n", ""},
      {"a comment line", "// all comment\n   // indented\nA = \"1\"\n", "  A = 1\n", ""},
      {"'#' in the first column skips the line", "# E = \"1\"\n", "", ""},
      {"'#' after blanks is part of a name", "  # E = \"1\"\n", "  # E = 1\n", ""},
      {"a second definition keeps the first position", "F = \"1\"\nG = \"g\"\nF = \"2\" \"3\"\n",
       "  F = 2,3\n  G = g\n", "ConfigFile:stream line: 3 Duplicate paramater name F\n"},
      {"a second '='", "H = \"1\" = \"2\"\n", "  H = 1,2\n",
       "ConfigFile:stream line: 1 Only one '=' permitted per line\n"},
      {"a value line before any parameter", "\"orphan\"\nA = \"1\"\n", "  A = 1\n",
       "ConfigFile:streamline: 1 expected an '='\n"},
      {"an unclosed quote takes the rest of the line", "U = \"ab // c\n", "  U = ab // c\n",
       "ConfigFile:stream line: 1 multi-line string literals not allowed value: \"ab // c\n"},
      {"an empty name", " = \"v\"\n", "   = v\n", ""},
      {"an empty value", "V = \"\"\n", "  V = \n", ""},
      {"quoted '=' is no separator", "\"a=b\" = \"c\"\n", "  \"a=b\" = c\n", ""},
      {"blank lines and carriage returns", "\n  \t\nA = \"1\"\r\n\r\n\"2\"\r\n", "  A = 1,2\n", ""},
      {"no final line end", "A = \"1\"", "  A = 1\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigFile cfg;
    cfg.set("old", "gone");  // reading without append replaces the store
    const std::string log = parse(cfg, c.text);
    EXPECT_EQ(dump(cfg), "ConfigFile:\n" + c.want);
    if (c.warning.empty()) {
      EXPECT_EQ(log.find("WARN"), std::string::npos) << log;
    } else {
      EXPECT_NE(log.find("WARN"), std::string::npos) << log;
      EXPECT_NE(log.find(c.warning), std::string::npos) << log;
    }
  }
}

TEST_F(Config, ExpansionCases) {
  ASSERT_EQ(setenv("KVN_CFG_H", "/usr", 1), 0);
  ASSERT_EQ(unsetenv("KVN_CFG_UNSET"), 0);
  struct Case {
    const char* what;
    std::string text;
    std::string want;
    std::string error;  // a text the log must contain, or empty for no error
  };
  const Case cases[] = {
      {"from another parameter", "G = \"%H%/bin\"\nH = \"/opt\"\n", "  G = /opt/bin\n  H = /opt\n",
       ""},
      {"from the environment", "G = \"%KVN_CFG_H%/bin\"\n", "  G = /usr/bin\n", ""},
      {"a parameter wins over the environment", "G = \"%KVN_CFG_H%\"\nKVN_CFG_H = \"mine\"\n",
       "  G = mine\n  KVN_CFG_H = mine\n", ""},
      {"%% is one percent sign", "I = \"100%%\"\n", "  I = 100%\n", ""},
      {"a parameter referring to itself", "J = \"a%J%b\"\n", "  J = ab\n",
       "Cycle detected. Visited J twice in call stack.\n"},
      {"a cycle through another", "X = \"%Y%\"\nY = \"%X%\"\n", "  X = \n  Y = \n",
       "Cycle detected. Visited X twice in call stack.\n"},
      {"two references to a shared third are no cycle",
       "A = \"%B%-%C%\"\nB = \"%D%\"\nC = \"%D%\"\nD = \"d\"\n",
       "  A = d-d\n  B = d\n  C = d\n  D = d\n", ""},
      {"an unterminated reference stays", "U = \"%H%a%b\"\nH = \"h\"\n", "  U = ha%b\n  H = h\n",
       "Unterminated variable in U\n"},
      {"an unknown name is empty", "V = \"%KVN_CFG_UNSET%x\"\n", "  V = x\n",
       "Unknown variable: KVN_CFG_UNSET\n"},
      {"a reference gives the first value only", "M = \"%N%\"\nN = \"1\" \"2\"\n",
       "  M = 1\n  N = 1,2\n", ""},
      {"every value is expanded", "P = \"%Q%\" \"%Q%-2\"\nQ = \"q\"\n", "  P = q,q-2\n  Q = q\n",
       ""},
      {"inserted text is not searched again", "R = \"%S%\"\nS = \"%%T%%\"\n",
       "  R = %T%\n  S = %T%\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigFile cfg;
    const std::string log = parse(cfg, c.text, true);
    EXPECT_EQ(dump(cfg), "ConfigFile:\n" + c.want);
    if (c.error.empty()) {
      EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    } else {
      EXPECT_NE(log.find(c.error), std::string::npos) << log;
    }
  }
  unsetenv("KVN_CFG_H");
}

TEST_F(Config, DeepReferenceChainsStopAtTheNestingLimit) {
  std::string text;
  const int n = 300;
  for (int i = 0; i < n - 1; ++i)
    text += "A" + std::to_string(i) + " = \"%A" + std::to_string(i + 1) + "%\"\n";
  text += "A" + std::to_string(n - 1) + " = \"end\"\n";
  ConfigFile cfg;
  const std::string log = parse(cfg, text, true);
  EXPECT_NE(log.find("Variables nested too deeply at "), std::string::npos);
  EXPECT_EQ(cfg.get<std::string>("A0", "?"), "");
  EXPECT_EQ(cfg.get<std::string>("A256", "?"), "end");
  EXPECT_EQ(cfg.get<std::string>("A299", "?"), "end");
}

TEST_F(Config, ReferencesCannotGrowAValueWithoutBound) {
  // Each level holds ten references to the one below: 10^n characters.
  std::string text = "L0 = \"xxxxxxxxxx\"\n";
  for (int i = 1; i <= 7; ++i) {
    text += "L" + std::to_string(i) + " = \"";
    for (int k = 0; k < 10; ++k) text += "%L" + std::to_string(i - 1) + "%";
    text += "\"\n";
  }
  ConfigFile cfg;
  const std::string log = parse(cfg, text, true);
  EXPECT_NE(log.find("Expanded value too long in L6\n"), std::string::npos);
  EXPECT_EQ(cfg.get<std::string>("L5", "").size(), 1000000u);
  const std::string l6 = cfg.get<std::string>("L6", "");
  EXPECT_LE(l6.size(), (1u << 20) + 40);
  EXPECT_NE(l6.find("%L5%"), std::string::npos);  // the rest stays unexpanded
}

TEST_F(Config, WriteThenReadGivesTheSameStore) {
  ConfigFile cfg;
  cfg.set("alpha", "one");
  cfg.set("number", 42);
  cfg.set("ratio", 0.25);
  cfg.set("empty", "");
  cfg.set_all("multi", std::vector<std::string>{"a=b", "x//y", "# not a comment", " spaced ", ""});
  cfg.set("", "nameless");
  cfg.set("percent", "%NOT_EXPANDED%");
  cfg.set("long", std::string(100000, 'v'));
  const std::string file = path("out.cfg");
  ASSERT_EQ(cfg.write(file, false), 0);

  ConfigFile back;
  ASSERT_EQ(back.read(file, false, false), 0);
  EXPECT_EQ(dump(back), dump(cfg));
  EXPECT_EQ(keys(back), keys(cfg));

  // And once more from the written text, to rule out a lucky first pass.
  ASSERT_EQ(back.write(file, false), 0);
  ConfigFile again;
  ASSERT_EQ(again.read(file, false, false), 0);
  EXPECT_EQ(dump(again), dump(cfg));

  EXPECT_EQ(read_file(file).substr(0, 33), "alpha = \"one\"\nnumber = \"42\"\nratio");
}

TEST_F(Config, WriteAppendsOrReplaces) {
  ConfigFile a, b;
  a.set("A", "1");
  b.set("B", "2");
  const std::string file = path("both.cfg");
  ASSERT_EQ(a.write(file, false), 0);
  ASSERT_EQ(b.write(file, true), 0);
  EXPECT_EQ(read_file(file), "A = \"1\"\nB = \"2\"\n");
  ASSERT_EQ(b.write(file, false), 0);
  EXPECT_EQ(read_file(file), "B = \"2\"\n");

  ASSERT_EQ(Logger::open(path("log"), false), 0);
  EXPECT_EQ(a.write(path("no/such/dir.cfg"), false), ENOENT);
  Logger::close();
  EXPECT_NE(read_file(path("log")).find("Unable to open " + path("no/such/dir.cfg") + " err:2\n"),
            std::string::npos);
}

TEST_F(Config, SourcesByUri) {
  ASSERT_EQ(setenv("KVN_CFG_ROOT", "/srv", 1), 0);
  const std::string file = write_text("src.cfg", "P = \"%KVN_CFG_ROOT%/x\"\n");
  const std::string uris[] = {file, "file:" + file, "file://" + file};
  for (const std::string& uri : uris) {
    SCOPED_TRACE(uri);
    ConfigFile cfg;
    ASSERT_EQ(cfg.read(uri), 0);
    EXPECT_EQ(cfg.get<std::string>("P", ""), "/srv/x");
    ASSERT_EQ(cfg.read(uri, false, false), 0);
    EXPECT_EQ(cfg.get<std::string>("P", ""), "%KVN_CFG_ROOT%/x");
  }
  unsetenv("KVN_CFG_ROOT");

  struct Bad {
    std::string uri;
    int err;
    std::string log;
  };
  ASSERT_EQ(mkdir(path("dir").c_str(), 0755), 0);
  const Bad bad[] = {
      {path("missing.cfg"), ENOENT, "ConfigFile: cannot read " + path("missing.cfg") + " err:2\n"},
      {"file:" + path("dir"), EISDIR, "ConfigFile: cannot read " + path("dir")},
      {"https://host/cfg", EINVAL,
       "Config file does not know how to handle this protcol: https uri:https://host/cfg\n"},
      {"reg:Software/Feed", EINVAL, ""},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.uri);
    ConfigFile cfg;
    cfg.set("kept", "yes");
    ASSERT_EQ(Logger::open(path("log"), false), 0);
    EXPECT_EQ(cfg.read(b.uri), b.err);
    Logger::close();
    EXPECT_EQ(dump(cfg), "ConfigFile:\n  kept = yes\n");
    EXPECT_NE(read_file(path("log")).find(b.log), std::string::npos);
  }
  ConfigFile cfg;
  EXPECT_EQ(cfg.read(static_cast<const char*>(nullptr)), EINVAL);
}

TEST_F(Config, ReadingWithAppendMergesAndExpandsAcrossBoth) {
  ConfigFile cfg;
  cfg.set("BASE", "/opt");
  cfg.set("KEEP", "k");
  const std::string file = write_text("more.cfg", "BIN = \"%BASE%/bin\"\nKEEP = \"new\"\n");
  ASSERT_EQ(cfg.read(file, true, true), 0);
  EXPECT_EQ(dump(cfg), "ConfigFile:\n  BASE = /opt\n  KEEP = new\n  BIN = /opt/bin\n");
}

TEST_F(Config, VeryLongValuesAndLinesAreKept) {
  const std::string big(2 << 20, 'z');
  ConfigFile cfg;
  const std::string log = parse(cfg, "BIG = \"" + big + "\"\nNEXT = \"n\"\n");
  EXPECT_EQ(cfg.get<std::string>("BIG", ""), big);
  EXPECT_EQ(cfg.get<std::string>("NEXT", ""), "n");
  EXPECT_EQ(log.find("WARN"), std::string::npos);
}

TEST_F(Config, AppendWarnsAboutDuplicatesAndTakesTheOtherValues) {
  ConfigFile a, b;
  a.set("X", "1");
  a.set("Y", "%Z%");
  b.set("Z", "z");
  b.set_all("X", std::vector<int>{2, 3});
  ASSERT_EQ(Logger::open(path("log"), false), 0);
  a.append(b, true);
  Logger::close();
  EXPECT_EQ(dump(a), "ConfigFile:\n  X = 2,3\n  Y = z\n  Z = z\n");
  EXPECT_NE(read_file(path("log")).find("Duplicate paramater name X\n"), std::string::npos);
  EXPECT_EQ(read_file(path("log")).find("Duplicate paramater name Z"), std::string::npos);
}

TEST(ConfigAccessors, TypedGetSetAndKeys) {
  ConfigFile cfg;
  EXPECT_TRUE(cfg.empty());
  cfg.set("int", 17).set("neg", -4).set("dbl", 2.5).set("yes", "YES").set("text", "a b  c");
  cfg.set_all("list", std::vector<std::string>{"first", "second"});

  int i = 0;
  EXPECT_TRUE(cfg.get("int", &i));
  EXPECT_EQ(i, 17);
  EXPECT_EQ(cfg.get("neg", 0), -4);
  EXPECT_DOUBLE_EQ(cfg.get("dbl", 0.0), 2.5);
  EXPECT_TRUE(cfg.get("yes", false));
  EXPECT_EQ(cfg.get<std::string>("text", ""), "a b  c");
  EXPECT_EQ(cfg.get<std::string>("list", ""), "first");
  EXPECT_EQ(cfg.get("text", 5), 0);  // not a number

  i = 99;
  EXPECT_FALSE(cfg.get("absent", &i));
  EXPECT_EQ(i, 99);
  EXPECT_EQ(cfg.get<std::string>("absent", "dflt"), "dflt");
  cfg.set_all("none", std::vector<std::string>());
  EXPECT_TRUE(cfg.exists("none"));
  EXPECT_FALSE(cfg.get("none", &i));  // exists but has no value

  // Setting again keeps the first position.
  cfg.set("int", 18);
  EXPECT_EQ(keys(cfg),
            (std::vector<std::string>{"int", "neg", "dbl", "yes", "text", "list", "none"}));
  EXPECT_EQ(dump(cfg),
            "ConfigFile:\n  int = 18\n  neg = -4\n  dbl = 2.5\n  yes = YES\n  text = a b  c\n"
            "  list = first,second\n  none = \n");
  cfg.clear();
  EXPECT_TRUE(cfg.empty());
  EXPECT_EQ(cfg.keys_begin(), cfg.keys_end());
}

}  // namespace
}  // namespace KVN
