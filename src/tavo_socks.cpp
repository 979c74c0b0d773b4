// SOCKS 4 / 4A and SOCKS 5 (with user name and password) client connects.
// Each request is built whole and checked before the proxy is contacted, so
// bad arguments never reach the wire; replies are read with the inactivity
// bound of the caller and every failure after the proxy connection exists
// closes it through AutoSocket.
#include <tavo/TmpBuffer>
#include <tavo/private/logging>
#include <tavo/sys/networking>

#include <cstdlib>
#include <cstring>
#include <string>

namespace KVN {

namespace {

typedef TmpBuffer<SOCKS_BUFF_SIZE> SocksBuffer;

// Longest host name a request carries: the length byte of SOCKS 5, and the
// limit of a DNS name for SOCKS 4A.
const size_t MAX_SOCKS_NAME = 255;
// SOCKS 4 reply codes.
const unsigned char SOCKS4_GRANTED = 0x5A;
const unsigned char SOCKS4_REJECTED = 0x5B;
const size_t SOCKS4_REPLY_SIZE = 8;

void append_port(SocksBuffer& buf, unsigned short port) {
  buf.append(static_cast<unsigned char>(port >> 8));
  buf.append(static_cast<unsigned char>(port & 0xFF));
}

void append_ip(SocksBuffer& buf, unsigned ip) {
  buf.append(static_cast<unsigned char>(ip >> 24));
  buf.append(static_cast<unsigned char>((ip >> 16) & 0xFF));
  buf.append(static_cast<unsigned char>((ip >> 8) & 0xFF));
  buf.append(static_cast<unsigned char>(ip & 0xFF));
}

// Errors for the SOCKS 5 reply codes 1 to 8, in the order of their meanings:
// general failure, not allowed, network unreachable, host unreachable,
// connection refused, TTL expired, command not supported, address type not
// supported.
const int SOCKS5_REPLY_ERRORS[] = {
    -1,
    SYS_ERROR_EACCESS,
    SYS_ERROR_ENETUNREACH,
    SYS_ERROR_EHOSTUNREACH,
    SYS_ERROR_ECONNREFUSED,
    SYS_ERROR_ETIMEDOUT,
    SYS_ERROR_EOPNOTSUPP,
    SYS_ERROR_EAFNOSUPPORT,
};

int socks5_reply_error(unsigned code) {
  const unsigned n = sizeof(SOCKS5_REPLY_ERRORS) / sizeof(SOCKS5_REPLY_ERRORS[0]);
  return (code >= 1 && code <= n) ? SOCKS5_REPLY_ERRORS[code - 1] : -1;
}

int check_addresses(const char* proxy_addr, const char* dest_addr) {
  if (proxy_addr == nullptr) {
    TAVO_ERROR("SOCKS proxy server address not specified\n");
    return SYS_ERROR_EINVAL;
  }
  if (dest_addr == nullptr) {
    TAVO_ERROR("SOCKS destination address not specified\n");
    return SYS_ERROR_EINVAL;
  }
  return 0;
}

int parse_proxy(const char* proxy_addr, unsigned* ip, unsigned short* port) {
  int rc = sys_parse_ip_port(proxy_addr, ip, port, 0);
  if (rc) TAVO_ERROR("Could not determine SOCKS proxy server address\n");
  return rc;
}

int connect_proxy(sys_socket_t* sock, unsigned ip, unsigned short port, int max_inactivity_ms) {
  int rc = sys_tcp_connect(sock, ip, port, max_inactivity_ms, 0, 0);
  if (rc) TAVO_ERROR("Couldn't connect to SOCKS server, err: " << rc << "\n");
  return rc;
}

int send_all(sys_socket_t sock, const SocksBuffer& buf, int max_inactivity_ms) {
  int n = 0;
  int rc = sys_write_socket_complete(sock, buf.data(), static_cast<int>(buf.size()), &n,
                                     max_inactivity_ms);
  if (rc) TAVO_ERROR("SOCKS request could not be sent, err: " << rc << "\n");
  return rc;
}

// Reads exactly n reply bytes into buf (replacing its content).
int receive(sys_socket_t sock, SocksBuffer& buf, size_t n, int max_inactivity_ms) {
  buf.resize(n);
  int got = 0;
  int rc = sys_read_complete(sock, buf.data(), static_cast<int>(n), &got, max_inactivity_ms);
  if (rc) TAVO_ERROR("SOCKS reply could not be read, err: " << rc << "\n");
  return rc;
}

// The SOCKS 5 destination: IPv4 and port when both resolve here, else the host
// name for the proxy to resolve.
int append_socks5_destination(SocksBuffer& req, const char* dest_addr) {
  unsigned ip = 0;
  unsigned short port = 0;
  if (sys_parse_ip_port(dest_addr, &ip, &port, 0) == 0) {
    req.append(SOCKS_ATYP_IPV4);
    append_ip(req, ip);
    append_port(req, port);
    return 0;
  }
  const char* colon = strchr(dest_addr, ':');
  if (colon == nullptr) {
    TAVO_ERROR("Cannot connect to SOCKS server without port specified\n");
    return SYS_ERROR_EINVAL;
  }
  size_t host_len = static_cast<size_t>(colon - dest_addr);
  if (host_len > MAX_SOCKS_NAME) {
    TAVO_ERROR("SOCKS destination host names cannot exceed 255 characters\n");
    return SYS_ERROR_EINVAL;
  }
  int rc = sys_name_to_port(colon + 1, &port);
  if (rc) {
    TAVO_ERROR("Could not determine SOCKS destination port\n");
    return rc;
  }
  req.append(SOCKS_ATYP_DOMAINNAME);
  req.append(static_cast<unsigned char>(host_len));
  req.append(dest_addr, host_len);
  append_port(req, port);
  return 0;
}

// Reads the address part of a successful SOCKS 5 reply, whatever its type, so
// none of it stays in the stream the application reads next.
int read_socks5_bound(sys_socket_t sock, unsigned char atyp, int max_inactivity_ms,
                      std::string* bound) {
  SocksBuffer buf;
  int rc;
  switch (atyp) {
    case SOCKS_ATYP_IPV4: {
      if ((rc = receive(sock, buf, 6, max_inactivity_ms))) return rc;
      unsigned ip = (unsigned(buf[0]) << 24) | (unsigned(buf[1]) << 16) | (unsigned(buf[2]) << 8) |
                    unsigned(buf[3]);
      unsigned short port = static_cast<unsigned short>((buf[4] << 8) | buf[5]);
      *bound = sys_ip_port_to_string(ip, port);
      return 0;
    }
    case SOCKS_ATYP_DOMAINNAME: {
      if ((rc = receive(sock, buf, 1, max_inactivity_ms))) return rc;
      size_t len = buf[0];
      if ((rc = receive(sock, buf, len + 2, max_inactivity_ms))) return rc;
      unsigned port = (unsigned(buf[len]) << 8) | unsigned(buf[len + 1]);
      *bound =
          std::string(reinterpret_cast<const char*>(buf.data()), len) + ":" + std::to_string(port);
      return 0;
    }
    case SOCKS_ATYP_IPV6:
      if ((rc = receive(sock, buf, 18, max_inactivity_ms))) return rc;
      TAVO_WARN("Cannot determine SOCKS server's bound address\n");
      *bound = "unknown";
      return 0;
    default:
      // The length of an unknown address type cannot be known, so the stream
      // cannot be used.
      TAVO_ERROR("SOCKS reply has unknown address type " << unsigned(atyp) << "\n");
      return SYS_ERROR_EPROTO;
  }
}

}  // namespace

int sys_tcp_connect_socks(sys_socket_t* sock, const char* proxy_addr, const char* dest_addr,
                          int version, const char* uname, const char* pass, int max_inactivity_ms,
                          std::string* bound_addr) {
  if (version == SOCKS_PROTOCOL_4)
    return sys_tcp_connect_socks4(sock, proxy_addr, dest_addr, uname, max_inactivity_ms);
  return sys_tcp_connect_socks5(sock, proxy_addr, dest_addr, uname, pass, max_inactivity_ms,
                                bound_addr);
}

int sys_tcp_connect_socks4(sys_socket_t* sock, const char* proxy_addr, const char* dest_addr,
                           const char* uname, int max_inactivity_ms) {
  int rc = check_addresses(proxy_addr, dest_addr);
  if (rc) return rc;
  unsigned proxy_ip = 0;
  unsigned short proxy_port = 0;
  if ((rc = parse_proxy(proxy_addr, &proxy_ip, &proxy_port))) return rc;

  const char* colon = strchr(dest_addr, ':');
  if (colon == nullptr) {
    TAVO_ERROR("Destination port not specified\n");
    return SYS_ERROR_EINVAL;
  }
  const std::string host(dest_addr, colon);
  const unsigned short port = static_cast<unsigned short>(atoi(colon + 1));
  unsigned ip = 0;
  // A host the client cannot resolve is left to the proxy (4A).
  const bool by_name = sys_name_to_ip(host.c_str(), &ip) != 0;
  if (by_name && host.size() > MAX_SOCKS_NAME) {
    TAVO_ERROR("SOCKS destination host names cannot exceed 255 characters\n");
    return SYS_ERROR_EINVAL;
  }

  SocksBuffer req;
  req.append(SOCKS_PROTOCOL_4);
  req.append(SOCKS_CMD_TCP_CONNECT);
  append_port(req, port);
  append_ip(req, by_name ? 1u : ip);
  if (uname) req.append(uname, strlen(uname));
  req.append(static_cast<unsigned char>(0));
  if (by_name) {
    req.append(host.data(), host.size());
    req.append(static_cast<unsigned char>(0));
  }

  if ((rc = connect_proxy(sock, proxy_ip, proxy_port, max_inactivity_ms))) return rc;
  AutoSocket guard(sock);
  if ((rc = send_all(*sock, req, max_inactivity_ms))) return rc;
  SocksBuffer reply;
  if ((rc = receive(*sock, reply, SOCKS4_REPLY_SIZE, max_inactivity_ms))) return rc;
  // The reply's version byte is 0; some proxies echo the request's 4.
  if (reply[0] != 0 && reply[0] != SOCKS_PROTOCOL_4) {
    TAVO_ERROR("SOCKS reply has wrong version " << unsigned(reply[0]) << "\n");
    return SYS_ERROR_EPROTO;
  }
  if (reply[1] == SOCKS4_GRANTED) {
    guard.dismiss();
    return 0;
  }
  if (reply[1] == SOCKS4_REJECTED)
    TAVO_ERROR("SOCKS request rejected\n");
  else
    TAVO_ERROR("SOCKS gateway requires identd\n");
  return -1;
}

int sys_tcp_connect_socks5(sys_socket_t* sock, const char* proxy_addr, const char* dest_addr,
                           const char* uname, const char* pass, int max_inactivity_ms,
                           std::string* bound_addr) {
  const bool with_credentials = uname && pass && *uname && *pass;
  const size_t uname_len = with_credentials ? strlen(uname) : 0;
  const size_t pass_len = with_credentials ? strlen(pass) : 0;
  if (uname_len > MAX_SOCKS_NAME || pass_len > MAX_SOCKS_NAME) {
    TAVO_ERROR("SOCKS usernames/passwords cannot exceed 255 characters\n");
    return SYS_ERROR_EINVAL;
  }
  int rc = check_addresses(proxy_addr, dest_addr);
  if (rc) return rc;
  unsigned proxy_ip = 0;
  unsigned short proxy_port = 0;
  if ((rc = parse_proxy(proxy_addr, &proxy_ip, &proxy_port))) return rc;

  SocksBuffer request;
  request.append(SOCKS_PROTOCOL_5);
  request.append(SOCKS_CMD_TCP_CONNECT);
  request.append(static_cast<unsigned char>(0));
  if ((rc = append_socks5_destination(request, dest_addr))) return rc;

  SocksBuffer greeting;
  greeting.append(SOCKS_PROTOCOL_5);
  greeting.append(static_cast<unsigned char>(with_credentials ? 2 : 1));
  greeting.append(SOCKS_AUTH_METHOD_NONE);
  if (with_credentials) greeting.append(SOCKS_AUTH_METHOD_UPASS);

  if ((rc = connect_proxy(sock, proxy_ip, proxy_port, max_inactivity_ms))) return rc;
  AutoSocket guard(sock);
  SocksBuffer reply;
  if ((rc = send_all(*sock, greeting, max_inactivity_ms))) return rc;
  if ((rc = receive(*sock, reply, 2, max_inactivity_ms))) return rc;
  if (reply[0] != SOCKS_PROTOCOL_5) {
    TAVO_ERROR("SOCKS reply has wrong version " << unsigned(reply[0]) << "\n");
    return SYS_ERROR_EPROTO;
  }
  const unsigned char method = reply[1];
  if (method == SOCKS_AUTH_NOT_ACCEPTABLE) {
    TAVO_ERROR("Specified authentication method(s) unacceptable\n");
    return SYS_ERROR_EACCESS;
  }
  if (method == SOCKS_AUTH_METHOD_UPASS) {
    if (!with_credentials) {
      TAVO_ERROR("Server requires authentication but none supplied.\n");
      return SYS_ERROR_EACCESS;
    }
    SocksBuffer auth;
    auth.append(SOCKS_AUTH_PROTOCOL);
    auth.append(static_cast<unsigned char>(uname_len));
    auth.append(uname, uname_len);
    auth.append(static_cast<unsigned char>(pass_len));
    auth.append(pass, pass_len);
    if ((rc = send_all(*sock, auth, max_inactivity_ms))) return rc;
    if ((rc = receive(*sock, reply, 2, max_inactivity_ms))) return rc;
    if (reply[1] != SOCKS_SUCCESS) {
      TAVO_ERROR("SOCKS authentication failed, status " << unsigned(reply[1]) << "\n");
      return SYS_ERROR_EACCESS;
    }
  }

  if ((rc = send_all(*sock, request, max_inactivity_ms))) return rc;
  if ((rc = receive(*sock, reply, 4, max_inactivity_ms))) return rc;
  if (reply[0] != SOCKS_PROTOCOL_5) {
    TAVO_ERROR("SOCKS reply has wrong version " << unsigned(reply[0]) << "\n");
    return SYS_ERROR_EPROTO;
  }
  if (reply[1] != SOCKS_SUCCESS) {
    TAVO_ERROR("SOCKS request failed, reply code " << unsigned(reply[1]) << "\n");
    return socks5_reply_error(reply[1]);
  }
  std::string bound;
  if ((rc = read_socks5_bound(*sock, reply[3], max_inactivity_ms, &bound))) return rc;
  if (bound_addr) *bound_addr = bound;
  guard.dismiss();
  return 0;
}

}  // namespace KVN
