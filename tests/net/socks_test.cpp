// SOCKS 4, 4A and 5 connects through real proxies (dante-server's danted and
// microsocks) started on free loopback ports, and through a scripted peer for
// the replies a real proxy does not give.
#include <tavo/sys/networking>

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "net_peers.h"

using namespace KVN;
using kvn_test::net_expect;
using kvn_test::net_hex;
using kvn_test::net_hold;
using kvn_test::net_send;
using kvn_test::NetStep;

namespace {

const char DANTED[] = "/usr/sbin/danted";
const char MICROSOCKS[] = "/usr/bin/microsocks";
// A name only the proxies can resolve: they run with their own /etc/hosts.
const char PROXY_ONLY_NAME[] = "kvn-socks-dest.test";
const int WAIT_MS = 5000;

// Sends a message over s and expects it back from the echo server behind the
// proxy.
void expect_echo(sys_socket_t s, const std::string& text) {
  int n = 0;
  ASSERT_EQ(sys_write_complete(s, text.data(), static_cast<int>(text.size()), &n, WAIT_MS), 0);
  std::string back(text.size(), '\0');
  ASSERT_EQ(sys_read_complete(s, &back[0], static_cast<int>(back.size()), &n, WAIT_MS), 0);
  EXPECT_EQ(back, text);
}

bool resolves(const char* name) {
  unsigned ip = 0;
  return sys_name_to_ip(name, &ip) == 0;
}

void expect_blocking(sys_socket_t s) {
  bool blocking = false;
  ASSERT_EQ(sys_so_get_blocking(s, &blocking), 0);
  EXPECT_TRUE(blocking);
}

// A real proxy with an echo server to reach through it.
class RealProxyTest : public ::testing::Test {
 protected:
  // Starts the proxy; when proxy_only_name is set the proxy also resolves
  // PROXY_ONLY_NAME to 127.0.0.1 (skips when the system refuses that).
  void start_danted(bool proxy_only_name = false) {
    ASSERT_EQ(access(DANTED, X_OK), 0)
        << DANTED << " is missing: install the Debian package dante-server";
    m_port = kvn_test::net_free_port();
    const std::string conf =
        m_dir.write_file("danted.conf",
                         "logoutput: stderr\n"
                         "internal: 127.0.0.1 port = " +
                             std::to_string(m_port) +
                             "\n"
                             "external: 127.0.0.1\n"
                             "clientmethod: none\n"
                             "socksmethod: none\n"
                             "user.privileged: root\n"
                             "user.unprivileged: nobody\n"
                             "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                             "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 protocol: tcp }\n");
    start({DANTED, "-f", conf, "-p", m_dir.path() + "/danted.pid", "-N", "1"}, proxy_only_name);
  }

  void start_microsocks(const std::string& user, const std::string& pass,
                        bool proxy_only_name = false) {
    ASSERT_EQ(access(MICROSOCKS, X_OK), 0)
        << MICROSOCKS << " is missing: install the Debian package microsocks";
    m_port = kvn_test::net_free_port();
    std::vector<std::string> argv = {MICROSOCKS, "-i", "127.0.0.1", "-p", std::to_string(m_port)};
    if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", pass});
    start(argv, proxy_only_name);
  }

  std::string proxy() const { return kvn_test::net_local_address(m_port); }

  kvn_test::NetEchoServer m_echo;
  kvn_test::NetTempDir m_dir;
  kvn_test::NetChildProcess m_proxy;
  unsigned short m_port = 0;

 private:
  void start(const std::vector<std::string>& argv, bool proxy_only_name) {
    std::string hosts;
    if (proxy_only_name)
      hosts = m_dir.write_file(
          "hosts", "127.0.0.1 localhost\n127.0.0.1 " + std::string(PROXY_ONLY_NAME) + "\n");
    const std::string err = m_proxy.start(argv, m_port, m_dir.path() + "/proxy.log", hosts);
    if (m_proxy.namespace_refused())
      GTEST_SKIP() << "cannot give the proxy its own /etc/hosts: " << err;
    ASSERT_EQ(err, "");
  }
};

TEST_F(RealProxyTest, Socks4ThroughDanteCarriesData) {
  start_danted();
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string dest = m_echo.address();
  for (const char* uname : {"kvnuser", "", static_cast<const char*>(nullptr)}) {
    sys_socket_t s = SYS_INVALID_SOCKET;
    ASSERT_EQ(sys_tcp_connect_socks4(&s, proxy().c_str(), dest.c_str(), uname, WAIT_MS), 0)
        << m_proxy.log();
    expect_blocking(s);
    expect_echo(s, "through socks 4");
    sys_close_socket(s);
  }
  sys_socket_t s = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_tcp_connect_socks(&s, proxy().c_str(), dest.c_str(), 4, "kvnuser", nullptr, WAIT_MS,
                                  nullptr),
            0);
  expect_echo(s, "by version");
  sys_close_socket(s);
}

TEST_F(RealProxyTest, Socks5ThroughDanteReportsTheBoundAddress) {
  start_danted();
  if (IsSkipped() || HasFatalFailure()) return;
  sys_socket_t s = SYS_INVALID_SOCKET;
  std::string bound;
  ASSERT_EQ(sys_tcp_connect_socks(&s, proxy().c_str(), m_echo.address().c_str(), 5, nullptr,
                                  nullptr, WAIT_MS, &bound),
            0)
      << m_proxy.log();
  expect_blocking(s);
  EXPECT_EQ(bound.rfind("127.0.0.1:", 0), 0u) << bound;
  expect_echo(s, "through socks 5");
  sys_close_socket(s);
}

TEST_F(RealProxyTest, DanteRefusalsCloseTheSocket) {
  start_danted();
  if (IsSkipped() || HasFatalFailure()) return;
  const int fds_before = kvn_test::net_count_open_fds();
  const std::string closed = kvn_test::net_local_address(kvn_test::net_free_port());
  sys_socket_t s = SYS_INVALID_SOCKET;
  EXPECT_EQ(sys_tcp_connect_socks4(&s, proxy().c_str(), closed.c_str(), "kvnuser", WAIT_MS), -1);
  EXPECT_EQ(s, SYS_INVALID_SOCKET);
  EXPECT_EQ(sys_tcp_connect_socks5(&s, proxy().c_str(), closed.c_str(), nullptr, nullptr, WAIT_MS,
                                   nullptr),
            SYS_ERROR_ECONNREFUSED);
  EXPECT_EQ(s, SYS_INVALID_SOCKET);
  // This proxy does not resolve names for SOCKS 4 clients (4A).
  const std::string by_name = "h1:" + std::to_string(m_echo.port());
  ASSERT_FALSE(resolves("h1"));
  EXPECT_EQ(sys_tcp_connect_socks4(&s, proxy().c_str(), by_name.c_str(), "kvnuser", WAIT_MS), -1);
  EXPECT_EQ(s, SYS_INVALID_SOCKET);
  EXPECT_EQ(kvn_test::net_count_open_fds(), fds_before);
}

TEST_F(RealProxyTest, Socks5ProxiesResolveNamesTheClientCannot) {
  ASSERT_FALSE(resolves(PROXY_ONLY_NAME));
  const std::string dest = std::string(PROXY_ONLY_NAME) + ":" + std::to_string(m_echo.port());
  for (bool dante : {true, false}) {
    if (dante)
      start_danted(true);
    else
      start_microsocks("", "", true);
    if (IsSkipped() || HasFatalFailure()) return;
    sys_socket_t s = SYS_INVALID_SOCKET;
    ASSERT_EQ(sys_tcp_connect_socks5(&s, proxy().c_str(), dest.c_str(), nullptr, nullptr, WAIT_MS,
                                     nullptr),
              0)
        << m_proxy.log();
    expect_echo(s, "by name");
    sys_close_socket(s);
    m_proxy.stop();
  }
}

TEST_F(RealProxyTest, Socks5WithUserNameAndPasswordThroughMicrosocks) {
  start_microsocks("kvnuser", "s3cret pass");
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string dest = m_echo.address();
  sys_socket_t s = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_tcp_connect_socks5(&s, proxy().c_str(), dest.c_str(), "kvnuser", "s3cret pass",
                                   WAIT_MS, nullptr),
            0)
      << m_proxy.log();
  expect_blocking(s);
  expect_echo(s, "authenticated");
  sys_close_socket(s);
  ASSERT_TRUE(m_echo.wait_idle(WAIT_MS));

  const int fds_before = kvn_test::net_count_open_fds();
  struct Case {
    const char* user;
    const char* pass;
  };
  // Wrong password; no credentials (only method 0 is offered, which this
  // proxy refuses); a user name without password counts as no credentials.
  const Case refused[] = {{"kvnuser", "wrong"}, {nullptr, nullptr}, {"kvnuser", ""}};
  for (const Case& c : refused) {
    s = SYS_INVALID_SOCKET;
    EXPECT_EQ(
        sys_tcp_connect_socks5(&s, proxy().c_str(), dest.c_str(), c.user, c.pass, WAIT_MS, nullptr),
        SYS_ERROR_EACCESS);
    EXPECT_EQ(s, SYS_INVALID_SOCKET);
  }
  EXPECT_EQ(kvn_test::net_count_open_fds(), fds_before);
}

TEST_F(RealProxyTest, Socks5OffersCredentialsToAProxyThatNeedsNone) {
  start_microsocks("", "");
  if (IsSkipped() || HasFatalFailure()) return;
  for (const char* user : {"kvnuser", static_cast<const char*>(nullptr)}) {
    sys_socket_t s = SYS_INVALID_SOCKET;
    ASSERT_EQ(sys_tcp_connect_socks5(&s, proxy().c_str(), m_echo.address().c_str(), user, "pw",
                                     WAIT_MS, nullptr),
              0)
        << m_proxy.log();
    expect_echo(s, "no authentication");
    sys_close_socket(s);
  }
}

// The exact requests, checked by a scripted proxy that grants them and then
// exchanges data over the same connection.
TEST(SocksWire, Socks4And4ARequests) {
  struct Case {
    const char* dest;
    const char* uname;
    std::string request;
  };
  ASSERT_FALSE(resolves("h1"));
  const Case cases[] = {
      {"10.0.0.5:443", "bob", net_hex("04 01 01 BB 0A 00 00 05") + "bob" + net_hex("00")},
      {"10.0.0.5:443", nullptr, net_hex("04 01 01 BB 0A 00 00 05 00")},
      {"h1:80", "bob",
       net_hex("04 01 00 50 00 00 00 01") + "bob" + net_hex("00") + "h1" + net_hex("00")},
  };
  for (const Case& c : cases) {
    kvn_test::NetScriptedPeer peer({net_expect(c.request.size()),
                                    net_send(net_hex("00 5A 00 00 00 00 00 00")), net_expect(4),
                                    net_send("pong")});
    sys_socket_t s = SYS_INVALID_SOCKET;
    ASSERT_EQ(sys_tcp_connect_socks4(&s, peer.address().c_str(), c.dest, c.uname, WAIT_MS), 0);
    expect_blocking(s);
    int n = 0;
    ASSERT_EQ(sys_write_complete(s, "ping", 4, &n, WAIT_MS), 0);
    char buf[4];
    ASSERT_EQ(sys_read_complete(s, buf, 4, &n, WAIT_MS), 0);
    EXPECT_EQ(std::string(buf, 4), "pong");
    sys_close_socket(s);
    EXPECT_EQ(peer.received(), c.request + "ping") << c.dest;
    EXPECT_EQ(peer.error(), 0);
  }
}

TEST(SocksWire, Socks5RequestsAndBoundAddresses) {
  const std::string greeting = net_hex("05 01 00");
  const std::string greeting_auth = net_hex("05 02 00 02");
  struct Case {
    const char* dest;
    const char* user;
    const char* pass;
    std::vector<NetStep> script;
    std::string sent;
    std::string bound;
  };
  const std::string req_ip = net_hex("05 01 00 01 0A 00 00 05 01 BB");
  const std::string req_name = net_hex("05 01 00 03 02") + "h1" + net_hex("1A 19");
  const std::string auth = net_hex("01 03") + "bob" + net_hex("02") + "pw";
  const std::string bound_ipv4 = net_hex("05 00 00 01 7F 00 00 01 1F 90");
  const Case cases[] = {
      {"10.0.0.5:443",
       nullptr,
       nullptr,
       {net_expect(3), net_send(net_hex("05 00")), net_expect(req_ip.size()), net_send(bound_ipv4)},
       greeting + req_ip,
       "127.0.0.1:8080"},
      {"h1:6681",
       nullptr,
       nullptr,
       {net_expect(3), net_send(net_hex("05 00")), net_expect(req_name.size()),
        net_send(bound_ipv4)},
       greeting + req_name,
       "127.0.0.1:8080"},
      // Credentials offered and used.
      {"10.0.0.5:443",
       "bob",
       "pw",
       {net_expect(4), net_send(net_hex("05 02")), net_expect(auth.size()),
        net_send(net_hex("01 00")), net_expect(req_ip.size()), net_send(bound_ipv4)},
       greeting_auth + auth + req_ip,
       "127.0.0.1:8080"},
      // Credentials offered, the proxy wants none.
      {"10.0.0.5:443",
       "bob",
       "pw",
       {net_expect(4), net_send(net_hex("05 00")), net_expect(req_ip.size()), net_send(bound_ipv4)},
       greeting_auth + req_ip,
       "127.0.0.1:8080"},
      // A bound address given by name.
      {"10.0.0.5:443",
       nullptr,
       nullptr,
       {net_expect(3), net_send(net_hex("05 00")), net_expect(req_ip.size()),
        net_send(net_hex("05 00 00 03 09") + "proxy.lan" + net_hex("04 38"))},
       greeting + req_ip,
       "proxy.lan:1080"},
      // An IPv6 bound address is read whole, so none of it reaches the
      // application.
      {"10.0.0.5:443",
       nullptr,
       nullptr,
       {net_expect(3), net_send(net_hex("05 00")), net_expect(req_ip.size()),
        net_send(net_hex("05 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 1F 90"))},
       greeting + req_ip,
       "unknown"},
  };
  for (const Case& c : cases) {
    std::vector<NetStep> script = c.script;
    script.push_back(net_send("DATA"));
    kvn_test::NetScriptedPeer peer(script);
    sys_socket_t s = SYS_INVALID_SOCKET;
    std::string bound = "untouched";
    ASSERT_EQ(
        sys_tcp_connect_socks5(&s, peer.address().c_str(), c.dest, c.user, c.pass, WAIT_MS, &bound),
        0)
        << c.dest;
    expect_blocking(s);
    EXPECT_EQ(bound, c.bound);
    char buf[4];
    int n = 0;
    ASSERT_EQ(sys_read_complete(s, buf, 4, &n, WAIT_MS), 0);
    EXPECT_EQ(std::string(buf, 4), "DATA");
    sys_close_socket(s);
    EXPECT_EQ(peer.received(), c.sent) << c.dest;
    EXPECT_EQ(peer.error(), 0);
  }
}

// Refusals, garbage, replies cut short and silent proxies: each gives its
// error within the bound, leaves the caller's variable at -1 and leaks no
// descriptor.
TEST(SocksFailures, ProxyRepliesGiveClearErrorsAndLeakNothing) {
  struct Case {
    const char* what;
    int version;
    const char* user;
    const char* pass;
    std::vector<NetStep> script;
    int expected;
  };
  const std::string ok_greeting = net_hex("05 00");
  const size_t req_ip_size = 10;  // 05 01 00 01, address, port
  auto refused_with = [&](int code) {
    return std::vector<NetStep>{net_expect(3), net_send(ok_greeting), net_expect(req_ip_size),
                                net_send(net_hex("05") + std::string(1, static_cast<char>(code)) +
                                         net_hex("00 01 00 00 00 00 00 00"))};
  };
  const size_t socks4_req_size = 8 + 3 + 1;  // header, "bob", 00
  std::vector<Case> cases = {
      {"socks4 rejected",
       4,
       "bob",
       nullptr,
       {net_expect(socks4_req_size), net_send(net_hex("00 5B 00 00 00 00 00 00"))},
       -1},
      {"socks4 identd",
       4,
       "bob",
       nullptr,
       {net_expect(socks4_req_size), net_send(net_hex("00 5C 00 00 00 00 00 00"))},
       -1},
      {"socks4 wrong version",
       4,
       "bob",
       nullptr,
       {net_expect(socks4_req_size), net_send(net_hex("05 5A 00 00 00 00 00 00"))},
       SYS_ERROR_EPROTO},
      {"socks4 reply cut short",
       4,
       "bob",
       nullptr,
       {net_expect(socks4_req_size), net_send(net_hex("00 5A 00"))},
       SYS_ERROR_ECLOSED},
      {"socks4 silent",
       4,
       "bob",
       nullptr,
       {net_expect(socks4_req_size), net_hold()},
       SYS_ERROR_ETIMEDOUT},
      {"no acceptable method",
       5,
       nullptr,
       nullptr,
       {net_expect(3), net_send(net_hex("05 FF"))},
       SYS_ERROR_EACCESS},
      {"authentication asked, none given",
       5,
       nullptr,
       nullptr,
       {net_expect(3), net_send(net_hex("05 02"))},
       SYS_ERROR_EACCESS},
      {"authentication refused",
       5,
       "bob",
       "pw",
       {net_expect(4), net_send(net_hex("05 02")), net_expect(8), net_send(net_hex("01 01"))},
       SYS_ERROR_EACCESS},
      {"greeting wrong version",
       5,
       nullptr,
       nullptr,
       {net_expect(3), net_send(net_hex("04 00"))},
       SYS_ERROR_EPROTO},
      {"greeting cut short",
       5,
       nullptr,
       nullptr,
       {net_expect(3), net_send(net_hex("05"))},
       SYS_ERROR_ECLOSED},
      {"greeting silent", 5, nullptr, nullptr, {net_expect(3), net_hold()}, SYS_ERROR_ETIMEDOUT},
      {"reply wrong version",
       5,
       nullptr,
       nullptr,
       {net_expect(3), net_send(ok_greeting), net_expect(req_ip_size),
        net_send(net_hex("04 00 00 01 7F 00 00 01 1F 90"))},
       SYS_ERROR_EPROTO},
      {"reply cut in the address",
       5,
       nullptr,
       nullptr,
       {net_expect(3), net_send(ok_greeting), net_expect(req_ip_size),
        net_send(net_hex("05 00 00 01 7F 00"))},
       SYS_ERROR_ECLOSED},
      {"reply silent",
       5,
       nullptr,
       nullptr,
       {net_expect(3), net_send(ok_greeting), net_expect(req_ip_size), net_hold()},
       SYS_ERROR_ETIMEDOUT},
      {"unknown address type",
       5,
       nullptr,
       nullptr,
       {net_expect(3), net_send(ok_greeting), net_expect(req_ip_size),
        net_send(net_hex("05 00 00 07 7F 00 00 01 1F 90"))},
       SYS_ERROR_EPROTO},
  };
  const int code_errors[] = {-1,
                             SYS_ERROR_EACCESS,
                             SYS_ERROR_ENETUNREACH,
                             SYS_ERROR_EHOSTUNREACH,
                             SYS_ERROR_ECONNREFUSED,
                             SYS_ERROR_ETIMEDOUT,
                             SYS_ERROR_EOPNOTSUPP,
                             SYS_ERROR_EAFNOSUPPORT,
                             -1,
                             -1};
  for (int code = 1; code <= 10; ++code)
    cases.push_back({"socks5 reply code", 5, nullptr, nullptr,
                     refused_with(code == 10 ? 255 : code), code_errors[code - 1]});

  const int fds_before = kvn_test::net_count_open_fds();
  for (const Case& c : cases) {
    kvn_test::NetScriptedPeer peer(c.script);
    sys_socket_t s = SYS_INVALID_SOCKET;
    std::string bound = "untouched";
    const int rc = sys_tcp_connect_socks(&s, peer.address().c_str(), "10.0.0.5:443", c.version,
                                         c.user, c.pass, 200, &bound);
    EXPECT_EQ(rc, c.expected) << c.what;
    EXPECT_EQ(s, SYS_INVALID_SOCKET) << c.what;
    EXPECT_EQ(bound, "untouched") << c.what;
    peer.received();
    EXPECT_EQ(peer.error(), 0) << c.what;
  }
  // A proxy that is not there.
  sys_socket_t s = SYS_INVALID_SOCKET;
  const std::string nobody = kvn_test::net_local_address(kvn_test::net_free_port());
  EXPECT_EQ(
      sys_tcp_connect_socks5(&s, nobody.c_str(), "10.0.0.5:443", nullptr, nullptr, 200, nullptr),
      SYS_ERROR_ECONNREFUSED);
  EXPECT_EQ(s, SYS_INVALID_SOCKET);
  EXPECT_EQ(kvn_test::net_count_open_fds(), fds_before);
}

// Bad arguments are refused before the proxy is contacted: no connection
// reaches it and the caller's variable is untouched.
TEST(SocksFailures, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  sys_socket_t listener = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_tcp_server_open(&listener, 0, true, SYS_LOCALHOST, 0, 0), 0);
  unsigned ip = 0;
  unsigned short port = 0;
  ASSERT_EQ(sys_getsockname(listener, &ip, &port), 0);
  const std::string proxy = kvn_test::net_local_address(port);
  const std::string long_name(256, 'h');
  const std::string long_dest = long_name + ":80";
  const std::string max_name_dest = std::string(255, 'h') + ":80";
  struct Case {
    const char* what;
    int version;
    const char* proxy;
    const char* dest;
    const char* user;
    const char* pass;
    int expected;
  };
  const Case cases[] = {
      {"no proxy", 4, nullptr, "10.0.0.5:443", nullptr, nullptr, SYS_ERROR_EINVAL},
      {"no destination", 4, proxy.c_str(), nullptr, nullptr, nullptr, SYS_ERROR_EINVAL},
      {"no proxy", 5, nullptr, "10.0.0.5:443", nullptr, nullptr, SYS_ERROR_EINVAL},
      {"no destination", 5, proxy.c_str(), nullptr, nullptr, nullptr, SYS_ERROR_EINVAL},
      {"proxy without port", 5, "127.0.0.1", "10.0.0.5:443", nullptr, nullptr, -1},
      {"destination without port", 4, proxy.c_str(), "10.0.0.5", nullptr, nullptr,
       SYS_ERROR_EINVAL},
      {"unresolvable destination without port", 5, proxy.c_str(), "h1", nullptr, nullptr,
       SYS_ERROR_EINVAL},
      {"long host name for 4A", 4, proxy.c_str(), long_dest.c_str(), nullptr, nullptr,
       SYS_ERROR_EINVAL},
      {"long host name for 5", 5, proxy.c_str(), long_dest.c_str(), nullptr, nullptr,
       SYS_ERROR_EINVAL},
      {"long password", 5, proxy.c_str(), "10.0.0.5:443", "bob", long_name.c_str(),
       SYS_ERROR_EINVAL},
      {"long user name", 5, proxy.c_str(), "10.0.0.5:443", long_name.c_str(), "pw",
       SYS_ERROR_EINVAL},
      {"unknown destination service", 5, proxy.c_str(), "h1:kvn-no-service", nullptr, nullptr, 1},
  };
  for (const Case& c : cases) {
    sys_socket_t s = 12345;
    const int rc =
        sys_tcp_connect_socks(&s, c.proxy, c.dest, c.version, c.user, c.pass, 200, nullptr);
    if (c.expected == 1)
      EXPECT_NE(rc, 0) << c.what;
    else
      EXPECT_EQ(rc, c.expected) << c.what;
    EXPECT_EQ(s, 12345) << c.what;
    int ready = 0;
    ASSERT_EQ(sys_poll1(listener, SYS_POLL_READ, &ready, 0), 0);
    EXPECT_EQ(ready, 0) << c.what << ": the proxy was contacted";
  }
  sys_close_socket(listener);

  // The longest name that fits is sent.
  std::string sent = net_hex("05 01 00 03 FF") + std::string(255, 'h') + net_hex("00 50");
  kvn_test::NetScriptedPeer peer({net_expect(3), net_send(net_hex("05 00")),
                                  net_expect(sent.size()),
                                  net_send(net_hex("05 00 00 01 7F 00 00 01 1F 90"))});
  sys_socket_t s = SYS_INVALID_SOCKET;
  EXPECT_EQ(sys_tcp_connect_socks5(&s, peer.address().c_str(), max_name_dest.c_str(), nullptr,
                                   nullptr, WAIT_MS, nullptr),
            0);
  sys_close_socket(s);
  EXPECT_EQ(peer.received(), net_hex("05 01 00") + sent);
}

}  // namespace
