// SOCKS 4, 4A and 5 connects through OpenSSH's dynamic forwarding: each test
// starts its own sshd on a free loopback port (own host key, own authorized
// key, own configuration in a temporary directory) and an `ssh -N -D` client
// logged in to it, whose SOCKS port then reaches the test's echo server
// through the SSH tunnel. This is the only real proxy here that resolves host
// names for SOCKS 4 clients (4A).
#include <tavo/sys/networking>

#include <gtest/gtest.h>

#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "net_peers.h"

using namespace KVN;

namespace {

const char SSHD[] = "/usr/sbin/sshd";
const char SSH[] = "/usr/bin/ssh";
const char SSH_KEYGEN[] = "/usr/bin/ssh-keygen";
// A name only sshd can resolve: it runs with its own /etc/hosts. The SOCKS
// client cannot resolve it, so it asks the proxy to (4A, or a SOCKS 5 name).
const char PROXY_ONLY_NAME[] = "kvn-socks-dest.test";
// A name nobody resolves.
const char NO_SUCH_NAME[] = "kvn-no-such-host.invalid";
const int WAIT_MS = 5000;
const int KEYGEN_MS = 20000;

bool resolves(const char* name) {
  unsigned ip = 0;
  return sys_name_to_ip(name, &ip) == 0;
}

// Sends a short message and then a larger pattern over s, and expects each
// back whole from the echo server behind the tunnel.
void expect_echo(sys_socket_t s, const std::string& text) {
  std::string pattern(48 * 1024, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 7 + i / 251);
  for (const std::string& out : {text, pattern}) {
    int n = 0;
    ASSERT_EQ(sys_write_complete(s, out.data(), static_cast<int>(out.size()), &n, WAIT_MS), 0);
    std::string back(out.size(), '\0');
    ASSERT_EQ(sys_read_complete(s, &back[0], static_cast<int>(back.size()), &n, WAIT_MS), 0);
    EXPECT_TRUE(back == out) << "echo of " << out.size() << " bytes differs";
  }
}

void expect_blocking(sys_socket_t s) {
  bool blocking = false;
  ASSERT_EQ(sys_so_get_blocking(s, &blocking), 0);
  EXPECT_TRUE(blocking);
}

// An sshd and an ssh client forwarding SOCKS into it, with an echo server to
// reach through them.
class SshDynamicForwardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(SSHD, X_OK), 0)
        << SSHD << " is missing: install the Debian package openssh-server";
    ASSERT_EQ(access(SSH, X_OK), 0)
        << SSH << " is missing: install the Debian package openssh-client";
    ASSERT_EQ(access(SSH_KEYGEN, X_OK), 0)
        << SSH_KEYGEN << " is missing: install the Debian package openssh-client";
    // sshd's privilege separation directory; the service's own start-up
    // usually makes it, and no service runs here.
    ASSERT_TRUE(mkdir("/run/sshd", 0755) == 0 || errno == EEXIST)
        << "cannot make /run/sshd: " << strerror(errno);
    const passwd* user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);

    const std::string dir = m_dir.path();
    for (const char* key : {"host_key", "client_key"})
      ASSERT_EQ(kvn_test::net_run({SSH_KEYGEN, "-q", "-t", "ed25519", "-N", "", "-C", "kvn-test",
                                   "-f", dir + "/" + key},
                                  dir + "/keygen.log", KEYGEN_MS),
                "");
    m_dir.write_file("authorized_keys", kvn_test::net_read_file(dir + "/client_key.pub"));
    const unsigned short ssh_port = kvn_test::net_free_port();
    std::string sshd_config;
    for (const std::string& line : std::vector<std::string>{
             "Port " + std::to_string(ssh_port), "ListenAddress 127.0.0.1",
             "HostKey " + dir + "/host_key", "AuthorizedKeysFile " + dir + "/authorized_keys",
             "PidFile " + dir + "/sshd.pid", "PermitRootLogin prohibit-password",
             "PubkeyAuthentication yes", "PasswordAuthentication no",
             "KbdInteractiveAuthentication no", "AllowTcpForwarding yes", "StrictModes no",
             "UsePAM no"})
      sshd_config += line + "\n";
    const std::string conf = m_dir.write_file("sshd_config", sshd_config);
    const std::vector<std::string> sshd = {SSHD, "-D", "-e", "-f", conf};
    const std::string hosts = m_dir.write_file(
        "hosts", "127.0.0.1 localhost\n127.0.0.1 " + std::string(PROXY_ONLY_NAME) + "\n");
    std::string err = m_sshd.start(sshd, ssh_port, dir + "/sshd.log", hosts);
    if (m_sshd.namespace_refused()) {
      // Everything but the names only the proxy knows can still be tested.
      m_proxy_knows_name = false;
      err = m_sshd.start(sshd, ssh_port, dir + "/sshd.log");
    }
    ASSERT_EQ(err, "");

    m_socks_port = kvn_test::net_free_port();
    // A configuration file of its own keeps the user's and the system's out,
    // and ssh then neither reads nor makes ~/.ssh.
    const std::string ssh_conf = m_dir.write_file("ssh_config", "");
    std::vector<std::string> ssh = {SSH,      "-F",
                                    ssh_conf, "-N",
                                    "-D",     proxy(),
                                    "-i",     dir + "/client_key",
                                    "-p",     std::to_string(ssh_port)};
    for (const std::string& option : std::vector<std::string>{
             "StrictHostKeyChecking=no", "UserKnownHostsFile=" + dir + "/known_hosts",
             "BatchMode=yes", "IdentitiesOnly=yes", "ExitOnForwardFailure=yes",
             "ConnectTimeout=10"})
      ssh.insert(ssh.end(), {"-o", option});
    ssh.push_back(std::string(user->pw_name) + "@127.0.0.1");
    err = m_ssh.start(ssh, m_socks_port, dir + "/ssh.log");
    ASSERT_EQ(err, "") << "sshd log: " << m_sshd.log();
  }

  void TearDown() override {
    // The client first: its session in sshd then ends by itself.
    m_ssh.stop();
    m_sshd.stop_with_descendants();
  }

  std::string proxy() const { return kvn_test::net_local_address(m_socks_port); }
  std::string dest(const std::string& host) const {
    return host + ":" + std::to_string(m_echo.port());
  }
  std::string logs() const { return "\nssh log: " + m_ssh.log() + "\nsshd log: " + m_sshd.log(); }

  kvn_test::NetEchoServer m_echo;
  kvn_test::NetTempDir m_dir;
  kvn_test::NetChildProcess m_sshd;
  kvn_test::NetChildProcess m_ssh;
  unsigned short m_socks_port = 0;
  bool m_proxy_knows_name = true;
};

TEST_F(SshDynamicForwardTest, Socks4AReachesANameOnlyTheProxyResolves) {
  if (!m_proxy_knows_name)
    GTEST_SKIP() << "cannot give sshd its own /etc/hosts, so no name only the proxy resolves";
  ASSERT_FALSE(resolves(PROXY_ONLY_NAME));
  const std::string by_name = dest(PROXY_ONLY_NAME);
  for (const char* uname : {"kvnuser", static_cast<const char*>(nullptr)}) {
    sys_socket_t s = SYS_INVALID_SOCKET;
    ASSERT_EQ(sys_tcp_connect_socks4(&s, proxy().c_str(), by_name.c_str(), uname, WAIT_MS), 0)
        << logs();
    expect_blocking(s);
    expect_echo(s, "through socks 4a");
    sys_close_socket(s);
    ASSERT_TRUE(m_echo.wait_idle(WAIT_MS));
  }
}

TEST_F(SshDynamicForwardTest, Socks4And5CarryDataBothWays) {
  struct Case {
    int version;
    std::string dest;
    const char* uname;
    const char* pass;
  };
  std::vector<Case> cases = {
      {4, dest("127.0.0.1"), "kvnuser", nullptr},
      // Resolved here, so sent as a plain SOCKS 4 address.
      {4, dest("localhost"), nullptr, nullptr},
      {5, dest("127.0.0.1"), nullptr, nullptr},
      // Credentials are offered; this proxy picks "no authentication".
      {5, dest("localhost"), "kvnuser", "pw"},
  };
  if (m_proxy_knows_name) cases.push_back({5, dest(PROXY_ONLY_NAME), nullptr, nullptr});
  for (const Case& c : cases) {
    SCOPED_TRACE("SOCKS " + std::to_string(c.version) + " to " + c.dest);
    sys_socket_t s = SYS_INVALID_SOCKET;
    std::string bound = "untouched";
    ASSERT_EQ(sys_tcp_connect_socks(&s, proxy().c_str(), c.dest.c_str(), c.version, c.uname, c.pass,
                                    WAIT_MS, &bound),
              0)
        << logs();
    expect_blocking(s);
    // SOCKS 4 has no bound address to report; ssh reports none for SOCKS 5.
    EXPECT_EQ(bound, c.version == 4 ? "untouched" : "0.0.0.0:0");
    expect_echo(s, "version " + std::to_string(c.version));
    sys_close_socket(s);
    ASSERT_TRUE(m_echo.wait_idle(WAIT_MS));
  }
}

// sshd cannot reach these destinations; ssh then closes the SOCKS connection
// without a reply. Each attempt fails with that error, leaves the caller's
// variable at SYS_INVALID_SOCKET and no descriptor open, and the tunnel goes
// on serving.
TEST_F(SshDynamicForwardTest, UnreachableDestinationsFailCleanly) {
  ASSERT_FALSE(resolves(NO_SUCH_NAME));
  const std::string closed = "127.0.0.1:" + std::to_string(kvn_test::net_free_port());
  const std::string nowhere = std::string(NO_SUCH_NAME) + ":80";
  struct Case {
    int version;
    std::string dest;
  };
  const Case cases[] = {{4, nowhere}, {4, closed}, {5, nowhere}, {5, closed}};
  const int fds_before = kvn_test::net_count_open_fds();
  for (const Case& c : cases) {
    SCOPED_TRACE("SOCKS " + std::to_string(c.version) + " to " + c.dest);
    sys_socket_t s = SYS_INVALID_SOCKET;
    EXPECT_EQ(sys_tcp_connect_socks(&s, proxy().c_str(), c.dest.c_str(), c.version, "kvnuser",
                                    nullptr, WAIT_MS, nullptr),
              SYS_ERROR_ECLOSED)
        << logs();
    EXPECT_EQ(s, SYS_INVALID_SOCKET);
  }
  EXPECT_EQ(kvn_test::net_count_open_fds(), fds_before);

  sys_socket_t s = SYS_INVALID_SOCKET;
  ASSERT_EQ(
      sys_tcp_connect_socks4(&s, proxy().c_str(), dest("127.0.0.1").c_str(), nullptr, WAIT_MS), 0)
      << logs();
  expect_echo(s, "still serving");
  sys_close_socket(s);
}

}  // namespace
