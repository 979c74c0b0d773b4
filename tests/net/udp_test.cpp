// UDP datagrams, arrival time stamps and multicast on the loopback interface,
// between sockets made with the library's own calls.
#include <tavo/sys/networking>

#include <gtest/gtest.h>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

using namespace KVN;

namespace {

const unsigned TEST_GROUP = (224u << 24) | (0u << 16) | (76u << 8) | 77u;  // 224.0.76.77

struct UdpSocket {
  explicit UdpSocket(unsigned ip = SYS_LOCALHOST, unsigned short p = 0, bool reuse = false) {
    rc = sys_udp_bind(&sock, ip, p, reuse);
    unsigned a = 0;
    if (rc == 0) sys_getsockname(sock, &a, &port);
  }
  ~UdpSocket() { sys_close_socket(sock); }
  int rc = -1;
  sys_socket_t sock = SYS_INVALID_SOCKET;
  unsigned short port = 0;
};

long long usec_of(sys_time_t sec, unsigned usec) {
  return static_cast<long long>(sec) * 1000000 + usec;
}

long long now_usec() {
  sys_time_t sec = 0;
  unsigned usec = 0;
  sys_gettimeofday(&sec, &usec);
  return usec_of(sec, usec);
}

// Turns on multicast on the loopback interface; "" when it is on, else why
// not.
std::string enable_loopback_multicast() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return "no socket for the interface request";
  ifreq ifr;
  memset(&ifr, 0, sizeof(ifr));
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  std::string why;
  if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
    why = std::string("cannot read the flags of lo: ") + strerror(errno);
  } else if (!(ifr.ifr_flags & IFF_MULTICAST)) {
    ifr.ifr_flags |= IFF_MULTICAST;
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
      why = std::string("the kernel refused to enable multicast on lo: ") + strerror(errno);
  }
  close(s);
  return why;
}

TEST(NetUdp, CarriesDatagramsWithTheSenderAddress) {
  UdpSocket a, b;
  ASSERT_EQ(a.rc, 0);
  ASSERT_EQ(b.rc, 0);
  char msg[] = "datagram";
  int n = 0;
  ASSERT_EQ(sys_sendto(a.sock, msg, 8, &n, SYS_LOCALHOST, b.port), 0);
  EXPECT_EQ(n, 8);
  int ready = 0;
  ASSERT_EQ(sys_poll1(b.sock, SYS_POLL_READ, &ready, 5000), 0);
  ASSERT_TRUE(ready & SYS_POLL_READ);
  char buf[64];
  unsigned from = 0;
  unsigned short from_port = 0;
  ASSERT_EQ(sys_recvfrom(b.sock, buf, sizeof(buf), &n, &from, &from_port), 0);
  EXPECT_EQ(std::string(buf, n), "datagram");
  EXPECT_EQ(from, SYS_LOCALHOST);
  EXPECT_EQ(from_port, a.port);

  // The sender's address is optional.
  ASSERT_EQ(sys_sendto(b.sock, msg, 3, &n, SYS_LOCALHOST, a.port), 0);
  ASSERT_EQ(sys_poll1(a.sock, SYS_POLL_READ, &ready, 5000), 0);
  ASSERT_EQ(sys_recvfrom(a.sock, buf, sizeof(buf), &n, nullptr, nullptr), 0);
  EXPECT_EQ(std::string(buf, n), "dat");

  // Nothing waiting on a non-blocking socket.
  ASSERT_EQ(sys_so_set_blocking(a.sock, false), 0);
  n = 5;
  EXPECT_EQ(sys_recvfrom(a.sock, buf, sizeof(buf), &n, nullptr, nullptr), SYS_ERROR_EWOULDBLOCK);
  EXPECT_EQ(n, 0);
}

TEST(NetUdp, BindingATakenPortFailsUnlessBothReuseIt) {
  UdpSocket first;
  ASSERT_EQ(first.rc, 0);
  sys_socket_t s = 12345;
  EXPECT_EQ(sys_udp_bind(&s, SYS_LOCALHOST, first.port, false), EADDRINUSE);
  EXPECT_EQ(s, SYS_INVALID_SOCKET);

  sys_socket_t r1 = SYS_INVALID_SOCKET, r2 = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_udp_open(&r1, 0, true), 0);
  unsigned ip = 0;
  unsigned short port = 0;
  ASSERT_EQ(sys_getsockname(r1, &ip, &port), 0);
  EXPECT_EQ(ip, 0u);  // any interface
  EXPECT_EQ(sys_udp_open(&r2, port, true), 0);
  sys_close_socket(r1);
  sys_close_socket(r2);
}

// Sends one datagram from a to b, receives it well after its arrival and
// returns the arrival time it was given, with the times of sending and of
// the start of the receive.
struct Arrival {
  long long sent, before_recv, arrival;
};
Arrival time_one_datagram(const UdpSocket& a, const UdpSocket& b) {
  int n = 0;
  char msg[] = "t";
  EXPECT_EQ(sys_sendto(a.sock, msg, 1, &n, SYS_LOCALHOST, b.port), 0);
  Arrival t;
  t.sent = now_usec();
  usleep(200000);
  t.before_recv = now_usec();
  char buf[8];
  sys_time_t sec = -1;
  unsigned usec = 1;
  EXPECT_EQ(sys_recvfrom(b.sock, buf, sizeof(buf), &n, nullptr, nullptr, &sec, &usec), 0);
  EXPECT_EQ(n, 1);
  EXPECT_LT(usec, 1000000u);
  t.arrival = usec_of(sec, usec);
  return t;
}

TEST(NetUdp, ArrivalTimeComesFromTheSystemStampWhenEnabled) {
  UdpSocket a, b;
  ASSERT_EQ(a.rc, 0);
  ASSERT_EQ(b.rc, 0);
  Arrival t = time_one_datagram(a, b);
  EXPECT_GE(t.arrival, t.before_recv) << "without stamps the time of reception is used";

  // The system may switch stamping on lazily and stamp the first datagrams at
  // reception, so a few are tried.
  ASSERT_EQ(sys_so_set_timestamp(b.sock), 0);
  bool stamped = false;
  for (int i = 0; i < 5 && !stamped; ++i) {
    t = time_one_datagram(a, b);
    stamped = t.arrival <= t.sent + 100000;
  }
  EXPECT_TRUE(stamped) << "the stamp should be the arrival time, " << t.before_recv - t.arrival
                       << " us before the receive";
  EXPECT_GT(t.arrival, t.sent - 10000000);
}

TEST(NetMulticast, DeliversToMembersOfTheGroupOnLoopback) {
  const std::string why = enable_loopback_multicast();
  if (!why.empty()) GTEST_SKIP() << "multicast on lo is not available: " << why;

  sys_socket_t member = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_udp_open(&member, 0, true), 0);
  unsigned ip = 0;
  unsigned short port = 0;
  ASSERT_EQ(sys_getsockname(member, &ip, &port), 0);
  ASSERT_EQ(sys_mcast_join(member, TEST_GROUP, SYS_LOCALHOST), 0);
  // Joining twice is an error of the system's.
  EXPECT_NE(sys_mcast_join(member, TEST_GROUP, SYS_LOCALHOST), 0);

  UdpSocket sender;
  ASSERT_EQ(sender.rc, 0);
  ASSERT_EQ(sys_so_set_mcast_if(sender.sock, SYS_LOCALHOST), 0);
  unsigned iface = 0;
  ASSERT_EQ(sys_so_get_mcast_if(sender.sock, &iface), 0);
  EXPECT_EQ(iface, SYS_LOCALHOST);
  for (int ttl : {1, 0}) {
    int got = -1;
    ASSERT_EQ(sys_so_set_ttl(sender.sock, ttl), 0);
    ASSERT_EQ(sys_so_get_ttl(sender.sock, &got), 0);
    EXPECT_EQ(got, ttl);
  }

  char msg[] = "to the group";
  int n = 0;
  ASSERT_EQ(sys_sendto(sender.sock, msg, 12, &n, TEST_GROUP, port), 0);
  int ready = 0;
  ASSERT_EQ(sys_poll1(member, SYS_POLL_READ, &ready, 5000), 0);
  ASSERT_TRUE(ready & SYS_POLL_READ) << "no multicast datagram arrived";
  char buf[64];
  unsigned from = 0;
  unsigned short from_port = 0;
  ASSERT_EQ(sys_recvfrom(member, buf, sizeof(buf), &n, &from, &from_port), 0);
  EXPECT_EQ(std::string(buf, n), "to the group");
  EXPECT_EQ(from_port, sender.port);

  ASSERT_EQ(sys_mcast_unjoin(member, TEST_GROUP, SYS_LOCALHOST), 0);
  EXPECT_NE(sys_mcast_unjoin(member, TEST_GROUP, SYS_LOCALHOST), 0);
  ASSERT_EQ(sys_sendto(sender.sock, msg, 12, &n, TEST_GROUP, port), 0);
  EXPECT_EQ(sys_poll1(member, SYS_POLL_READ, &ready, 200), 0);
  EXPECT_EQ(ready, 0) << "a datagram arrived after leaving the group";
  sys_close_socket(member);
}

}  // namespace
