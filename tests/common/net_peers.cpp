#include "net_peers.h"

#include <tavo/sys/threading>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

using namespace KVN;

namespace kvn_test {

namespace {

// Bounds on the waits of the peers: long enough for a loaded machine, short
// enough that a broken test ends.
const int PEER_WAIT_MS = 10000;
const int PEER_IO_MS = 5000;
const int CHILD_START_MS = 15000;
const int CHILD_STOP_MS = 5000;

// Waits for sock to become readable or the stop pipe to signal; true when sock
// is ready.
bool wait_readable(sys_socket_t sock, sys_socket_t stop, int max_wait_ms) {
  sys_poll_sock_t p[2] = {{sock, POLLIN, 0}, {stop, POLLIN, 0}};
  int n = 0;
  if (sys_poll(p, 2, &n, max_wait_ms) != 0) return false;
  return p[1].events_ready == 0 && (p[0].events_ready & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void open_listener(sys_socket_t* listener, unsigned short* port, sys_socket_t* stop_r,
                   sys_socket_t* stop_w) {
  if (sys_tcp_server_open(listener, 0, true, SYS_LOCALHOST, 0, 0) != 0)
    throw std::runtime_error("cannot open a test listener");
  unsigned ip = 0;
  sys_getsockname(*listener, &ip, port);
  if (sys_pipe_open(stop_r, stop_w, true, true) != 0)
    throw std::runtime_error("cannot open a stop pipe");
}

void signal_stop(sys_socket_t stop_w) {
  int n = 0;
  sys_write(stop_w, "x", 1, &n);
}

// Exit status of a child that could not make its private mount namespace.
const int NAMESPACE_REFUSED = 97;

// Forks argv (argv[0] is the binary's path) in a process group of its own,
// with standard input from /dev/null and its output in log_path. With a
// hosts_file the child runs in a private mount namespace with that file over
// /etc/hosts, and exits with NAMESPACE_REFUSED when the system denies that.
// Returns the child's pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path,
            const std::string& hosts_file) {
  // Everything the child needs is prepared here: after fork it may only make
  // system calls.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const char* log_file = log_path.c_str();
  const char* hosts = hosts_file.empty() ? nullptr : hosts_file.c_str();

  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setpgid(0, 0);
    int out = open(log_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    if (hosts) {
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        _exit(NAMESPACE_REFUSED);
    }
    if (close_range(3, ~0U, 0) != 0)
      for (int fd = 3; fd < 4096; ++fd) close(fd);
    execv(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);  // also here, so the group can be signalled at once
  return pid;
}

// Every live process below root (zombies left out), from the parent links in
// /proc, whatever process group or session it moved to.
std::vector<pid_t> live_descendants(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> links;  // (pid, parent)
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !isdigit(static_cast<unsigned char>(name[0]))) continue;
    // "pid (comm) state ppid ..."; comm may hold blanks and parentheses.
    const std::string stat = net_read_file(entry.path().string() + "/stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (sscanf(stat.c_str() + end + 1, " %c %d", &state, &parent) != 2 || state == 'Z') continue;
    links.emplace_back(static_cast<pid_t>(std::stoi(name)), static_cast<pid_t>(parent));
  }
  std::vector<pid_t> found = {root};
  for (size_t i = 0; i < found.size(); ++i)
    for (const auto& link : links)
      if (link.second == found[i]) found.push_back(link.first);
  found.erase(found.begin());
  return found;
}

}  // namespace

int net_count_open_fds() {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

unsigned short net_free_port() {
  sys_socket_t s = SYS_INVALID_SOCKET;
  if (sys_tcp_server_open(&s, 0, true, SYS_LOCALHOST, 0, 0) != 0)
    throw std::runtime_error("cannot find a free port");
  unsigned ip = 0;
  unsigned short port = 0;
  sys_getsockname(s, &ip, &port);
  sys_close_socket(s);
  return port;
}

std::string net_read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream os;
  os << in.rdbuf();
  return os.str();
}

std::string net_local_address(unsigned short port) {
  return sys_ip_port_to_string(SYS_LOCALHOST, port);
}

// --- NetTempDir ---

NetTempDir::NetTempDir() {
  char templ[] = "/tmp/kvn-net-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = templ;
}

NetTempDir::~NetTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::string NetTempDir::write_file(const std::string& name, const std::string& content) const {
  std::string path = m_path + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return path;
}

// --- NetEchoServer ---

NetEchoServer::NetEchoServer() {
  open_listener(&m_listener, &m_port, &m_stop_r, &m_stop_w);
  m_thread = std::thread([this] { run(); });
}

NetEchoServer::~NetEchoServer() {
  signal_stop(m_stop_w);
  m_thread.join();
  sys_close_socket(m_listener);
  sys_pipe_close(m_stop_r, m_stop_w, true);
}

void NetEchoServer::run() {
  for (;;) {
    if (!wait_readable(m_listener, m_stop_r, -1)) return;
    sys_socket_t conn = SYS_INVALID_SOCKET;
    if (sys_tcp_accept(m_listener, &conn, nullptr, nullptr) != 0) continue;
    m_busy = true;
    char buf[4096];
    while (wait_readable(conn, m_stop_r, PEER_WAIT_MS)) {
      int n = 0;
      if (sys_read(conn, buf, sizeof(buf), &n) != 0) break;
      int w = 0;
      if (sys_write_complete(conn, buf, n, &w, PEER_IO_MS) != 0) break;
    }
    sys_close_socket(conn);
    m_busy = false;
  }
}

bool NetEchoServer::wait_idle(int max_wait_ms) const {
  for (int waited = 0; m_busy && waited < max_wait_ms; waited += 5) sys_thread_sleep(5);
  return !m_busy;
}

// --- NetScriptedPeer ---

NetStep net_expect(size_t n) {
  return NetStep{NetStep::kExpect, n, std::string()};
}
NetStep net_send(const std::string& bytes) {
  return NetStep{NetStep::kSend, 0, bytes};
}
NetStep net_hold() {
  return NetStep{NetStep::kHold, 0, std::string()};
}

std::string net_hex(const std::string& hex) {
  std::string out;
  std::string digits;
  for (char c : hex) {
    if (isspace(static_cast<unsigned char>(c))) continue;
    digits += c;
    if (digits.size() == 2) {
      out += static_cast<char>(std::stoi(digits, nullptr, 16));
      digits.clear();
    }
  }
  if (!digits.empty()) throw std::invalid_argument("odd number of hex digits");
  return out;
}

NetScriptedPeer::NetScriptedPeer(std::vector<NetStep> steps) {
  open_listener(&m_listener, &m_port, &m_stop_r, &m_stop_w);
  m_thread = std::thread([this, s = std::move(steps)]() mutable { run(std::move(s)); });
}

NetScriptedPeer::~NetScriptedPeer() {
  signal_stop(m_stop_w);
  join();
  sys_pipe_close(m_stop_r, m_stop_w, true);
}

void NetScriptedPeer::join() {
  if (m_thread.joinable()) m_thread.join();
}

std::string NetScriptedPeer::received() {
  join();
  return m_received;
}

void NetScriptedPeer::run(std::vector<NetStep> steps) {
  AutoSocket listener_guard(&m_listener);
  if (!wait_readable(m_listener, m_stop_r, PEER_WAIT_MS)) return;
  sys_socket_t conn = SYS_INVALID_SOCKET;
  if (sys_tcp_accept(m_listener, &conn, nullptr, nullptr) != 0) return;
  AutoSocket conn_guard(&conn);
  m_contacted = true;
  for (const NetStep& step : steps) {
    int n = 0;
    int rc = 0;
    switch (step.kind) {
      case NetStep::kExpect: {
        std::string buf(step.count, '\0');
        rc = sys_read_complete(conn, &buf[0], static_cast<int>(buf.size()), &n, PEER_IO_MS);
        m_received.append(buf, 0, static_cast<size_t>(n));
        break;
      }
      case NetStep::kSend:
        rc = sys_write_complete(conn, step.bytes.data(), static_cast<int>(step.bytes.size()), &n,
                                PEER_IO_MS);
        break;
      case NetStep::kHold: {
        char buf[256];
        while (rc == 0) rc = sys_read_complete(conn, buf, sizeof(buf), &n, PEER_WAIT_MS);
        if (rc == SYS_ERROR_ECLOSED) rc = 0;
        break;
      }
    }
    if (rc) {
      m_error = rc;
      return;
    }
  }
}

// --- NetChildProcess ---

std::string NetChildProcess::start(const std::vector<std::string>& argv, unsigned short port,
                                   const std::string& log_path, const std::string& hosts_file) {
  stop();
  m_log_path = log_path;
  m_namespace_refused = false;
  const pid_t pid = spawn(argv, log_path, hosts_file);
  if (pid < 0) return "fork failed";
  m_pid = pid;

  for (int waited = 0; waited < CHILD_START_MS; waited += 50) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      m_pid = -1;
      if (WIFEXITED(status) && WEXITSTATUS(status) == NAMESPACE_REFUSED) {
        m_namespace_refused = true;
        return "the system refused a private mount namespace";
      }
      return argv[0] + " exited early (status " + std::to_string(status) + "): " + log();
    }
    sys_socket_t probe = SYS_INVALID_SOCKET;
    if (sys_tcp_connect(&probe, SYS_LOCALHOST, port, 200, 0, 0) == 0) {
      sys_close_socket(probe);
      return std::string();
    }
    sys_thread_sleep(50);
  }
  stop();
  return argv[0] + " did not listen on port " + std::to_string(port) + ": " + log();
}

void NetChildProcess::stop() {
  if (m_pid <= 0) return;
  kill(-m_pid, SIGTERM);
  int status = 0;
  bool done = false;
  for (int waited = 0; waited < CHILD_STOP_MS && !done; waited += 20) {
    done = waitpid(m_pid, &status, WNOHANG) == m_pid;
    if (!done) sys_thread_sleep(20);
  }
  // Whatever is left of the group (helpers the proxy started) goes too.
  kill(-m_pid, SIGKILL);
  if (!done) waitpid(m_pid, &status, 0);
  m_pid = -1;
}

void NetChildProcess::stop_with_descendants() {
  if (m_pid <= 0) return;
  std::vector<pid_t> left = live_descendants(m_pid);
  for (int waited = 0; !left.empty() && waited < CHILD_STOP_MS; waited += 20) {
    sys_thread_sleep(20);
    left = live_descendants(m_pid);
  }
  // Their parents are still alive and reap them.
  for (pid_t pid : left) kill(pid, SIGKILL);
  stop();
}

std::string NetChildProcess::log() const {
  return net_read_file(m_log_path);
}

// --- net_run ---

std::string net_run(const std::vector<std::string>& argv, const std::string& log_path,
                    int max_wait_ms) {
  const pid_t pid = spawn(argv, log_path, std::string());
  if (pid < 0) return "fork failed";
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) != pid; waited += 20) {
    if (waited >= max_wait_ms) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      return argv[0] + " did not end within " + std::to_string(max_wait_ms) +
             " ms: " + net_read_file(log_path);
    }
    sys_thread_sleep(20);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::string();
  return argv[0] + " failed (status " + std::to_string(status) + "): " + net_read_file(log_path);
}

}  // namespace kvn_test
