// Connection settings: connection strings (server entries, "file" sources,
// malformed pieces), the global properties, the one-time-password variant,
// the text of get_connection_info, masking of secrets in the log, resolving
// hosts and the special hosts.
#include <tavo/private/ConsumerConnection>

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "../logger/log_fixture.h"

namespace KVN {
namespace {

std::string info(ConsumerConnection& c) {
  size_t n = 99;
  const char* s = c.get_connection_info(&n);
  EXPECT_EQ(n, std::string(s).size());
  return s;
}

class Settings : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    clear_properties();
  }
  void TearDown() override {
    clear_properties();
    LogFixture::TearDown();
  }
  static void clear_properties() {
    for (const char* name : {"RT_CONNECTION", "RT_HOST", "RT_USER", "RT_PASSWD"})
      Pylon::set_property(name, "");
  }

  std::string write_text(const std::string& name, const std::string& text) {
    const std::string p = path(name);
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

  // Runs f with the log (debug category TRACE on) going to a fresh file;
  // returns what was logged.
  template <class F>
  std::string logged(F f) {
    const std::string log = path("log" + std::to_string(m_logs++));
    EXPECT_EQ(Logger::open(log, false), 0);
    Logger::set_debug(DEB_TRACE);
    f();
    Logger::clear_debug();
    Logger::close();
    return read_file(log);
  }

  int m_logs = 0;
};

TEST_F(Settings, ConnectionStrings) {
  struct Case {
    const char* uri;
    rt_errno rc;
    std::string text;  // get_connection_info afterwards
    std::string log;   // a text the log must contain, or empty
  };
  const Case cases[] = {
      {"u-12345:pw@h1:6681", RT_NO_ERROR, "u-12345:pw@h1:6681", ""},
      {"user-1:pa+ss@host", RT_NO_ERROR, "user-1:pa+ss@host", ""},
      {"user:pa%41ss@host", RT_NO_ERROR, "user:paAss@host", ""},
      {"user:a:b@host", RT_NO_ERROR, "user:a:b@host", ""},
      {"a@b@host", RT_NO_ERROR, "a@b@host", ""},
      {"u-a-b@h", RT_NO_ERROR, "u-a-b@h", ""},
      {"host", RT_NO_ERROR, "host", ""},
      {"h1:7001|h2:7002", RT_NO_ERROR, "h1:7001|h2:7002", ""},
      // A later entry without user takes the first one's user and password,
      // not its serial.
      {"u:p@h1|h2", RT_NO_ERROR, "u:p@h1|u:p@h2", ""},
      {"u-9:p@h1|h2", RT_NO_ERROR, "u-9:p@h1|u:p@h2", ""},
      {"u:p@h1|v@h2", RT_NO_ERROR, "u:p@h1|v@h2", ""},
      {"//u:p@h1/ignored?x#y", RT_NO_ERROR, "u:p@h1", ""},
      {"7@&attach_socket&", RT_NO_ERROR, "7@&attach_socket&", ""},
      {"u:p@h1|", RT_E_INVAL, "u:p@h1", "Retrieving RT_CONNECTION from: \n"},
      {"|h1", RT_E_INVAL, "", "Retrieving RT_CONNECTION from: \n"},
      {"", RT_E_INVAL, "", "Retrieving RT_CONNECTION from: \n"},
      {"h1|u:secret@|h3", RT_E_INVAL, "h1", "Retrieving RT_CONNECTION from: u:****@\n"},
      {"/h1", RT_E_INVAL, "", "Retrieving RT_CONNECTION from: /h1\n"},
      // An escaped NUL byte would cut the host short where it is used as text.
      {"h0|u:p@h%00.other", RT_E_INVAL, "h0", "Retrieving RT_CONNECTION from: u:****@h%00.other\n"},
      {"u%00x:p@h", RT_E_INVAL, "", "Retrieving RT_CONNECTION from: u%00x:****@h\n"},
      {"reg:Software/Feed", static_cast<rt_errno>(EINVAL), "",
       "Unable to open:reg:Software/Feed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri);
    ConsumerConnection conn;
    ASSERT_EQ(conn.set_connection_info("old", "u", "p"), RT_NO_ERROR);
    rt_errno rc = RT_E_UNKNOWN;
    const std::string log = logged([&] { rc = conn.set_connection_info(c.uri); });
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(info(conn), c.text);
    if (!c.log.empty()) {
      EXPECT_NE(log.find(c.log), std::string::npos) << log;
    }
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
  }
}

TEST_F(Settings, FileSources) {
  const std::string direct =
      write_text("direct.cfg", "RT_HOST = \"fh:7000\"\nRT_USER = \"fu-42\"\nRT_PASSWD = \"fp\"\n");
  const std::string nested =
      write_text("nested.cfg", "RT_CONNECTION = \"a:b@n1|file:" + direct + "\"\n");
  const std::string hostless = write_text("hostless.cfg", "RT_USER = \"x\"\n");
  const std::string loop = path("loop.cfg");
  write_text("loop.cfg", "RT_CONNECTION = \"file:" + loop + "\"\n");
  const std::string ping = path("ping.cfg"), pong = path("pong.cfg");
  write_text("ping.cfg", "RT_CONNECTION = \"h0|file:" + pong + "\"\n");
  write_text("pong.cfg", "RT_CONNECTION = \"file:" + ping + "\"\n");
  ASSERT_EQ(setenv("KVN_CONN_HOST", "envhost", 1), 0);
  const std::string expanded = write_text("env.cfg", "RT_HOST = \"%KVN_CONN_HOST%\"\n");

  struct Case {
    std::string uri;
    rt_errno rc;
    std::string text;
    std::string log;
  };
  const Case cases[] = {
      {"file:" + direct, RT_NO_ERROR, "fu-42:fp@fh:7000", ""},
      {"h0|file:" + direct, RT_NO_ERROR, "h0|fu-42:fp@fh:7000", ""},
      {"u:p@h0|file:" + hostless, RT_E_INVAL, "u:p@h0", "Retrieving RT_CONNECTION from: file:"},
      {"file:" + nested + "|h9", RT_NO_ERROR, "a:b@n1|fu-42:fp@fh:7000|a:b@h9", ""},
      {"file:" + expanded, RT_NO_ERROR, "envhost", ""},
      {"file:" + path("missing.cfg"), static_cast<rt_errno>(ENOENT), "",
       "Unable to open:file:" + path("missing.cfg") + "\n"},
      // Sources naming themselves stop with an error instead of recursing.
      {"file:" + loop, RT_E_INVAL, "", "Connection sources nested too deeply at: file:" + loop},
      {"file:" + ping, RT_E_INVAL, "h0|h0|h0|h0|h0|h0|h0|h0",
       "Connection sources nested too deeply at: file:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri);
    ConsumerConnection conn;
    rt_errno rc = RT_E_UNKNOWN;
    const std::string log = logged([&] { rc = conn.set_connection_info(c.uri.c_str()); });
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(info(conn), c.text);
    if (!c.log.empty()) {
      EXPECT_NE(log.find(c.log), std::string::npos) << log;
    }
  }
  unsetenv("KVN_CONN_HOST");
}

TEST_F(Settings, ArgumentsAndGlobalProperties) {
  struct Case {
    const char* what;
    const char* props[4];  // RT_CONNECTION, RT_HOST, RT_USER, RT_PASSWD
    const char* host;
    const char* user;
    const char* passwd;
    rt_errno rc;
    std::string text;
    std::string error = "host name not specified\n";  // logged when rc is RT_E_INVAL
  };
  const Case cases[] = {
      {"arguments alone", {"", "", "", ""}, "h", "u-7", "p", RT_NO_ERROR, "u-7:p@h"},
      {"arguments win over properties",
       {"a:b@x", "y", "z", "w"},
       "h",
       "u",
       "p",
       RT_NO_ERROR,
       "u:p@h"},
      {"RT_USER over RT_CONNECTION",
       {"a:b@h", "", "c", ""},
       nullptr,
       nullptr,
       nullptr,
       RT_NO_ERROR,
       "c:b@h"},
      {"every part from properties",
       {"", "ph:7001", "pu-1", "pp"},
       nullptr,
       nullptr,
       nullptr,
       RT_NO_ERROR,
       "pu-1:pp@ph:7001"},
      {"RT_CONNECTION alone",
       {"a-3:b+c@h:9", "", "", ""},
       nullptr,
       nullptr,
       nullptr,
       RT_NO_ERROR,
       "a-3:b+c@h:9"},
      {"one null argument reads RT_CONNECTION",
       {"a:b@h", "", "", ""},
       "mine",
       "me",
       nullptr,
       RT_NO_ERROR,
       "me:b@mine"},
      {"no host anywhere", {"", "", "", ""}, nullptr, "u", "p", RT_E_INVAL, "old:p@keep"},
      {"empty host argument",
       {"a:b@h", "", "", ""},
       "",
       nullptr,
       nullptr,
       RT_E_INVAL,
       "old:p@keep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const char* names[] = {"RT_CONNECTION", "RT_HOST", "RT_USER", "RT_PASSWD"};
    for (int i = 0; i < 4; ++i) Pylon::set_property(names[i], c.props[i]);
    ConsumerConnection conn;
    ASSERT_EQ(conn.set_connection_info("keep", "old", "p"), RT_NO_ERROR);
    rt_errno rc = RT_E_UNKNOWN;
    const std::string log =
        logged([&] { rc = conn.set_connection_info(c.host, c.user, c.passwd); });
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(info(conn), c.text);
    if (c.rc == RT_E_INVAL) {
      EXPECT_NE(log.find(c.error), std::string::npos) << log;
    }
  }
  clear_properties();

  // A null connection string is the same as three null arguments.
  Pylon::set_property("RT_HOST", "prop-host");
  ConsumerConnection conn;
  EXPECT_EQ(conn.set_connection_info(static_cast<const char*>(nullptr)), RT_NO_ERROR);
  EXPECT_EQ(info(conn), "prop-host");
}

TEST_F(Settings, LoadedPropertiesNameTheServer) {
  const std::string file = write_text("props.cfg", "RT_HOST = \"h1\"\n");
  ASSERT_EQ(Pylon::load_properties(file.c_str(), false), RT_NO_ERROR);
  ConsumerConnection conn;
  EXPECT_EQ(conn.set_connection_info(nullptr, "u", "p"), RT_NO_ERROR);
  EXPECT_EQ(info(conn), "u:p@h1");
}

TEST_F(Settings, TraceLinesMaskPasswordsAndKeys) {
  ConsumerConnection conn;
  std::string log = logged([&] {
    EXPECT_EQ(conn.set_connection_info("h", "u-1", "s3cr3t"), RT_NO_ERROR);
    EXPECT_EQ(conn.set_connection_info("v:s3cr3t@h2|h3"), RT_NO_ERROR);
    EXPECT_EQ(conn.set_connection_info("nopw@h4"), RT_NO_ERROR);
  });
  EXPECT_NE(log.find("set_connection {u}:{****}@h\n"), std::string::npos) << log;
  EXPECT_NE(log.find("parse_connection_info {v}:{****}@h2\n"), std::string::npos) << log;
  EXPECT_NE(log.find("parse_connection_info {v}:{****}@h3\n"), std::string::npos) << log;
  EXPECT_NE(log.find("parse_connection_info {nopw}:{}@h4\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cr3t"), std::string::npos) << log;
  // The returned text keeps them in clear.
  EXPECT_EQ(conn.set_connection_info("v:s3cr3t@h2"), RT_NO_ERROR);
  EXPECT_EQ(info(conn), "v:s3cr3t@h2");
}

TEST_F(Settings, OneTimePasswordVariant) {
  const std::string dir = m_dir;
  const std::string counter_file = dir + "/dev1.data";

  // Argument checks, in order; the list stays as it was.
  struct Bad {
    const char *host, *user, *device, *key, *counter;
    bool force;
    std::string error;
  };
  const Bad bad[] = {
      {nullptr, "u", "d", "k", "1", false, "host name not specified\n"},
      {"h", nullptr, "d", "k", "1", false, "user not specified\n"},
      {"h", "u", nullptr, "k", "1", false, "device id not specified\n"},
      {"h", "u", "d", nullptr, "1", true,
       "OTP key and counter must be provided when force_input is set to true\n"},
      {"h", "u", "d", "k", nullptr, true,
       "OTP key and counter must be provided when force_input is set to true\n"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.error);
    ConsumerConnection conn;
    ASSERT_EQ(conn.set_connection_info("keep", "old", "p"), RT_NO_ERROR);
    rt_errno rc = RT_E_UNKNOWN;
    const std::string log = logged([&] {
      rc = conn.set_connection_info(b.host, b.user, b.device, b.key, b.counter, dir.c_str(),
                                    b.force);
    });
    EXPECT_EQ(rc, RT_E_INVAL);
    EXPECT_EQ(info(conn), "old:p@keep");
    EXPECT_NE(log.find(b.error), std::string::npos) << log;
  }

  ConsumerConnection conn;
  // No counter file yet: the arguments are used and written.
  std::string log = logged([&] {
    EXPECT_EQ(conn.set_connection_info("h", "u-5", "dev1", "ABCD", "41", dir.c_str(), false),
              RT_NO_ERROR);
  });
  EXPECT_EQ(info(conn), "u-5:dev1:ABCD:41@h");
  EXPECT_EQ(read_file(counter_file), "ABCD\n41");
  EXPECT_NE(log.find("No existing counter file found\n"), std::string::npos);
  EXPECT_NE(log.find("Created a new counter file " + counter_file + "\n"), std::string::npos);
  EXPECT_NE(log.find("set_connection {u}:{****}@h\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("ABCD"), std::string::npos) << log;

  // An existing file wins over the arguments.
  std::ofstream(counter_file, std::ios::binary) << "FILEKEY\r\n77";
  log = logged([&] {
    EXPECT_EQ(conn.set_connection_info("h", "u", "dev1", "ARGKEY", "1", dir.c_str(), false),
              RT_NO_ERROR);
  });
  EXPECT_EQ(info(conn), "u:dev1:FILEKEY:77@h");
  EXPECT_NE(log.find("Found an existing counter file, use the values in the file instead."),
            std::string::npos);

  // force_input overwrites it.
  log = logged([&] {
    EXPECT_EQ(conn.set_connection_info("h", "u", "dev1", "NEWKEY", "5", dir.c_str(), true),
              RT_NO_ERROR);
  });
  EXPECT_EQ(info(conn), "u:dev1:NEWKEY:5@h");
  EXPECT_EQ(read_file(counter_file), "NEWKEY\n5");
  EXPECT_NE(log.find("Flag force_input is set to true"), std::string::npos);

  // Without a file, missing values fail and leave the list empty.
  ASSERT_EQ(unlink(counter_file.c_str()), 0);
  log = logged([&] {
    EXPECT_EQ(conn.set_connection_info("h", "u", "dev1", "K", nullptr, dir.c_str(), false),
              RT_E_INVAL);
  });
  EXPECT_EQ(info(conn), "");
  EXPECT_NE(log.find("OTP counter not provided\n"), std::string::npos);
  log = logged([&] {
    EXPECT_EQ(conn.set_connection_info("h", "u", "dev1", nullptr, "1", dir.c_str(), false),
              RT_E_INVAL);
  });
  EXPECT_NE(log.find("OTP key not provided\n"), std::string::npos);

  // A counter file that cannot be written.
  const std::string nowhere = dir + "/no/such/dir";
  log = logged([&] {
    EXPECT_EQ(conn.set_connection_info("h", "u", "dev1", "K", "1", nowhere.c_str(), true),
              RT_E_INVAL);
  });
  EXPECT_EQ(info(conn), "");
  EXPECT_NE(log.find("Unable to write OTP counter file " + nowhere + "/dev1.data\n"),
            std::string::npos);
}

TEST_F(Settings, CounterFileReading) {
  ConnectionInfo ci;
  ci.counter_file = path("c.data");
  struct Case {
    const char* content;
    bool ok;
    const char* key;
    const char* counter;
  };
  const Case cases[] = {
      {"K\n41", true, "K", "41"}, {"K\r\n41", true, "K", "41"}, {"K\n41\n", true, "K", "41\n"},
      {"K41", false, "", ""},     {"K\n", false, "", ""},       {"\n41", false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    std::ofstream(ci.counter_file, std::ios::binary) << c.content;
    std::string key = "x", counter = "y";
    EXPECT_EQ(ci.read_counter_file(key, counter), c.ok);
    EXPECT_EQ(key, c.key);
    EXPECT_EQ(counter, c.counter);
  }
  ci.counter_file = path("absent.data");
  std::string key, counter;
  const std::string log = logged([&] { EXPECT_FALSE(ci.read_counter_file(key, counter)); });
  EXPECT_NE(log.find("Unable to read OTP counter file " + ci.counter_file + "\n"),
            std::string::npos);
}

TEST(ConnectionInfo, ResolveAndSpecialHosts) {
  ConnectionInfo ci;
  unsigned ip = 0;
  unsigned short port = 0;
  ci.host = "127.0.0.1";
  ASSERT_EQ(ci.resolve(&ip, &port), 0);
  EXPECT_EQ(ip, 0x7F000001u);
  EXPECT_EQ(port, RT_DEFAULT_CONSUMER_PORT);
  EXPECT_EQ(port, 6681);
  ci.host = "10.1.2.3:7001";
  ASSERT_EQ(ci.resolve(&ip, &port), 0);
  EXPECT_EQ(ip, 0x0A010203u);
  EXPECT_EQ(port, 7001);
  ci.host = "localhost";
  ASSERT_EQ(ci.resolve(&ip, &port), 0);
  EXPECT_EQ(ip, 0x7F000001u);
  EXPECT_EQ(port, 6681);

  EXPECT_FALSE(ci.is_workstation_connection());
  ci.host = "&workstation&";
  EXPECT_TRUE(ci.is_workstation_connection());
  EXPECT_FALSE(ci.is_otp_connection());
  ci.key = "AB";
  EXPECT_TRUE(ci.is_otp_connection());

  ConsumerConnection conn;
  EXPECT_EQ(conn.get_connected_host(), nullptr);
  size_t n = 5;
  EXPECT_STREQ(conn.get_connection_info(&n), "");
  EXPECT_EQ(n, 0u);
  EXPECT_STREQ(conn.get_connection_info(nullptr), "");
}

}  // namespace
}  // namespace KVN
