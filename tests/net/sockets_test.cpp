// TCP sockets, pipes, reads and writes, polling, name conversion and socket
// options, against peers made with the library's own calls on 127.0.0.1.
#include <tavo/sys/networking>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net_peers.h"

using namespace KVN;

namespace {

typedef std::chrono::steady_clock Clock;

long long ms_since(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A listening socket on 127.0.0.1 with its port.
struct Listener {
  Listener() {
    EXPECT_EQ(sys_tcp_server_open(&sock, 0, true, SYS_LOCALHOST, 0, 0), 0);
    unsigned ip = 0;
    EXPECT_EQ(sys_getsockname(sock, &ip, &port), 0);
  }
  ~Listener() { sys_close_socket(sock); }
  sys_socket_t sock = SYS_INVALID_SOCKET;
  unsigned short port = 0;
};

// A connected client and server socket.
struct Connection {
  Connection() {
    EXPECT_EQ(sys_tcp_connect(&client, SYS_LOCALHOST, listener.port, 0, 0, 0), 0);
    EXPECT_EQ(sys_tcp_accept(listener.sock, &server, nullptr, nullptr), 0);
  }
  ~Connection() {
    sys_close_socket(client);
    sys_close_socket(server);
  }
  Listener listener;
  sys_socket_t client = SYS_INVALID_SOCKET;
  sys_socket_t server = SYS_INVALID_SOCKET;
};

// Counts deliveries of a signal while installed; restores the old action.
class SignalCounter {
 public:
  explicit SignalCounter(int sig) : m_sig(sig) {
    s_count = 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = [](int) { ++s_count; };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: blocking calls see EINTR
    sigaction(sig, &sa, &m_old);
  }
  ~SignalCounter() { sigaction(m_sig, &m_old, nullptr); }
  int count() const { return s_count; }

 private:
  static std::atomic<int> s_count;
  int m_sig;
  struct sigaction m_old;
};
std::atomic<int> SignalCounter::s_count{0};

// Interrupts a thread with SIGUSR1 every few milliseconds until stopped.
class Interrupter {
 public:
  explicit Interrupter(pthread_t target)
      : m_thread([this, target] {
          while (!m_stop) {
            pthread_kill(target, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        }) {}
  ~Interrupter() {
    m_stop = true;
    m_thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

TEST(NetAddressText, FormatsDottedAddressesWithAndWithoutPort) {
  struct Case {
    unsigned ip;
    unsigned short port;
    const char* with_port;
    const char* without_port;
  };
  const Case cases[] = {
      {2130706433u, 6681, "127.0.0.1:6681", "127.0.0.1"},
      {0, 0, "0.0.0.0:0", "0.0.0.0"},
      {0xFFFFFFFFu, 65535, "255.255.255.255:65535", "255.255.255.255"},
      {0x0A010203u, 22, "10.1.2.3:22", "10.1.2.3"},
  };
  for (const Case& c : cases) {
    char buf[SYS_MAX_IP_PORT_STRING];
    EXPECT_EQ(sys_ip_port_to_string(c.ip, c.port, buf), strlen(c.with_port));
    EXPECT_STREQ(buf, c.with_port);
    EXPECT_EQ(sys_ip_to_string(c.ip, buf), strlen(c.without_port));
    EXPECT_STREQ(buf, c.without_port);
    EXPECT_EQ(sys_ip_port_to_string(c.ip, c.port), c.with_port);
    EXPECT_EQ(sys_ip_to_string(c.ip), c.without_port);

    std::ostringstream os;
    os << ip_address(c.ip, c.port);
    EXPECT_EQ(os.str(), c.port ? c.with_port : c.without_port);
  }
}

TEST(NetNames, ConvertsAddressesAndResolvesHostNames) {
  unsigned ip = 7;
  EXPECT_EQ(sys_name_to_ip("10.1.2.3", &ip), 0);
  EXPECT_EQ(ip, 0x0A010203u);
  // The broadcast address is an address, not a conversion error.
  EXPECT_EQ(sys_name_to_ip("255.255.255.255", &ip), 0);
  EXPECT_EQ(ip, 0xFFFFFFFFu);
  EXPECT_EQ(sys_name_to_ip("localhost", &ip), 0);
  EXPECT_EQ(ip, SYS_LOCALHOST);

  ip = 7;
  EXPECT_NE(sys_name_to_ip("kvn-no-such-host.invalid", &ip), 0);
  EXPECT_EQ(ip, 7u);
  EXPECT_EQ(sys_name_to_ip(nullptr, &ip), SYS_ERROR_EINVAL);

  EXPECT_EQ(sys_name_to_ip_w_default("localhost", 5), SYS_LOCALHOST);
  EXPECT_EQ(sys_name_to_ip_w_default("kvn-no-such-host.invalid", 5), 5u);
}

TEST(NetNames, ConvertsPortsAndServiceNames) {
  struct Case {
    const char* text;
    int rc;  // 0, or 1 for "some error"
    unsigned short port;
  };
  const Case cases[] = {
      {"8080", 0, 8080},        {"70000", 0, 70000 & 0xFFFF}, {"22abc", 0, 22},
      {"ssh", 0, 22},           {"ssh/tcp", 0, 22},           {"domain/udp", 0, 53},
      {"kvn-no-service", 1, 9}, {"ssh/kvn-no-proto", 1, 9},
  };
  for (const Case& c : cases) {
    unsigned short port = 9;
    int rc = sys_name_to_port(c.text, &port);
    EXPECT_EQ(rc != 0, c.rc != 0) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
  // Service names are bounded by the lookup's buffer.
  unsigned short port = 9;
  EXPECT_EQ(sys_name_to_port(std::string(300, 's').c_str(), &port), SYS_ERROR_EINVAL);
  EXPECT_EQ(port, 9);

  EXPECT_EQ(sys_name_to_port_w_default("ssh", 1), 22);
  EXPECT_EQ(sys_name_to_port_w_default("kvn-no-service", 1), 1);
}

TEST(NetNames, ParsesAddressWithPort) {
  struct Case {
    const char* text;
    unsigned short def_port;
    int rc;  // 0, -1, or 1 for "some other error"
    unsigned ip;
    unsigned short port;
  };
  const Case cases[] = {
      {"10.1.2.3:ssh", 0, 0, 0x0A010203u, 22},
      {"10.1.2.3:6681", 0, 0, 0x0A010203u, 6681},
      {"10.1.2.3", 0, -1, 7, 9},
      {"10.1.2.3", 6681, 0, 0x0A010203u, 6681},
      {"localhost:80", 0, 0, SYS_LOCALHOST, 80},
      {"kvn-no-such-host.invalid:80", 0, 1, 7, 9},
      {"10.1.2.3:kvn-no-service", 0, 1, 7, 9},
  };
  for (const Case& c : cases) {
    unsigned ip = 7;
    unsigned short port = 9;
    int rc = sys_parse_ip_port(c.text, &ip, &port, c.def_port);
    if (c.rc == 1)
      EXPECT_NE(rc, 0) << c.text;
    else
      EXPECT_EQ(rc, c.rc) << c.text;
    EXPECT_EQ(ip, c.ip) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
  // Input beyond the parse buffer is refused, not cut short.
  unsigned ip = 7;
  unsigned short port = 9;
  std::string long_input = "10.1.2.3:" + std::string(600, '1');
  EXPECT_EQ(sys_parse_ip_port(long_input.c_str(), &ip, &port, 0), SYS_ERROR_EINVAL);
  EXPECT_EQ(ip, 7u);
}

TEST(NetNames, GivesTheHostNameOrLocalhost) {
  char expected[256] = {0};
  ASSERT_EQ(gethostname(expected, sizeof(expected)), 0);
  char buf[256];
  EXPECT_EQ(sys_gethostname(buf, sizeof(buf)), 0);
  EXPECT_STREQ(buf, expected);
  EXPECT_EQ(sys_gethostname(), expected);

  // A buffer too small for the name fails and holds as much of "localhost"
  // as fits, terminated.
  if (strlen(expected) >= 2) {
    char small[2] = {'x', 'x'};
    EXPECT_NE(sys_gethostname(small, sizeof(small)), 0);
    EXPECT_STREQ(small, "l");
  }
}

TEST(NetNames, ReportsLocalAndPeerAddresses) {
  Connection c;
  unsigned cip = 0, sip = 0, pip = 0;
  unsigned short cport = 0, sport = 0, pport = 0;
  ASSERT_EQ(sys_getsockname(c.client, &cip, &cport), 0);
  ASSERT_EQ(sys_getpeername(c.server, &pip, &pport), 0);
  EXPECT_EQ(pip, cip);
  EXPECT_EQ(pport, cport);
  ASSERT_EQ(sys_getpeername(c.client, &sip, &sport), 0);
  EXPECT_EQ(sip, SYS_LOCALHOST);
  EXPECT_EQ(sport, c.listener.port);

  std::string host;
  unsigned short port = 0;
  ASSERT_EQ(sys_getpeername(c.client, &host, &port), 0);
  EXPECT_EQ(host, "localhost");
  EXPECT_EQ(port, c.listener.port);
  EXPECT_EQ(sys_get_peer_hostname_port(c.client), "localhost:" + std::to_string(c.listener.port));

  // A socket without a peer has no peer name.
  EXPECT_EQ(sys_get_peer_hostname_port(c.listener.sock), "");
  EXPECT_NE(sys_getpeername(c.listener.sock, &pip, &pport), 0);
}

TEST(NetDescriptors, SwitchesBlockingAndCloseOnExecKeepingOtherFlags) {
  sys_socket_t r = SYS_INVALID_SOCKET, w = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_pipe_open(&r, &w, true, true), 0);
  ASSERT_EQ(fcntl(w, F_SETFL, fcntl(w, F_GETFL) | O_APPEND), 0);
  bool mode = false;
  EXPECT_EQ(sys_so_get_blocking(w, &mode), 0);
  EXPECT_TRUE(mode);
  EXPECT_EQ(sys_so_set_blocking(w, false), 0);
  EXPECT_EQ(sys_so_get_blocking(w, &mode), 0);
  EXPECT_FALSE(mode);
  EXPECT_TRUE(fcntl(w, F_GETFL) & O_APPEND);
  EXPECT_EQ(sys_so_set_blocking(w, true), 0);
  EXPECT_EQ(sys_so_get_blocking(w, &mode), 0);
  EXPECT_TRUE(mode);
  EXPECT_TRUE(fcntl(w, F_GETFL) & O_APPEND);

  EXPECT_EQ(sys_so_set_close_on_exec(r, true), 0);
  EXPECT_EQ(sys_so_get_close_on_exec(r, &mode), 0);
  EXPECT_TRUE(mode);
  EXPECT_EQ(sys_so_set_close_on_exec(r, false), 0);
  EXPECT_EQ(sys_so_get_close_on_exec(r, &mode), 0);
  EXPECT_FALSE(mode);

  EXPECT_EQ(sys_pipe_close(r, w, true), 0);
  EXPECT_EQ(sys_so_set_blocking(r, true), SYS_ERROR_EBADF);
  EXPECT_EQ(sys_close_socket(SYS_INVALID_SOCKET), 0);
}

TEST(NetTcp, ConnectsBlockingAndBoundedLeavingTheSocketBlocking) {
  Listener l;
  for (int max_wait_ms : {0, 2000}) {
    sys_socket_t s = SYS_INVALID_SOCKET;
    ASSERT_EQ(sys_tcp_connect(&s, SYS_LOCALHOST, l.port, max_wait_ms, 0, 0), 0) << max_wait_ms;
    bool blocking = false;
    EXPECT_EQ(sys_so_get_blocking(s, &blocking), 0);
    EXPECT_TRUE(blocking) << max_wait_ms;
    sys_socket_t a = SYS_INVALID_SOCKET;
    unsigned pip = 0;
    unsigned short pport = 0;
    ASSERT_EQ(sys_tcp_accept(l.sock, &a, &pip, &pport), 0);
    unsigned lip = 0;
    unsigned short lport = 0;
    ASSERT_EQ(sys_getsockname(s, &lip, &lport), 0);
    EXPECT_EQ(pip, lip);
    EXPECT_EQ(pport, lport);
    int n = 0;
    char buf[3] = {0};
    EXPECT_EQ(sys_write_complete(s, "abc", 3, &n), 0);
    EXPECT_EQ(sys_read_complete(a, buf, 3, &n), 0);
    EXPECT_EQ(std::string(buf, 3), "abc");
    sys_close_socket(a);
    sys_close_socket(s);
  }
}

TEST(NetTcp, ConnectToAClosedPortIsRefused) {
  unsigned short port = kvn_test::net_free_port();
  for (int max_wait_ms : {0, 2000}) {
    sys_socket_t s = 12345;
    EXPECT_EQ(sys_tcp_connect(&s, SYS_LOCALHOST, port, max_wait_ms, 0, 0), SYS_ERROR_ECONNREFUSED);
    EXPECT_EQ(s, SYS_INVALID_SOCKET);
  }
}

TEST(NetTcp, BoundedConnectToAPeerThatDoesNotAnswerTimesOut) {
  // A listener whose queue is full drops further handshakes, so the next
  // connect gets no answer.
  Listener l;
  ASSERT_EQ(listen(l.sock, 0), 0);
  std::vector<sys_socket_t> fillers;
  int rc = 0;
  Clock::time_point t0;
  sys_socket_t s = 12345;
  for (int i = 0; i < 8; ++i) {
    s = 12345;
    t0 = Clock::now();
    rc = sys_tcp_connect(&s, SYS_LOCALHOST, l.port, 500, 0, 0);
    if (rc != 0) break;
    fillers.push_back(s);
  }
  long long elapsed = ms_since(t0);
  for (sys_socket_t f : fillers) sys_close_socket(f);
  EXPECT_EQ(rc, SYS_ERROR_ETIMEDOUT);
  EXPECT_EQ(s, SYS_INVALID_SOCKET);
  EXPECT_GE(elapsed, 450);
  EXPECT_LT(elapsed, 10000);
}

TEST(NetTcp, AsyncConnectReturnsAtOnceWithANonBlockingSocket) {
  Listener l;
  sys_socket_t s = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_tcp_connect_async(&s, SYS_LOCALHOST, l.port, 0, 0), 0);
  bool blocking = true;
  EXPECT_EQ(sys_so_get_blocking(s, &blocking), 0);
  EXPECT_FALSE(blocking);
  int ready = 0;
  EXPECT_EQ(sys_poll1(s, SYS_POLL_WRITE, &ready, 5000), 0);
  EXPECT_TRUE(ready & SYS_POLL_WRITE);
  int err = -5;
  EXPECT_EQ(sys_so_get_so_error(s, &err), 0);
  EXPECT_EQ(err, 0);
  sys_close_socket(s);
}

TEST(NetPoll, AnErrorWakesEveryInterestAndTheNextCallReturnsIt) {
  unsigned short port = kvn_test::net_free_port();
  for (int interest : {SYS_POLL_WRITE, SYS_POLL_URGENT}) {
    sys_socket_t s = SYS_INVALID_SOCKET;
    int rc = sys_tcp_connect_async(&s, SYS_LOCALHOST, port, 0, 0);
    if (rc == SYS_ERROR_ECONNREFUSED) {
      EXPECT_EQ(s, SYS_INVALID_SOCKET);
      continue;  // refused before the call returned: nothing to poll
    }
    ASSERT_EQ(rc, 0);
    int ready = 0;
    ASSERT_EQ(sys_poll1(s, interest, &ready, 5000), 0);
    EXPECT_TRUE(ready & SYS_POLL_ERROR);
    EXPECT_TRUE(ready & interest) << interest;
    char b[4];
    int n = 7;
    EXPECT_EQ(sys_read(s, b, sizeof(b), &n), SYS_ERROR_ECONNREFUSED);
    EXPECT_EQ(n, 0);
    sys_close_socket(s);
  }
}

TEST(NetTcp, ServerOpenOnAPortInUseFailsWithoutASocket) {
  Listener l;
  sys_socket_t s = 12345;
  EXPECT_EQ(sys_tcp_server_open(&s, l.port, false, SYS_LOCALHOST, 0, 0), EADDRINUSE);
  EXPECT_EQ(s, SYS_INVALID_SOCKET);

  sys_socket_t a = 12345;
  ASSERT_EQ(sys_so_set_blocking(l.sock, false), 0);
  EXPECT_EQ(sys_tcp_accept(l.sock, &a, nullptr, nullptr), SYS_ERROR_EWOULDBLOCK);
  EXPECT_EQ(a, SYS_INVALID_SOCKET);
}

TEST(NetTcp, AcceptFromTakesOnlyTheAwaitedPeer) {
  Listener l;
  ASSERT_EQ(sys_so_set_blocking(l.sock, false), 0);
  sys_socket_t intruder = SYS_INVALID_SOCKET, wanted = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_tcp_connect(&intruder, SYS_LOCALHOST, l.port, 0, 0, 0), 0);
  ASSERT_EQ(sys_tcp_connect(&wanted, SYS_LOCALHOST, l.port, 0, 0, 0), 0);
  unsigned ip = 0;
  unsigned short port = 0;
  ASSERT_EQ(sys_getsockname(wanted, &ip, &port), 0);

  sys_socket_t a = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_tcp_accept_from(l.sock, &a, ip, port, 5000), 0);
  unsigned pip = 0;
  unsigned short pport = 0;
  ASSERT_EQ(sys_getpeername(a, &pip, &pport), 0);
  EXPECT_EQ(pip, ip);
  EXPECT_EQ(pport, port);

  // The intruder was accepted and closed.
  char b[1];
  int n = 0;
  int rc = sys_read_complete(intruder, b, 1, &n, 5000);
  EXPECT_TRUE(rc == SYS_ERROR_ECLOSED || rc == SYS_ERROR_ECONNRESET) << rc;

  // Nobody else comes: the wait ends.
  sys_socket_t none = 12345;
  EXPECT_EQ(sys_tcp_accept_from(l.sock, &none, ip, port, 100), SYS_ERROR_ETIMEDOUT);
  EXPECT_EQ(none, SYS_INVALID_SOCKET);
  sys_close_socket(a);
  sys_close_socket(intruder);
  sys_close_socket(wanted);
}

TEST(NetTcp, PipeOpenGivesTwoLoopbackEndsOfOneConnection) {
  for (bool should_block : {true, false}) {
    sys_socket_t s1 = SYS_INVALID_SOCKET, s2 = SYS_INVALID_SOCKET;
    ASSERT_EQ(sys_tcp_pipe_open(&s1, &s2, should_block), 0);
    unsigned l1 = 0, p1 = 0, l2 = 0, p2 = 0;
    unsigned short lp1 = 0, pp1 = 0, lp2 = 0, pp2 = 0;
    ASSERT_EQ(sys_getsockname(s1, &l1, &lp1), 0);
    ASSERT_EQ(sys_getpeername(s1, &p1, &pp1), 0);
    ASSERT_EQ(sys_getsockname(s2, &l2, &lp2), 0);
    ASSERT_EQ(sys_getpeername(s2, &p2, &pp2), 0);
    EXPECT_EQ(l1, p2);
    EXPECT_EQ(lp1, pp2);
    EXPECT_EQ(l2, p1);
    EXPECT_EQ(lp2, pp1);
    EXPECT_EQ(l2, SYS_LOCALHOST);

    for (sys_socket_t s : {s1, s2}) {
      bool blocking = !should_block;
      EXPECT_EQ(sys_so_get_blocking(s, &blocking), 0);
      EXPECT_EQ(blocking, should_block);
    }
    int n = 0;
    char b[2] = {0};
    EXPECT_EQ(sys_write_complete(s1, "\x00\x07", 2, &n, 1000), 0);
    EXPECT_EQ(sys_read_complete(s2, b, 2, &n, 1000), 0);
    EXPECT_EQ(b[1], 7);
    EXPECT_EQ(sys_write_complete(s2, "z", 1, &n, 1000), 0);
    EXPECT_EQ(sys_read_complete(s1, b, 1, &n, 1000), 0);
    EXPECT_EQ(b[0], 'z');
    sys_close_socket(s1);
    sys_close_socket(s2);
  }
}

TEST(NetIo, SingleReadsAndWritesReportCountsAndClosedPeers) {
  Connection c;
  char b[10];
  int n = 7;
  EXPECT_EQ(sys_read(c.server, b, 0, &n), 0);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(sys_write(c.client, "hello", 5, &n), 0);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(sys_write_socket(c.client, "!", 1, &n), 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(sys_read_complete(c.server, b, 6, &n), 0);
  EXPECT_EQ(std::string(b, 6), "hello!");

  sys_close_socket(c.client);
  c.client = SYS_INVALID_SOCKET;
  n = 7;
  EXPECT_EQ(sys_read(c.server, b, 10, &n), SYS_ERROR_ECLOSED);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(sys_read(-1, b, 10, &n), SYS_ERROR_EBADF);
  EXPECT_EQ(n, 0);
}

TEST(NetIo, CompleteTransfersSurviveSignalsAndReportPartialCounts) {
  SignalCounter usr1(SIGUSR1);
  Connection c;
  char b[10];
  int n = 0;
  // The blocked read is interrupted many times before the data comes.
  const pthread_t reader = pthread_self();
  std::thread writer([&c, reader] {
    {
      Interrupter interrupt(reader);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    int w = 0;
    sys_write_complete(c.client, "0123456789", 10, &w);
  });
  EXPECT_EQ(sys_read_complete(c.server, b, 10, &n), 0);
  writer.join();
  EXPECT_EQ(n, 10);
  EXPECT_EQ(std::string(b, 10), "0123456789");
  EXPECT_GT(usr1.count(), 0);

  // The peer closes after 4 of 10 bytes.
  EXPECT_EQ(sys_write_complete(c.client, "abcd", 4, &n), 0);
  sys_close_socket(c.client);
  c.client = SYS_INVALID_SOCKET;
  n = 0;
  EXPECT_EQ(sys_read_complete(c.server, b, 10, &n), SYS_ERROR_ECLOSED);
  EXPECT_EQ(n, 4);
}

TEST(NetIo, BoundedReadOfASilentPeerTimesOutWithTheCountSoFar) {
  Connection c;
  int n = 0;
  ASSERT_EQ(sys_write_complete(c.client, "abc", 3, &n), 0);
  char b[10];
  n = 0;
  Clock::time_point t0 = Clock::now();
  EXPECT_EQ(sys_read_complete(c.server, b, 10, &n, 100), SYS_ERROR_ETIMEDOUT);
  EXPECT_GE(ms_since(t0), 90);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(std::string(b, 3), "abc");
}

TEST(NetIo, BoundedWriteToAPeerThatDoesNotReadTimesOut) {
  Connection c;
  ASSERT_EQ(sys_so_set_send_size(c.client, 4096), 0);
  ASSERT_EQ(sys_so_set_recv_size(c.server, 4096), 0);
  std::vector<char> big(64 << 20, 'x');
  int n = 0;
  typedef int (*BoundedWriter)(sys_socket_t, const void*, int, int*, int);
  const BoundedWriter writers[] = {sys_write_complete, sys_write_socket_complete};
  for (BoundedWriter writer : writers) {
    n = 0;
    EXPECT_EQ(writer(c.client, big.data(), static_cast<int>(big.size()), &n, 100),
              SYS_ERROR_ETIMEDOUT);
    EXPECT_LT(n, static_cast<int>(big.size()));
  }
}

TEST(NetIo, WritesToAVanishedPeerGiveAnErrorNotSIGPIPE) {
  SignalCounter pipe_signals(SIGPIPE);
  typedef int (*Writer)(sys_socket_t, const void*, int, int*);
  auto bounded = [](sys_socket_t s, const void* b, int nb, int* w) {
    return sys_write_complete(s, b, nb, w, 1000);
  };
  auto bounded_socket = [](sys_socket_t s, const void* b, int nb, int* w) {
    return sys_write_socket_complete(s, b, nb, w, 1000);
  };
  const Writer writers[] = {sys_write, sys_write_socket, sys_write_complete, bounded,
                            bounded_socket};
  for (Writer writer : writers) {
    Connection c;
    sys_close_socket(c.server);
    c.server = SYS_INVALID_SOCKET;
    // The first write may still be accepted; the peer's reset makes a later
    // one fail.
    std::vector<char> data(65536, 'x');
    int rc = 0;
    for (int i = 0; i < 100 && rc == 0; ++i) {
      int w = 0;
      rc = writer(c.client, data.data(), static_cast<int>(data.size()), &w);
      if (rc == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(rc == SYS_ERROR_ECLOSED || rc == SYS_ERROR_ECONNRESET) << rc;
  }
  EXPECT_EQ(pipe_signals.count(), 0);
}

TEST(NetPipes, OpenCarryAndCloseWithCombinedErrors) {
  sys_socket_t r = SYS_INVALID_SOCKET, w = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_pipe_open(&r, &w, true, false), 0);
  for (sys_socket_t s : {r, w}) {
    bool blocking = true;
    EXPECT_EQ(sys_so_get_blocking(s, &blocking), 0);
    EXPECT_FALSE(blocking);
  }
  int n = 0;
  char b[4];
  EXPECT_EQ(sys_read(r, b, 4, &n), SYS_ERROR_EWOULDBLOCK);
  EXPECT_EQ(sys_write_complete(w, "pipe", 4, &n), 0);
  EXPECT_EQ(sys_read_complete(r, b, 4, &n, 1000), 0);
  EXPECT_EQ(std::string(b, 4), "pipe");

  // A hung-up pipe is reported as closed, not as a time-out.
  close(w);
  n = 5;
  EXPECT_EQ(sys_read_complete(r, b, 4, &n, 1000), SYS_ERROR_ECLOSED);
  EXPECT_EQ(n, 0);
  // Only the write end fails.
  EXPECT_EQ(sys_pipe_close(r, w, true), SYS_ERROR_EBADF);
  // Both fail.
  EXPECT_EQ(sys_pipe_close(r, w, true), (SYS_ERROR_EBADF << 16) | SYS_ERROR_EBADF);
}

TEST(NetPoll, PollsArraysInPlaceAndTimesOut) {
  Connection c;
  int n = 0;
  ASSERT_EQ(sys_write_complete(c.client, "x", 1, &n), 0);
  sys_poll_sock_t socks[3] = {
      {c.server, SYS_POLL_READ, 99},
      {c.listener.sock, SYS_POLL_READ, 99},
      {c.client, SYS_POLL_WRITE, 99},
  };
  int ready = -1;
  ASSERT_EQ(sys_poll(socks, 3, &ready, 5000), 0);
  EXPECT_EQ(ready, 2);
  EXPECT_EQ(socks[0].events_ready, SYS_POLL_READ);
  EXPECT_EQ(socks[1].events_ready, 0);
  EXPECT_EQ(socks[2].events_ready, SYS_POLL_WRITE);

  sys_poll_sock_t idle[1] = {{c.listener.sock, SYS_POLL_READ, 99}};
  EXPECT_EQ(sys_poll(idle, 1, &ready, 20), 0);
  EXPECT_EQ(ready, 0);
  EXPECT_EQ(idle[0].events_ready, 0);

  int bits = 99;
  EXPECT_EQ(sys_poll1(c.listener.sock, SYS_POLL_READ, &bits, 0), 0);
  EXPECT_EQ(bits, 0);
  EXPECT_EQ(sys_poll1_complete(c.server, SYS_POLL_READ, &bits, 0), 0);
  EXPECT_EQ(bits, SYS_POLL_READ);
}

TEST(NetPoll, CompletePollWaitsOutItsTimeThroughSignals) {
  SignalCounter usr1(SIGUSR1);
  Listener l;
  int bits = 99;
  {
    Interrupter interrupt(pthread_self());
    EXPECT_EQ(sys_poll1(l.sock, SYS_POLL_READ, &bits, 5000), SYS_ERROR_EINTR);
    Clock::time_point t0 = Clock::now();
    bits = 99;
    EXPECT_EQ(sys_poll1_complete(l.sock, SYS_POLL_READ, &bits, 300), 0);
    EXPECT_GE(ms_since(t0), 280);
    EXPECT_EQ(bits, 0);
  }
  EXPECT_GT(usr1.count(), 1);
}

TEST(NetOptions, ClampsBufferSizesAndRoundTripsFlags) {
  Connection c;
  auto send_size_after = [&](int requested) {
    EXPECT_EQ(sys_so_set_send_size(c.client, requested), 0);
    int size = 0;
    EXPECT_EQ(sys_so_get_send_size(c.client, &size), 0);
    return size;
  };
  auto recv_size_after = [&](int requested) {
    EXPECT_EQ(sys_so_set_recv_size(c.client, requested), 0);
    int size = 0;
    EXPECT_EQ(sys_so_get_recv_size(c.client, &size), 0);
    return size;
  };
  EXPECT_EQ(send_size_after(1000000), send_size_after(262142));
  EXPECT_EQ(send_size_after(-5), send_size_after(1));
  EXPECT_EQ(send_size_after(0), send_size_after(1));
  EXPECT_EQ(recv_size_after(-5), recv_size_after(1));
  EXPECT_LT(send_size_after(1), send_size_after(65536));

  bool on = false;
  EXPECT_EQ(sys_so_set_keepalive(c.client, true), 0);
  EXPECT_EQ(sys_so_get_keepalive(c.client, &on), 0);
  EXPECT_TRUE(on);
  EXPECT_EQ(sys_so_set_keepalive(c.client, false), 0);
  EXPECT_EQ(sys_so_get_keepalive(c.client, &on), 0);
  EXPECT_FALSE(on);

  int mss = 0;
  EXPECT_EQ(sys_so_get_tcp_maxseg(c.client, &mss), 0);
  EXPECT_GT(mss, 0);
  int err = -5;
  EXPECT_EQ(sys_so_get_so_error(c.client, &err), 0);
  EXPECT_EQ(err, 0);
}

}  // namespace
