// Sockets, pipes, polling, name conversion and socket options over POSIX.
#include <tavo/TmpBuffer>
#include <tavo/private/logging>
#include <tavo/sys/networking>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace KVN {

static_assert(sizeof(sys_poll_sock_t) == sizeof(pollfd), "sys_poll_sock_t must match pollfd");
static_assert(offsetof(sys_poll_sock_t, sock) == offsetof(pollfd, fd), "pollfd.fd");
static_assert(offsetof(sys_poll_sock_t, events) == offsetof(pollfd, events), "pollfd.events");
static_assert(offsetof(sys_poll_sock_t, events_ready) == offsetof(pollfd, revents),
              "pollfd.revents");
static_assert(SYS_POLL_READ == POLLIN && SYS_POLL_URGENT == POLLPRI && SYS_POLL_WRITE == POLLOUT &&
                  SYS_POLL_ERROR == POLLERR && SYS_POLL_HANGUP == POLLHUP,
              "poll bits are the POSIX values");

namespace {

// Send buffers beyond this are not requested.
const int MAX_SEND_SIZE = 262142;
// The resolver's work buffer is not grown past this.
const size_t MAX_RESOLVER_BUFFER = 16000000;
const size_t SERVICE_BUFFER_SIZE = 256;
const size_t PARSE_BUFFER_SIZE = 512;
const size_t HOSTNAME_BUFFER_SIZE = 512;
const int PIPE_ACCEPT_WAIT_MS = 1000;

int last_error() {
  return sys_get_socket_errno(-1);
}

sockaddr_in make_sockaddr(unsigned ip, unsigned short port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(ip);
  sa.sin_port = htons(port);
  return sa;
}

// Reads an IPv4 address and port out of a socket address; 0 and 0 for any
// other family.
void split_sockaddr(const sockaddr_storage& ss, unsigned* ip, unsigned short* port) {
  unsigned a = 0;
  unsigned short p = 0;
  if (ss.ss_family == AF_INET) {
    const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(&ss);
    a = ntohl(sa->sin_addr.s_addr);
    p = ntohs(sa->sin_port);
  }
  if (ip) *ip = a;
  if (port) *port = p;
}

int set_int_option(sys_socket_t sock, int level, int name, int value) {
  if (setsockopt(sock, level, name, &value, sizeof(value)) != 0) return last_error();
  return 0;
}

int get_int_option(sys_socket_t sock, int level, int name, int* value) {
  int v = 0;
  socklen_t len = sizeof(v);
  if (getsockopt(sock, level, name, &v, &len) != 0) return last_error();
  *value = v;
  return 0;
}

// Buffer sizes only tune the socket: a failure is worth a warning, not a
// failed call.
void set_buffer_sizes(sys_socket_t sock, int send_size, int recv_size) {
  int rc = sys_so_set_send_size(sock, send_size ? send_size : SYS_MAX_SOCKET_BUFFER_SIZE);
  if (rc) TAVO_WARN("set_send_sockopt() failed to set sockopt send buff size e:" << rc << "\n");
  rc = sys_so_set_recv_size(sock, recv_size ? recv_size : SYS_MAX_SOCKET_BUFFER_SIZE);
  if (rc) TAVO_WARN("set_recv_sockopt() failed to set sockopt recv buff size e:" << rc << "\n");
}

// Closes *sock, stores -1 and hands back err: the exit of every TCP and UDP
// function that fails after creating its socket.
int fail_closed(sys_socket_t* sock, sys_socket_t s, int err) {
  sys_close_socket(s);
  *sock = SYS_INVALID_SOCKET;
  return err;
}

int64_t wall_ms() {
  sys_time_t sec = 0;
  unsigned usec = 0;
  sys_gettimeofday(&sec, &usec);
  return static_cast<int64_t>(sec) * 1000 + usec / 1000;
}

// The error rule of polling: an error wakes every interest of the caller.
short apply_error_rule(short interest, short ready) {
  return (ready & POLLERR) ? static_cast<short>(ready | interest) : ready;
}

// One write that never raises SIGPIPE: send with MSG_NOSIGNAL (and the
// caller's flags) on sockets, plain write on anything else (pipes, files).
ssize_t write_no_signal(sys_socket_t sock, const void* bytes, size_t n, int flags) {
  ssize_t rc = send(sock, bytes, n, MSG_NOSIGNAL | flags);
  if (rc < 0 && errno == ENOTSOCK) rc = write(sock, bytes, n);
  return rc;
}

// The count-and-error rule of a single transfer.
int finish_transfer(ssize_t rc, int nbytes, int* count) {
  if (rc < 0) {
    *count = 0;
    return last_error();
  }
  *count = static_cast<int>(rc);
  return (rc == 0 && nbytes > 0) ? SYS_ERROR_ECLOSED : 0;
}

// Moves all nbytes with transfer_once, retrying interruptions; the count moved
// so far is stored whatever the result.
template <class Once>
int transfer_complete(int nbytes, int* count, Once transfer_once) {
  int done = 0;
  int rc = 0;
  while (done < nbytes) {
    ssize_t n = transfer_once(done);
    if (n > 0) {
      done += static_cast<int>(n);
    } else if (n == 0) {
      rc = SYS_ERROR_ECLOSED;
      break;
    } else if (errno == EINTR) {
      errno = 0;
    } else {
      rc = last_error();
      break;
    }
  }
  *count = done;
  return rc;
}

// Moves all nbytes, waiting at most max_inactivity_ms for each step of
// progress. A hang-up or invalid descriptor lets the transfer run, so the
// caller gets its precise error rather than a time-out.
template <class Once>
int transfer_bounded(sys_socket_t sock, int wanted, int nbytes, int* count, int max_inactivity_ms,
                     Once transfer_once) {
  int done = 0;
  int rc = 0;
  while (done < nbytes) {
    int ready = 0;
    rc = sys_poll1_complete(sock, wanted, &ready, max_inactivity_ms);
    if (rc) break;
    if (!(ready & (wanted | POLLHUP | POLLNVAL))) {
      rc = SYS_ERROR_ETIMEDOUT;
      break;
    }
    int n = 0;
    rc = transfer_once(done, &n);
    if (rc == 0) {
      done += n;
    } else if (rc == SYS_ERROR_EINTR || rc == SYS_ERROR_EWOULDBLOCK) {
      rc = 0;
    } else {
      break;
    }
  }
  *count = done;
  return rc;
}

// Host name to the first IPv4 address of the answer, through the reentrant
// resolver. The work buffer starts inline and grows sixteenfold while the
// resolver finds it too small.
int resolve_host(const char* name, unsigned* ip) {
  TmpBuffer<512> work;
  hostent he;
  hostent* result = nullptr;
  int herr = 0;
  int rc;
  for (;;) {
    rc = gethostbyname_r(name, &he, reinterpret_cast<char*>(work.data()), work.capacity(), &result,
                         &herr);
    if (rc != ERANGE || work.capacity() > MAX_RESOLVER_BUFFER) break;
    work.reserve(work.capacity() * 16);
  }
  if (rc != 0) return rc;
  if (result == nullptr || result->h_addrtype != AF_INET || result->h_length != 4 ||
      result->h_addr_list[0] == nullptr) {
    switch (herr) {
      case 0:
        return -1;
      case HOST_NOT_FOUND:
        return ENOENT;
      case TRY_AGAIN:
        return EAGAIN;
      case NO_RECOVERY:
        return ENOMEM;
      case NO_DATA:
        return ENODATA;
      default:
        return herr;
    }
  }
  in_addr a;
  memcpy(&a, result->h_addr_list[0], sizeof(a));
  *ip = ntohl(a.s_addr);
  return 0;
}

int lookup_service(const char* name, const char* proto, unsigned short* port) {
  char work[SERVICE_BUFFER_SIZE];
  servent se;
  servent* result = nullptr;
  int rc = getservbyname_r(name, proto, &se, work, sizeof(work), &result);
  if (rc != 0) return rc;
  if (result == nullptr) return -1;
  *port = ntohs(static_cast<uint16_t>(result->s_port));
  return 0;
}

// The UDP open functions differ only in their log texts.
struct UdpTexts {
  const char* socket_failed;
  const char* reuse_failed;
  const char* bind_failed;
};
const UdpTexts UDP_BIND_TEXTS = {
    "sys_udp_open socket() errno:", "sys_udp_open SO_REUSEADDR errno:", "sys_udp_open bind("};
const UdpTexts UDP_OPEN_TEXTS = {"socket() in sys_udp_open() errno:",
                                 "sys_udp_open() SO_REUSEADDR errno:", "sys_udp_open() bind("};

int udp_open(sys_socket_t* sock, unsigned ip, unsigned short port, bool reuse_flag,
             const UdpTexts& texts) {
  sys_socket_t s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s < 0) {
    int err = last_error();
    TAVO_ERROR(texts.socket_failed << err << "\n");
    return err;
  }
  if (reuse_flag) {
    int rc = set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
    if (rc) {
      TAVO_ERROR(texts.reuse_failed << rc << "\n");
      return fail_closed(sock, s, rc);
    }
  }
  sockaddr_in sa = make_sockaddr(ip, port);
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    int err = last_error();
    TAVO_ERROR(texts.bind_failed << port << ") errno:" << err << "\n");
    return fail_closed(sock, s, err);
  }
  *sock = s;
  return 0;
}

int mcast_membership(sys_socket_t sock, int option, unsigned mcast_ip, unsigned iface_ip,
                     const char* what) {
  ip_mreq mreq;
  memset(&mreq, 0, sizeof(mreq));
  mreq.imr_multiaddr.s_addr = htonl(mcast_ip);
  mreq.imr_interface.s_addr = htonl(iface_ip);
  if (setsockopt(sock, IPPROTO_IP, option, &mreq, sizeof(mreq)) != 0) {
    int err = last_error();
    TAVO_ERROR(what << sys_ip_to_string(mcast_ip) << "-" << sys_ip_to_string(iface_ip)
                    << " fd=" << sock << "errno:" << err << "\n");
    return err;
  }
  return 0;
}

// Binds a Unix-domain socket, replacing a stale socket file left at the path
// by an earlier server. Other kinds of file are never removed.
int bind_unix(sys_socket_t s, const sockaddr_un& sa) {
  if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0) return 0;
  int err = last_error();
  struct stat st;
  if (lstat(sa.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) return err;
  unlink(sa.sun_path);
  if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0) return 0;
  return last_error();
}

// The control block of a message that carries one descriptor.
union FdControl {
  char buf[CMSG_SPACE(sizeof(int))];
  cmsghdr align;
};
static_assert(sizeof(FdControl) == 24, "one access-rights record");

// The control block of a time-stamped datagram.
union TimestampControl {
  char buf[CMSG_SPACE(sizeof(timeval))];
  cmsghdr align;
};
static_assert(sizeof(TimestampControl) == 32, "one time-stamp record");

}  // namespace

int sys_get_socket_errno(int default_error) {
  return errno ? errno : default_error;
}
void sys_set_socket_errno(int err) {
  errno = err;
}

std::ostream& operator<<(std::ostream& os, const ip_address& a) {
  return os << (a.port ? sys_ip_port_to_string(a.addr, a.port) : sys_ip_to_string(a.addr));
}

// --- Descriptors and blocking mode ---

int sys_close_socket(sys_socket_t sock) {
  if (sock == SYS_INVALID_SOCKET) return 0;
  return close(sock) == 0 ? 0 : last_error();
}

int sys_so_set_blocking(sys_socket_t sock, bool should_block) {
  int flags = fcntl(sock, F_GETFL, 0);
  if (flags < 0) return last_error();
  int wanted = should_block ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (wanted != flags && fcntl(sock, F_SETFL, wanted) < 0) return last_error();
  return 0;
}

int sys_so_get_blocking(sys_socket_t sock, bool* block_mode) {
  int flags = fcntl(sock, F_GETFL, 0);
  if (flags < 0) return last_error();
  *block_mode = (flags & O_NONBLOCK) == 0;
  return 0;
}

int sys_so_set_close_on_exec(sys_socket_t sock, bool should_close) {
  int flags = fcntl(sock, F_GETFD, 0);
  if (flags < 0) return last_error();
  int wanted = should_close ? (flags | FD_CLOEXEC) : (flags & ~FD_CLOEXEC);
  if (wanted != flags && fcntl(sock, F_SETFD, wanted) < 0) return last_error();
  return 0;
}

int sys_so_get_close_on_exec(sys_socket_t sock, bool* close_mode) {
  int flags = fcntl(sock, F_GETFD, 0);
  if (flags < 0) return last_error();
  *close_mode = (flags & FD_CLOEXEC) != 0;
  return 0;
}

// --- Name and address conversion ---

int sys_name_to_ip(const char* host_string, unsigned* ip_address) {
  if (host_string == nullptr) return SYS_ERROR_EINVAL;
  in_addr a;
  if (inet_pton(AF_INET, host_string, &a) == 1) {
    *ip_address = ntohl(a.s_addr);
    return 0;
  }
  return resolve_host(host_string, ip_address);
}

unsigned sys_name_to_ip_w_default(const char* host_string, unsigned default_ip) {
  unsigned ip = default_ip;
  return sys_name_to_ip(host_string, &ip) == 0 ? ip : default_ip;
}

int sys_name_to_port(const char* port_string, unsigned short* port) {
  if (port_string == nullptr) return SYS_ERROR_EINVAL;
  if (port_string[0] >= '0' && port_string[0] <= '9') {
    *port = static_cast<unsigned short>(atoi(port_string));
    return 0;
  }
  char name[SERVICE_BUFFER_SIZE];
  size_t len = strlen(port_string);
  if (len >= sizeof(name)) return SYS_ERROR_EINVAL;
  memcpy(name, port_string, len + 1);
  char* slash = strchr(name, '/');
  if (slash) {
    *slash = 0;
    return lookup_service(name, slash + 1, port);
  }
  if (lookup_service(name, "tcp", port) == 0) return 0;
  return lookup_service(name, "udp", port);
}

unsigned short sys_name_to_port_w_default(const char* port_string, unsigned short default_port) {
  unsigned short port = default_port;
  return sys_name_to_port(port_string, &port) == 0 ? port : default_port;
}

int sys_parse_ip_port(const char* input_string, unsigned* ip, unsigned short* port,
                      unsigned short def_port) {
  if (input_string == nullptr) return SYS_ERROR_EINVAL;
  char text[PARSE_BUFFER_SIZE];
  size_t len = strlen(input_string);
  if (len >= sizeof(text)) return SYS_ERROR_EINVAL;
  memcpy(text, input_string, len + 1);

  unsigned a = 0;
  unsigned short p = def_port;
  char* colon = strchr(text, ':');
  if (colon) {
    *colon = 0;
    int port_rc = sys_name_to_port(colon + 1, &p);
    int ip_rc = sys_name_to_ip(text, &a);
    if (ip_rc) return ip_rc;
    if (port_rc) return port_rc;
  } else {
    if (def_port == 0) return -1;
    int ip_rc = sys_name_to_ip(text, &a);
    if (ip_rc) return ip_rc;
  }
  *ip = a;
  *port = p;
  return 0;
}

unsigned sys_ip_to_string(unsigned ip, char* dest) {
  int n = snprintf(dest, SYS_MAX_IP_PORT_STRING, "%i.%i.%i.%i", (ip >> 24) & 0xFF,
                   (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
  return static_cast<unsigned>(n);
}

unsigned sys_ip_port_to_string(unsigned ip, unsigned short port, char* dest) {
  int n = snprintf(dest, SYS_MAX_IP_PORT_STRING, "%i.%i.%i.%i:%i", (ip >> 24) & 0xFF,
                   (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF, static_cast<int>(port));
  return static_cast<unsigned>(n);
}

std::string sys_ip_to_string(unsigned ip) {
  char buf[SYS_MAX_IP_PORT_STRING];
  return std::string(buf, sys_ip_to_string(ip, buf));
}

std::string sys_ip_port_to_string(unsigned ip, unsigned short port) {
  char buf[SYS_MAX_IP_PORT_STRING];
  return std::string(buf, sys_ip_port_to_string(ip, port, buf));
}

int sys_gethostname(char* name, int namelen) {
  int rc = gethostname(name, namelen > 0 ? static_cast<size_t>(namelen) : 0);
  if (rc == 0) return 0;
  int err = last_error();
  TAVO_ERROR("sys_gethostname() errno: " << rc << "\n");
  if (namelen > 0) {
    strncpy(name, "localhost", static_cast<size_t>(namelen));
    name[namelen - 1] = 0;
  }
  return err;
}

std::string sys_gethostname() {
  char buf[HOSTNAME_BUFFER_SIZE];
  sys_gethostname(buf, sizeof(buf));
  buf[sizeof(buf) - 1] = 0;
  return buf;
}

int sys_getsockname(sys_socket_t sock, unsigned* local_address, unsigned short* local_port) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return last_error();
  if (ss.ss_family != AF_INET) return SYS_ERROR_EAFNOSUPPORT;
  split_sockaddr(ss, local_address, local_port);
  return 0;
}

int sys_getpeername(sys_socket_t sock, unsigned* peer_address, unsigned short* peer_port) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return last_error();
  if (ss.ss_family != AF_INET) return SYS_ERROR_EAFNOSUPPORT;
  split_sockaddr(ss, peer_address, peer_port);
  return 0;
}

int sys_getpeername(sys_socket_t sock, std::string* peer_hostname, unsigned short* peer_port) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return last_error();
  char host[NI_MAXHOST];
  int rc = getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, host, sizeof(host), nullptr, 0, 0);
  if (rc != 0) return rc;
  unsigned short p = 0;
  split_sockaddr(ss, nullptr, &p);
  *peer_hostname = host;
  *peer_port = p;
  return 0;
}

std::string sys_get_peer_hostname_port(sys_socket_t sock) {
  std::string host;
  unsigned short port = 0;
  int rc = sys_getpeername(sock, &host, &port);
  if (rc) {
    TAVO_WARN("sys_getpeername() err = " << rc << "\n");
    return std::string();
  }
  return host + ":" + std::to_string(port);
}

// --- TCP ---

int sys_tcp_connect(sys_socket_t* sock, unsigned ip_address, unsigned short port, int max_wait_ms,
                    int send_size, int recv_size) {
  sys_socket_t s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s < 0) {
    int err = last_error();
    TAVO_ERROR("socket() in sys_tcp_connect errno: " << err << "\n");
    return err;
  }
  set_buffer_sizes(s, send_size, recv_size);
  const bool bounded = max_wait_ms > 0;
  if (bounded) {
    int rc = sys_so_set_blocking(s, false);
    if (rc) {
      TAVO_ERROR("sys_so_set_blocking() in sys_tcp_connect errno:" << rc << "\n");
      return fail_closed(sock, s, rc);
    }
  }

  sockaddr_in sa = make_sockaddr(ip_address, port);
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0) {
    if (bounded) sys_so_set_blocking(s, true);
    *sock = s;
    return 0;
  }
  int err = last_error();
  // A blocking connect interrupted by a signal goes on in the background: wait
  // for it rather than report the interruption.
  const bool pending = bounded ? err == SYS_ERROR_EINPROGRESS : err == SYS_ERROR_EINTR;
  if (!pending) return fail_closed(sock, s, err);

  int ready = 0;
  int rc = sys_poll1_complete(s, POLLPRI | POLLOUT, &ready, bounded ? max_wait_ms : -1);
  if (rc) {
    TAVO_ERROR("sys_poll1_complete() in sys_tcp_connect errno: " << rc << "\n");
    return fail_closed(sock, s, rc);
  }
  if (ready & POLLPRI) {
    int so_error = 0;
    rc = sys_so_get_so_error(s, &so_error);
    if (rc) {
      TAVO_ERROR("sys_so_get_so_error() in sys_tcp_connect errno: " << rc << "\n");
      so_error = rc;
    } else if (so_error == 0) {
      TAVO_ERROR("OS reported no error on socket, set to -1\n");
      so_error = -1;
    }
    return fail_closed(sock, s, so_error);
  }
  if (!(ready & POLLOUT)) return fail_closed(sock, s, SYS_ERROR_ETIMEDOUT);

  int n = 0;
  rc = sys_write_socket(s, "", 0, &n);
  if (rc) return fail_closed(sock, s, rc);
  if (bounded) {
    rc = sys_so_set_blocking(s, true);
    if (rc)
      TAVO_WARN("sys_so_set_blocking() in sys_tcp_connect errno: "
                << rc << " Could not set socket to blocking after connect.\n");
  }
  *sock = s;
  return 0;
}

int sys_tcp_connect_async(sys_socket_t* sock, unsigned ip_address, unsigned short port,
                          int send_size, int recv_size) {
  sys_socket_t s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s < 0) {
    int err = last_error();
    TAVO_ERROR("sys_tcp_connect_async socket() errno:" << err << "\n");
    return err;
  }
  set_buffer_sizes(s, send_size, recv_size);
  int rc = sys_so_set_blocking(s, false);
  if (rc) {
    TAVO_ERROR("sys_so_set_blocking() in sys_tcp_connect_async errno:" << rc << "\n");
    return fail_closed(sock, s, rc);
  }
  sockaddr_in sa = make_sockaddr(ip_address, port);
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    int err = last_error();
    if (err != SYS_ERROR_EINPROGRESS) return fail_closed(sock, s, err);
  }
  *sock = s;
  return 0;
}

int sys_tcp_server_open(sys_socket_t* sock, unsigned short port, bool reuse_flag, unsigned ip,
                        int send_size, int recv_size) {
  sys_socket_t s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s < 0) {
    int err = last_error();
    TAVO_ERROR("sys_tcp_server_open socket() errno:" << err << "\n");
    return err;
  }
  set_buffer_sizes(s, send_size, recv_size);
  if (reuse_flag) {
    int rc = set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
    if (rc) {
      TAVO_ERROR("sys_tcp_server_open() SO_REUSEADDR errno:" << rc << "\n");
      return fail_closed(sock, s, rc);
    }
  }
  sockaddr_in sa = make_sockaddr(ip, port);
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    int err = last_error();
    TAVO_ERROR("sys_tcp_server_open bind(" << ip_address(ip, port) << ") errno:" << err << "\n");
    return fail_closed(sock, s, err);
  }
  if (listen(s, 5) != 0) {
    int err = last_error();
    TAVO_ERROR("sys_tcp_server_open listen(" << ip_address(ip, port) << ") errno:" << err << "\n");
    return fail_closed(sock, s, err);
  }
  *sock = s;
  return 0;
}

int sys_tcp_accept(sys_socket_t sock, sys_socket_t* new_sock, unsigned* peer_ip,
                   unsigned short* peer_port) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  sys_socket_t s = accept(sock, reinterpret_cast<sockaddr*>(&ss), &len);
  if (s < 0) {
    *new_sock = SYS_INVALID_SOCKET;
    return last_error();
  }
  split_sockaddr(ss, peer_ip, peer_port);
  *new_sock = s;
  return 0;
}

int sys_tcp_accept_from(sys_socket_t sock, sys_socket_t* new_sock, unsigned peer_ip,
                        unsigned short peer_port, int max_wait_ms) {
  *new_sock = SYS_INVALID_SOCKET;
  const int64_t deadline = wall_ms() + max_wait_ms;
  for (;;) {
    int64_t remaining = deadline - wall_ms();
    if (remaining < 0) remaining = 0;
    int ready = 0;
    int rc = sys_poll1_complete(sock, POLLIN, &ready, static_cast<int>(remaining));
    if (rc) return rc;
    if (!(ready & POLLIN)) return SYS_ERROR_ETIMEDOUT;
    sys_socket_t s = SYS_INVALID_SOCKET;
    unsigned ip = 0;
    unsigned short port = 0;
    rc = sys_tcp_accept(sock, &s, &ip, &port);
    if (rc == SYS_ERROR_EWOULDBLOCK || rc == SYS_ERROR_EINTR || rc == SYS_ERROR_ECONNABORTED)
      continue;  // the pending connection went away before it was taken
    if (rc) return rc;
    if (ip == peer_ip && port == peer_port) {
      *new_sock = s;
      return 0;
    }
    TAVO_WARN("sys_tcp_accept_from() refused connection from "
              << ip_address(ip, port) << " waiting for " << ip_address(peer_ip, peer_port) << "\n");
    sys_close_socket(s);
  }
}

// --- UDP and multicast ---

int sys_udp_bind(sys_socket_t* sock, unsigned ip, unsigned short port, bool reuse_flag) {
  return udp_open(sock, ip, port, reuse_flag, UDP_BIND_TEXTS);
}

int sys_udp_open(sys_socket_t* sock, unsigned short port, bool reuse_flag) {
  return udp_open(sock, 0, port, reuse_flag, UDP_OPEN_TEXTS);
}

int sys_mcast_join(sys_socket_t sock, unsigned mcast_ip, unsigned iface_ip) {
  return mcast_membership(sock, IP_ADD_MEMBERSHIP, mcast_ip, iface_ip, "sys_mcast_join() join ");
}

int sys_mcast_unjoin(sys_socket_t sock, unsigned mcast_ip, unsigned iface_ip) {
  return mcast_membership(sock, IP_DROP_MEMBERSHIP, mcast_ip, iface_ip,
                          "sys_mcast_unjoin() unjoin ");
}

int sys_so_set_mcast_if(sys_socket_t sock, unsigned iface_ip) {
  in_addr a;
  a.s_addr = htonl(iface_ip);
  if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof(a)) != 0) return last_error();
  return 0;
}

int sys_so_get_mcast_if(sys_socket_t sock, unsigned* iface_ip) {
  in_addr a;
  socklen_t len = sizeof(a);
  if (getsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &a, &len) != 0) return last_error();
  *iface_ip = ntohl(a.s_addr);
  return 0;
}

int sys_so_set_ttl(sys_socket_t sock, int ttl) {
  unsigned char t = static_cast<unsigned char>(ttl);
  if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &t, sizeof(t)) != 0) return last_error();
  return 0;
}

int sys_so_get_ttl(sys_socket_t sock, int* ttl) {
  unsigned char t = 0;
  socklen_t len = sizeof(t);
  if (getsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &t, &len) != 0) return last_error();
  *ttl = t;
  return 0;
}

int sys_sendto(sys_socket_t sock, void* bytes, int nbytes, int* bytes_written, unsigned to_ip,
               unsigned short to_port) {
  sockaddr_in sa = make_sockaddr(to_ip, to_port);
  ssize_t rc = sendto(sock, bytes, static_cast<size_t>(nbytes), MSG_NOSIGNAL,
                      reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  if (rc < 0) {
    *bytes_written = 0;
    return last_error();
  }
  *bytes_written = static_cast<int>(rc);
  return 0;
}

int sys_recvfrom(sys_socket_t sock, void* bytes, int nbytes, int* bytes_read, unsigned* from_ip,
                 unsigned short* from_port) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  ssize_t rc =
      recvfrom(sock, bytes, static_cast<size_t>(nbytes), 0, reinterpret_cast<sockaddr*>(&ss), &len);
  if (rc < 0) {
    *bytes_read = 0;
    return last_error();
  }
  *bytes_read = static_cast<int>(rc);
  split_sockaddr(ss, from_ip, from_port);
  return 0;
}

int sys_recvfrom(sys_socket_t sock, void* bytes, int nbytes, int* bytes_read, unsigned* from_ip,
                 unsigned short* from_port, sys_time_t* sec, unsigned* usecs) {
  *sec = 0;
  *usecs = 0;
  sockaddr_storage ss;
  iovec iov;
  iov.iov_base = bytes;
  iov.iov_len = static_cast<size_t>(nbytes);
  TimestampControl control;
  msghdr msg;
  memset(&msg, 0, sizeof(msg));
  msg.msg_name = &ss;
  msg.msg_namelen = sizeof(ss);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.buf;
  msg.msg_controllen = sizeof(control.buf);
  ssize_t rc = recvmsg(sock, &msg, 0);
  if (rc < 0) {
    *bytes_read = 0;
    return last_error();
  }
  *bytes_read = static_cast<int>(rc);
  split_sockaddr(ss, from_ip, from_port);

  bool stamped = false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP &&
        c->cmsg_len == CMSG_LEN(sizeof(timeval))) {
      timeval tv;
      memcpy(&tv, CMSG_DATA(c), sizeof(tv));
      *sec = tv.tv_sec;
      *usecs = static_cast<unsigned>(tv.tv_usec);
      stamped = true;
      break;
    }
  }
  if (!stamped) sys_gettimeofday(sec, usecs);
  return 0;
}

int sys_so_set_timestamp(sys_socket_t sock) {
  return set_int_option(sock, SOL_SOCKET, SO_TIMESTAMP, 1);
}

// --- Local channels ---

int sys_tcp_pipe_open(sys_socket_t* sock1, sys_socket_t* sock2, bool should_block) {
  *sock1 = SYS_INVALID_SOCKET;
  *sock2 = SYS_INVALID_SOCKET;
  // Listening on loopback only, and accepting only our own connecting socket,
  // keeps other hosts and processes from becoming the peer.
  sys_socket_t server = SYS_INVALID_SOCKET;
  int rc = sys_tcp_server_open(&server, 0, true, SYS_LOCALHOST, 0, 0);
  if (rc) {
    TAVO_ERROR("sys_tcp_server_open() in sys_tcp_pipe_open errno:" << rc << "\n");
    return rc;
  }
  AutoSocket server_guard(&server);
  unsigned ip = 0;
  unsigned short port = 0;
  rc = sys_getsockname(server, &ip, &port);
  if (rc) {
    TAVO_ERROR("sys_getsockname() in sys_tcp_pipe_open errno:" << rc << "\n");
    return rc;
  }
  rc = sys_so_set_blocking(server, false);
  if (rc) {
    TAVO_ERROR("sys_so_set_blocking() in sys_tcp_pipe_open errno:" << rc << "\n");
    return rc;
  }
  sys_socket_t client = SYS_INVALID_SOCKET;
  rc = sys_tcp_connect(&client, SYS_LOCALHOST, port, 0, 0, 0);
  if (rc) {
    TAVO_ERROR("sys_tcp_connect() in sys_tcp_pipe_open errno:" << rc << "\n");
    return rc;
  }
  AutoSocket client_guard(&client);
  unsigned client_ip = 0;
  unsigned short client_port = 0;
  rc = sys_getsockname(client, &client_ip, &client_port);
  if (rc) {
    TAVO_ERROR("sys_getsockname() in sys_tcp_pipe_open errno:" << rc << "\n");
    return rc;
  }
  sys_socket_t accepted = SYS_INVALID_SOCKET;
  rc = sys_tcp_accept_from(server, &accepted, client_ip, client_port, PIPE_ACCEPT_WAIT_MS);
  if (rc) {
    TAVO_ERROR("sys_tcp_accept() in sys_tcp_pipe_open errno:" << rc << "\n");
    return rc;
  }
  AutoSocket accepted_guard(&accepted);
  // An accepted socket may inherit the listener's non-blocking flag on some
  // systems, so both ends are set explicitly.
  rc = sys_so_set_blocking(client, should_block);
  if (rc == 0) rc = sys_so_set_blocking(accepted, should_block);
  if (rc) {
    TAVO_ERROR("sys_so_set_blocking() in sys_tcp_pipe_open errno:" << rc << "\n");
    return rc;
  }
  client_guard.dismiss();
  accepted_guard.dismiss();
  *sock1 = client;
  *sock2 = accepted;
  return 0;
}

int sys_pipe_open(sys_socket_t* read_desc, sys_socket_t* write_desc, bool /*selectable*/,
                  bool should_block) {
  int fds[2];
  if (pipe(fds) != 0) return last_error();
  int rc = sys_so_set_blocking(fds[0], should_block);
  if (rc == 0) rc = sys_so_set_blocking(fds[1], should_block);
  if (rc) {
    sys_close_socket(fds[0]);
    sys_close_socket(fds[1]);
    *read_desc = SYS_INVALID_SOCKET;
    *write_desc = SYS_INVALID_SOCKET;
    return rc;
  }
  *read_desc = fds[0];
  *write_desc = fds[1];
  return 0;
}

int sys_pipe_close(sys_socket_t read_desc, sys_socket_t write_desc, bool /*selectable*/) {
  int read_err = close(read_desc) == 0 ? 0 : last_error();
  int write_err = close(write_desc) == 0 ? 0 : last_error();
  return static_cast<int>((static_cast<unsigned>(read_err) << 16) |
                          static_cast<unsigned>(write_err));
}

int sys_unix_server_open(sys_socket_t* sock, const std::string& port, bool reuse_flag) {
  *sock = SYS_INVALID_SOCKET;
  sockaddr_un sa;
  memset(&sa, 0, sizeof(sa));
  sa.sun_family = AF_UNIX;
  // A longer path would be cut short and the server would listen somewhere
  // else than asked.
  if (port.empty() || port.size() >= sizeof(sa.sun_path) || port.find('\0') != std::string::npos) {
    TAVO_ERROR("sys_unix_server_open bind(" << port << ") errno:" << SYS_ERROR_EINVAL << "\n");
    return SYS_ERROR_EINVAL;
  }
  memcpy(sa.sun_path, port.data(), port.size());

  sys_socket_t s = socket(AF_UNIX, SOCK_STREAM, 0);
  if (s < 0) {
    int err = last_error();
    TAVO_ERROR("sys_tcp_server_open socket() errno:" << err << "\n");
    return err;
  }
  AutoSocket guard(&s);
  if (reuse_flag) {
    int rc = set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
    if (rc) {
      TAVO_ERROR("sys_tcp_server_open() SO_REUSEADDR errno:" << rc << "\n");
      return rc;
    }
  }
  int rc = bind_unix(s, sa);
  if (rc) {
    TAVO_ERROR("sys_unix_server_open bind(" << port << ") errno:" << rc << "\n");
    return rc;
  }
  if (listen(s, 5) != 0) {
    rc = last_error();
    TAVO_ERROR("sys_unix_server_open listen(" << port << ") errno:" << rc << "\n");
    return rc;
  }
  guard.dismiss();
  *sock = s;
  return 0;
}

int sys_unix_send_socket(sys_socket_t unix_sock, sys_socket_t s) {
  char data = 0;
  iovec iov;
  iov.iov_base = &data;
  iov.iov_len = 1;
  FdControl control;
  memset(&control, 0, sizeof(control));
  msghdr msg;
  memset(&msg, 0, sizeof(msg));
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.buf;
  msg.msg_controllen = sizeof(control.buf);
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &s, sizeof(int));
  ssize_t rc = sendmsg(unix_sock, &msg, MSG_NOSIGNAL);
  if (rc == 1) return 0;
  return rc < 0 ? last_error() : SYS_ERROR_ECLOSED;
}

int sys_unix_recv_socket(sys_socket_t unix_sock, sys_socket_t* s) {
  char data = 0;
  iovec iov;
  iov.iov_base = &data;
  iov.iov_len = 1;
  FdControl control;
  memset(&control, 0, sizeof(control));
  msghdr msg;
  memset(&msg, 0, sizeof(msg));
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.buf;
  msg.msg_controllen = sizeof(control.buf);
  ssize_t rc = recvmsg(unix_sock, &msg, 0);
  if (rc < 0) return last_error();
  if (rc == 0) return SYS_ERROR_ECLOSED;
  cmsghdr* c = msg.msg_controllen >= sizeof(cmsghdr) ? CMSG_FIRSTHDR(&msg) : nullptr;
  if (c == nullptr || c->cmsg_len != CMSG_LEN(sizeof(int)) || c->cmsg_level != SOL_SOCKET ||
      c->cmsg_type != SCM_RIGHTS) {
    *s = SYS_INVALID_SOCKET;
    return SYS_ERROR_EINVAL;
  }
  memcpy(s, CMSG_DATA(c), sizeof(int));
  return 0;
}

// --- Reads and writes ---

int sys_read(sys_socket_t sock, void* bytes, int nbytes, int* bytes_read) {
  return finish_transfer(read(sock, bytes, static_cast<size_t>(nbytes)), nbytes, bytes_read);
}

int sys_write(sys_socket_t sock, const void* bytes, int nbytes, int* bytes_written) {
  return finish_transfer(write_no_signal(sock, bytes, static_cast<size_t>(nbytes), 0), nbytes,
                         bytes_written);
}

int sys_write_socket(sys_socket_t sock, const void* bytes, int nbytes, int* bytes_written) {
  return finish_transfer(send(sock, bytes, static_cast<size_t>(nbytes), MSG_NOSIGNAL), nbytes,
                         bytes_written);
}

int sys_read_complete(sys_socket_t sock, void* bytes, int nbytes, int* bytes_read) {
  char* p = static_cast<char*>(bytes);
  return transfer_complete(nbytes, bytes_read, [&](int done) {
    return read(sock, p + done, static_cast<size_t>(nbytes - done));
  });
}

int sys_write_complete(sys_socket_t sock, const void* bytes, int nbytes, int* bytes_written) {
  const char* p = static_cast<const char*>(bytes);
  return transfer_complete(nbytes, bytes_written, [&](int done) {
    return write_no_signal(sock, p + done, static_cast<size_t>(nbytes - done), 0);
  });
}

int sys_read_complete(sys_socket_t sock, void* bytes, int nbytes, int* bytes_read,
                      int max_inactivity_ms) {
  char* p = static_cast<char*>(bytes);
  return transfer_bounded(
      sock, POLLIN, nbytes, bytes_read, max_inactivity_ms,
      [&](int done, int* n) { return sys_read(sock, p + done, nbytes - done, n); });
}

// A blocking send of the whole remainder would wait for the peer to take all
// of it, past the inactivity bound; MSG_DONTWAIT makes each send take only
// what fits now and the poll does the waiting.
int sys_write_complete(sys_socket_t sock, const void* bytes, int nbytes, int* bytes_written,
                       int max_inactivity_ms) {
  const char* p = static_cast<const char*>(bytes);
  return transfer_bounded(
      sock, POLLOUT, nbytes, bytes_written, max_inactivity_ms, [&](int done, int* n) {
        size_t left = static_cast<size_t>(nbytes - done);
        return finish_transfer(write_no_signal(sock, p + done, left, MSG_DONTWAIT), nbytes - done,
                               n);
      });
}

int sys_write_socket_complete(sys_socket_t sock, const void* bytes, int nbytes, int* bytes_written,
                              int max_inactivity_ms) {
  const char* p = static_cast<const char*>(bytes);
  return transfer_bounded(
      sock, POLLOUT, nbytes, bytes_written, max_inactivity_ms, [&](int done, int* n) {
        size_t left = static_cast<size_t>(nbytes - done);
        return finish_transfer(send(sock, p + done, left, MSG_NOSIGNAL | MSG_DONTWAIT),
                               nbytes - done, n);
      });
}

// --- Polling ---

int sys_poll1(sys_socket_t sock1, int events_of_interest, int* events_ready,
              int max_wait_time_in_ms) {
  pollfd p;
  p.fd = sock1;
  p.events = static_cast<short>(events_of_interest);
  p.revents = 0;
  int rc = poll(&p, 1, max_wait_time_in_ms < 0 ? -1 : max_wait_time_in_ms);
  if (rc < 0) {
    *events_ready = 0;
    return last_error();
  }
  *events_ready = rc == 0 ? 0 : apply_error_rule(p.events, p.revents);
  return 0;
}

int sys_poll1_complete(sys_socket_t sock, int events_of_interest, int* events_ready,
                       int max_wait_time_in_ms) {
  int remaining = max_wait_time_in_ms;
  int64_t noted = wall_ms();
  for (;;) {
    int rc = sys_poll1(sock, events_of_interest, events_ready, remaining);
    if (rc != SYS_ERROR_EINTR) return rc;
    if (max_wait_time_in_ms <= 0) continue;
    int64_t now = wall_ms();
    int64_t elapsed = now - noted;
    if (elapsed < 0) {
      TAVO_WARN("time went backwards by " << -elapsed << " ms\n");
      elapsed = 0;
    }
    if (elapsed >= remaining) {
      *events_ready = 0;
      return 0;
    }
    remaining -= static_cast<int>(elapsed);
    noted = now;
  }
}

int sys_poll(sys_poll_sock_t* socks, int n_socks, int* n_socks_ready, int max_wait_time_in_ms) {
  pollfd* fds = reinterpret_cast<pollfd*>(socks);
  int rc =
      poll(fds, static_cast<nfds_t>(n_socks), max_wait_time_in_ms < 0 ? -1 : max_wait_time_in_ms);
  if (rc < 0) {
    *n_socks_ready = 0;
    return last_error();
  }
  for (int i = 0; i < n_socks; ++i)
    socks[i].events_ready = apply_error_rule(socks[i].events, socks[i].events_ready);
  *n_socks_ready = rc;
  return 0;
}

// --- Socket options ---

int sys_so_set_send_size(sys_socket_t sock, int size) {
  if (size <= 0) size = 1;
  if (size > MAX_SEND_SIZE) size = MAX_SEND_SIZE;
  return set_int_option(sock, SOL_SOCKET, SO_SNDBUF, size);
}

int sys_so_get_send_size(sys_socket_t sock, int* size) {
  return get_int_option(sock, SOL_SOCKET, SO_SNDBUF, size);
}

int sys_so_set_recv_size(sys_socket_t sock, int size) {
  if (size <= 0) size = 1;
  return set_int_option(sock, SOL_SOCKET, SO_RCVBUF, size);
}

int sys_so_get_recv_size(sys_socket_t sock, int* size) {
  return get_int_option(sock, SOL_SOCKET, SO_RCVBUF, size);
}

int sys_so_set_keepalive(sys_socket_t sock, bool send_keepalives) {
  return set_int_option(sock, SOL_SOCKET, SO_KEEPALIVE, send_keepalives ? 1 : 0);
}

int sys_so_get_keepalive(sys_socket_t sock, bool* send_keepalives) {
  int v = 0;
  int rc = get_int_option(sock, SOL_SOCKET, SO_KEEPALIVE, &v);
  if (rc == 0) *send_keepalives = v != 0;
  return rc;
}

int sys_so_set_tcp_maxseg(sys_socket_t sock, int mss) {
  if (mss > 0 && mss < 32) mss = 32;
  return set_int_option(sock, IPPROTO_TCP, TCP_MAXSEG, mss);
}

int sys_so_get_tcp_maxseg(sys_socket_t sock, int* mss) {
  return get_int_option(sock, IPPROTO_TCP, TCP_MAXSEG, mss);
}

int sys_so_get_so_error(sys_socket_t sock, int* error) {
  return get_int_option(sock, SOL_SOCKET, SO_ERROR, error);
}

}  // namespace KVN
