// Unix-domain servers and descriptor passing between two processes.
#include <tavo/sys/networking>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "net_peers.h"

using namespace KVN;

namespace {

// Connects to the Unix-domain server at path; -1 on failure. Raw calls: the
// library has no client side for these servers.
int unix_connect(const std::string& path) {
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  if (s < 0) return -1;
  sockaddr_un sa;
  memset(&sa, 0, sizeof(sa));
  sa.sun_family = AF_UNIX;
  strncpy(sa.sun_path, path.c_str(), sizeof(sa.sun_path) - 1);
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Waits for the child and returns its exit code, or -1 when it did not exit
// normally within the bound.
int wait_child(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

TEST(NetUnix, PassesADescriptorBetweenProcesses) {
  kvn_test::NetTempDir dir;
  const std::string path = dir.path() + "/server.sock";
  const std::string file = dir.write_file("shared.txt", "passed along");
  sys_socket_t server = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_unix_server_open(&server, path, true), 0);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Child: pass an open file, then send a plain byte, then leave.
    int s = unix_connect(path);
    int fd = open(file.c_str(), O_RDONLY);
    if (s < 0 || fd < 0) _exit(2);
    if (sys_unix_send_socket(s, fd) != 0) _exit(3);
    close(fd);
    char b = 'p';
    if (write(s, &b, 1) != 1) _exit(4);
    _exit(0);
  }

  int ready = 0;
  ASSERT_EQ(sys_poll1(server, SYS_POLL_READ, &ready, 10000), 0);
  ASSERT_TRUE(ready & SYS_POLL_READ);
  sys_socket_t conn = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_tcp_accept(server, &conn, nullptr, nullptr), 0);

  sys_socket_t received = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_unix_recv_socket(conn, &received), 0);
  ASSERT_NE(received, SYS_INVALID_SOCKET);
  struct stat got, want;
  ASSERT_EQ(fstat(received, &got), 0);
  ASSERT_EQ(stat(file.c_str(), &want), 0);
  EXPECT_EQ(got.st_ino, want.st_ino);
  EXPECT_EQ(got.st_dev, want.st_dev);
  char buf[32];
  int n = 0;
  EXPECT_EQ(sys_read(received, buf, sizeof(buf), &n), 0);
  EXPECT_EQ(std::string(buf, n), "passed along");
  sys_close_socket(received);

  // A message without a descriptor.
  received = 12345;
  EXPECT_EQ(sys_unix_recv_socket(conn, &received), SYS_ERROR_EINVAL);
  EXPECT_EQ(received, SYS_INVALID_SOCKET);

  EXPECT_EQ(wait_child(pid), 0);
  received = 12345;
  EXPECT_EQ(sys_unix_recv_socket(conn, &received), SYS_ERROR_ECLOSED);
  sys_close_socket(conn);
  sys_close_socket(server);
}

TEST(NetUnix, ServerReplacesAStaleSocketButNoOtherFile) {
  kvn_test::NetTempDir dir;
  const std::string path = dir.path() + "/stale.sock";
  sys_socket_t s = SYS_INVALID_SOCKET;
  ASSERT_EQ(sys_unix_server_open(&s, path, false), 0);
  sys_close_socket(s);  // leaves the socket file behind
  ASSERT_EQ(sys_unix_server_open(&s, path, false), 0);
  int c = unix_connect(path);
  EXPECT_GE(c, 0);
  close(c);
  sys_close_socket(s);

  const std::string data_file = dir.write_file("data.txt", "keep me");
  s = 12345;
  EXPECT_EQ(sys_unix_server_open(&s, data_file, false), EADDRINUSE);
  EXPECT_EQ(s, SYS_INVALID_SOCKET);
  struct stat st;
  EXPECT_EQ(stat(data_file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));

  // A path that does not fit the address is refused, not cut short.
  const std::string long_path = dir.path() + "/" + std::string(120, 'p');
  EXPECT_EQ(sys_unix_server_open(&s, long_path, false), SYS_ERROR_EINVAL);
  EXPECT_EQ(s, SYS_INVALID_SOCKET);
}

}  // namespace
