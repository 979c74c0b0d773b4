// Connection settings of a ConsumerConnection: server entries, connection
// strings, global properties and the one-time-password variant.
#include <tavo/ConfigFile>
#include <tavo/private/ConsumerConnection>
#include <tavo/private/RT_GlobalState>
#include <tavo/private/logging>
#include <tavo/sys/networking>
#include <tavo/utils/string>

#include <fstream>
#include <iterator>

namespace KVN {

const char* const ATTACH_SOCKET_HOST = "&attach_socket&";
const char* const WORKSTATION_HOST = "&workstation&";

namespace {

// "file" sources may name further sources through their RT_CONNECTION; a
// source that names itself, directly or through others, stops here.
const unsigned kMaxSourceDepth = 16;

// Passwords and keys never go into the log in clear.
const char* masked(const std::string& secret) {
  return secret.empty() ? "" : "****";
}

// A connection string entry with the password of its user information
// masked, for error lines.
std::string masked_entry(const std::string& entry) {
  const size_t at = entry.find('@');
  if (at == std::string::npos) return entry;
  const size_t colon = entry.find(':', entry.compare(0, 2, "//") == 0 ? 2 : 0);
  if (colon == std::string::npos || colon >= at) return entry;
  return entry.substr(0, colon + 1) + masked(entry.substr(colon + 1, at - colon - 1)) +
         entry.substr(at);
}

struct ServerEntry {
  std::string host;
  std::string user_text;
  std::string passwd;

  // "%00" decodes to a NUL byte, which would cut the host short where it is
  // used as C text (resolving it names another host than the one shown).
  bool has_nul() const {
    return host.find('\0') != std::string::npos || user_text.find('\0') != std::string::npos ||
           passwd.find('\0') != std::string::npos;
  }
};

// A server entry read like the authority of a URL: "//" is put in front
// unless it begins with '/', and '+' is protected from the decoding, which
// would make it a blank.
ServerEntry parse_server_entry(const std::string& entry) {
  std::string text = entry.compare(0, 1, "/") == 0 ? std::string() : std::string("//");
  for (char c : entry) {
    if (c == '+')
      text += "%2B";
    else
      text += c;
  }
  ServerEntry out;
  split_url(text.c_str(), nullptr, &out.host, &out.user_text, &out.passwd, nullptr, nullptr,
            nullptr);
  return out;
}

// The protocol of a connection string entry: the text before its first ':'
// when no '/' comes before it.
std::string entry_protocol(const std::string& entry) {
  const size_t end = entry.find_first_of(":/");
  if (end == std::string::npos || entry[end] != ':') return std::string();
  return entry.substr(0, end);
}

}  // namespace

// ---- ConnectionInfo ---------------------------------------------------------

void ConnectionInfo::set_user_text(const std::string& user_text) {
  const size_t dash = user_text.find('-');
  if (dash == std::string::npos) {
    user = user_text;
    serial.clear();
  } else {
    user = user_text.substr(0, dash);
    serial = user_text.substr(dash + 1);
  }
}

int ConnectionInfo::resolve(unsigned* ip, unsigned short* port) const {
  return sys_parse_ip_port(host.c_str(), ip, port, RT_DEFAULT_CONSUMER_PORT);
}

bool ConnectionInfo::read_counter_file(std::string& key_out, std::string& counter_out) const {
  key_out.clear();
  counter_out.clear();
  std::ifstream in(counter_file, std::ios::binary);
  if (!in) {
    TAVO_ERROR("Unable to read OTP counter file " << counter_file << "\n");
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t lf = text.find('\n');
  if (lf == std::string::npos || lf + 1 == text.size()) {
    TAVO_ERROR("Malformed OTP counter file " << counter_file << "\n");
    return false;
  }
  std::string k = text.substr(0, lf);
  if (!k.empty() && k.back() == '\r') k.pop_back();
  std::string c = text.substr(lf + 1);
  if (k.empty() || c.empty()) return false;
  key_out.swap(k);
  counter_out.swap(c);
  return true;
}

bool ConnectionInfo::write_counter_file(const char* key_text, const char* counter_text) const {
  std::ofstream out(counter_file, std::ios::binary | std::ios::trunc);
  if (out) out << (key_text ? key_text : "") << '\n' << (counter_text ? counter_text : "");
  if (out) out.close();
  if (!out) {
    TAVO_ERROR("Unable to write OTP counter file " << counter_file << "\n");
    return false;
  }
  return true;
}

// ---- ConsumerConnection -----------------------------------------------------

ConsumerConnection::ConsumerConnection() : Lockable(false, false) {}

rt_errno ConsumerConnection::set_connection_info(const char* host, const char* user,
                                                 const char* passwd) {
  ScopedLock<ConsumerConnection> guard(*this);
  ServerEntry e;
  std::string property;
  if ((!host || !user || !passwd) && get_global_property("RT_CONNECTION", &property))
    e = parse_server_entry(property);

  auto pick = [](const char* arg, const char* name, std::string* part) {
    if (arg)
      *part = arg;
    else
      get_global_property(name, part);
  };
  pick(host, "RT_HOST", &e.host);
  pick(user, "RT_USER", &e.user_text);
  pick(passwd, "RT_PASSWD", &e.passwd);

  if (e.host.empty()) {
    TAVO_ERROR("host name not specified\n");
    return RT_E_INVAL;
  }
  if (e.has_nul()) {
    TAVO_ERROR("connection settings hold a NUL byte\n");
    return RT_E_INVAL;
  }
  ConnectionInfo info;
  info.host = e.host;
  info.passwd = e.passwd;
  info.set_user_text(e.user_text);
  connection_infos.clear();
  connection_infos.push_back(info);
  TAVO_DEBUG(DEB_TRACE, "set_connection {" << info.user << "}:{" << masked(info.passwd) << "}@"
                                           << info.host << "\n");
  return RT_NO_ERROR;
}

rt_errno ConsumerConnection::set_connection_info(const char* host_port, const char* user,
                                                 const char* device_id, const char* key,
                                                 const char* counter, const char* path,
                                                 bool force_input) {
  if (!host_port) {
    TAVO_ERROR("host name not specified\n");
    return RT_E_INVAL;
  }
  if (!user) {
    TAVO_ERROR("user not specified\n");
    return RT_E_INVAL;
  }
  if (!device_id) {
    TAVO_ERROR("device id not specified\n");
    return RT_E_INVAL;
  }
  if (force_input && (!counter || !key)) {
    TAVO_ERROR("OTP key and counter must be provided when force_input is set to true\n");
    return RT_E_INVAL;
  }

  ScopedLock<ConsumerConnection> guard(*this);
  connection_infos.clear();
  ConnectionInfo info;
  info.host = host_port;
  info.device_id = device_id;
  info.counter_file = (path ? std::string(path) + "/" : std::string()) + device_id + ".data";

  if (!force_input && info.read_counter_file(info.key, info.counter)) {
    TAVO_INFO(
        "Found an existing counter file, use the values in the file instead. If this is not "
        "desired, pls set the flag force_input as true\n");
  } else {
    if (!counter) {
      TAVO_ERROR("OTP counter not provided\n");
      return RT_E_INVAL;
    }
    if (!key) {
      TAVO_ERROR("OTP key not provided\n");
      return RT_E_INVAL;
    }
    info.counter = counter;
    info.key = key;
    if (force_input)
      TAVO_INFO(
          "Flag force_input is set to true, will use the inputted counter value and overwrite "
          "the value in current counter file if it exists\n");
    else
      TAVO_INFO("No existing counter file found\n");
    if (!info.write_counter_file(key, counter)) return RT_E_INVAL;
    TAVO_INFO("Created a new counter file " << info.counter_file << "\n");
  }

  info.set_user_text(user);
  connection_infos.push_back(info);
  TAVO_DEBUG(DEB_TRACE, "set_connection {" << info.user << "}:{" << masked(info.key) << "}@"
                                           << info.host << "\n");
  return RT_NO_ERROR;
}

rt_errno ConsumerConnection::set_connection_info(const char* uri) {
  if (!uri) return set_connection_info(nullptr, nullptr, nullptr);
  ScopedLock<ConsumerConnection> guard(*this);
  connection_infos.clear();
  return parse_connection_info(uri, 0);
}

rt_errno ConsumerConnection::parse_connection_info(const char* uri, unsigned depth) {
  std::vector<std::string> entries;
  split(&entries, uri, '|', false, false);

  for (const std::string& entry : entries) {
    ServerEntry e;
    const std::string protocol = entry_protocol(entry);
    if (protocol == "reg" || protocol == "file") {
      if (depth >= kMaxSourceDepth) {
        TAVO_ERROR("Connection sources nested too deeply at: " << entry << "\n");
        return RT_E_INVAL;
      }
      ConfigFile source;
      const int err = source.read(entry);
      if (err != 0) {
        TAVO_ERROR("Unable to open:" << entry << "\n");
        return static_cast<rt_errno>(err);
      }
      std::string nested;
      if (source.get("RT_CONNECTION", &nested)) {
        const rt_errno rc = parse_connection_info(nested.c_str(), depth + 1);
        if (rc != RT_NO_ERROR) return rc;
        continue;
      }
      source.get("RT_HOST", &e.host);
      source.get("RT_USER", &e.user_text);
      source.get("RT_PASSWD", &e.passwd);
    } else {
      e = parse_server_entry(entry);
    }

    if (e.host.empty() || e.has_nul()) {
      TAVO_ERROR("Retrieving RT_CONNECTION from: " << masked_entry(entry) << "\n");
      return RT_E_INVAL;
    }
    ConnectionInfo info;
    info.host = e.host;
    info.passwd = e.passwd;
    if (e.user_text.empty() && !connection_infos.empty()) {
      e.user_text = connection_infos.front().user;
      info.passwd = connection_infos.front().passwd;
    }
    info.set_user_text(e.user_text);
    connection_infos.push_back(info);
    TAVO_DEBUG(DEB_TRACE, "parse_connection_info {" << info.user << "}:{" << masked(info.passwd)
                                                    << "}@" << info.host << "\n");
  }
  return RT_NO_ERROR;
}

const char* ConsumerConnection::get_connection_info(size_t* dest_sz) {
  ScopedLock<ConsumerConnection> guard(*this);
  m_connection_string.clear();
  for (const ConnectionInfo& info : connection_infos) {
    if (&info != &connection_infos.front()) m_connection_string += '|';
    std::string s = info.user;
    if (!info.serial.empty()) s += "-" + info.serial;
    if (!info.passwd.empty()) {
      s += ":" + info.passwd;
    } else {
      for (const std::string* part : {&info.device_id, &info.key, &info.counter})
        if (!part->empty()) s += ":" + *part;
    }
    if (!s.empty()) s += '@';
    m_connection_string += s + info.host;
  }
  if (dest_sz) *dest_sz = m_connection_string.size();
  return m_connection_string.c_str();
}

const char* ConsumerConnection::get_connected_host() {
  ScopedLock<ConsumerConnection> guard(*this);
  return current_connection.host.empty() ? nullptr : current_connection.host.c_str();
}

}  // namespace KVN
