// Peers for the networking tests, all on 127.0.0.1 and all stopped by their
// destructors: a TCP echo server, a scripted peer that plays a fixed exchange
// (for replies a real proxy never gives), and a child process running a real
// proxy binary. Also descriptor counting, temporary directories and running a
// command to its end.
//
// Each object belongs to the test thread that made it; the servers run their
// own thread.
#ifndef KVN_TESTS_COMMON_NET_PEERS_H
#define KVN_TESTS_COMMON_NET_PEERS_H

#include <tavo/sys/networking>

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace kvn_test {

// Number of descriptors this process holds open.
int net_count_open_fds();

// A TCP port that was free on 127.0.0.1 at the time of the call.
unsigned short net_free_port();

// "127.0.0.1:port"
std::string net_local_address(unsigned short port);

// The whole content of a file ("" when it cannot be read).
std::string net_read_file(const std::string& path);

// Runs argv (argv[0] is the binary's path) to its end, with its output in a
// log file. Returns "" when it exited with status 0, else what went wrong with
// the log; a run longer than max_wait_ms is killed.
std::string net_run(const std::vector<std::string>& argv, const std::string& log_path,
                    int max_wait_ms);

// A fresh directory under /tmp, removed with its content on destruction.
class NetTempDir {
 public:
  NetTempDir();
  ~NetTempDir();
  NetTempDir(const NetTempDir&) = delete;
  NetTempDir& operator=(const NetTempDir&) = delete;
  const std::string& path() const { return m_path; }
  // Writes a file in the directory and returns its path.
  std::string write_file(const std::string& name, const std::string& content) const;

 private:
  std::string m_path;
};

// Echoes every byte back, one connection at a time.
class NetEchoServer {
 public:
  NetEchoServer();
  ~NetEchoServer();
  NetEchoServer(const NetEchoServer&) = delete;
  NetEchoServer& operator=(const NetEchoServer&) = delete;
  unsigned short port() const { return m_port; }
  std::string address() const { return net_local_address(m_port); }
  // Waits until the server has closed its connection; false when it still
  // holds one after max_wait_ms.
  bool wait_idle(int max_wait_ms) const;

 private:
  void run();

  std::atomic<bool> m_busy{false};

  KVN::sys_socket_t m_listener = KVN::SYS_INVALID_SOCKET;
  KVN::sys_socket_t m_stop_r = KVN::SYS_INVALID_SOCKET;
  KVN::sys_socket_t m_stop_w = KVN::SYS_INVALID_SOCKET;
  unsigned short m_port = 0;
  std::thread m_thread;
};

// One step of a scripted exchange.
struct NetStep {
  enum Kind { kExpect, kSend, kHold } kind;
  size_t count;       // kExpect: bytes to read
  std::string bytes;  // kSend: bytes to write
};
// Read exactly n bytes (kept for received()).
NetStep net_expect(size_t n);
// Write these bytes.
NetStep net_send(const std::string& bytes);
// Say nothing until the other side closes.
NetStep net_hold();
// Bytes from a hex text such as "05 00" (blanks ignored).
std::string net_hex(const std::string& hex);

// Accepts one connection and plays the steps on it, then closes it. Every
// wait is bounded by a few seconds.
class NetScriptedPeer {
 public:
  explicit NetScriptedPeer(std::vector<NetStep> steps);
  ~NetScriptedPeer();
  NetScriptedPeer(const NetScriptedPeer&) = delete;
  NetScriptedPeer& operator=(const NetScriptedPeer&) = delete;
  unsigned short port() const { return m_port; }
  std::string address() const { return net_local_address(m_port); }
  // Waits for the script to end and returns everything read.
  std::string received();
  // Whether a connection arrived (valid after received()).
  bool contacted() const { return m_contacted; }
  // The first error met while playing the script, 0 if none.
  int error() const { return m_error; }

 private:
  void run(std::vector<NetStep> steps);
  void join();

  KVN::sys_socket_t m_listener = KVN::SYS_INVALID_SOCKET;
  KVN::sys_socket_t m_stop_r = KVN::SYS_INVALID_SOCKET;
  KVN::sys_socket_t m_stop_w = KVN::SYS_INVALID_SOCKET;
  unsigned short m_port = 0;
  std::string m_received;
  std::atomic<bool> m_contacted{false};
  int m_error = 0;
  std::thread m_thread;
};

// A child process (a real proxy) in its own process group, with its output in
// a log file. Stopped, with everything it started, by stop() or destruction.
class NetChildProcess {
 public:
  NetChildProcess() = default;
  ~NetChildProcess() { stop(); }
  NetChildProcess(const NetChildProcess&) = delete;
  NetChildProcess& operator=(const NetChildProcess&) = delete;

  // Starts argv (argv[0] is the binary's path) and waits until it accepts
  // connections on 127.0.0.1:port. When hosts_file is not empty the child
  // runs in a private mount namespace with that file over /etc/hosts, so it
  // resolves names this process cannot. Returns "" or what went wrong.
  std::string start(const std::vector<std::string>& argv, unsigned short port,
                    const std::string& log_path, const std::string& hosts_file = std::string());
  void stop();
  // stop(), after ending the processes the child started that left its group
  // (sshd's per-connection processes call setsid, so signalling the group
  // misses them). They get a few seconds to end by themselves, as a session
  // whose client has gone does, before they are killed.
  void stop_with_descendants();
  // The child could not make its private mount namespace.
  bool namespace_refused() const { return m_namespace_refused; }
  std::string log() const;

 private:
  pid_t m_pid = -1;
  std::string m_log_path;
  bool m_namespace_refused = false;
};

}  // namespace kvn_test

#endif
