// Key = value configuration text: parsing, %NAME% expansion and writing.
#include <tavo/ConfigFile>
#include <tavo/private/logging>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace KVN {

namespace {

// Expansion limits, so that hostile text cannot exhaust the stack or memory:
// a chain of references nested deeper than this, or a value that would grow
// past this size through its references, stops expanding with an error line.
const size_t kMaxExpandDepth = 256;
const size_t kMaxExpandedSize = 1 << 20;

bool only_blanks(const std::string& s) {
  for (char c : s)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\v' && c != '\f') return false;
  return true;
}

// One line of text split by the rules of the format: the position of the
// separating '=' (npos without one), the quoted texts after it (the whole
// line when there is none) and whether a quote stayed open.
struct ParsedLine {
  std::string text;  // the line without its comment
  size_t equals = std::string::npos;
  std::vector<std::string> values;
  bool extra_equals = false;
  size_t open_quote = std::string::npos;  // in text
};

ParsedLine parse_line(const std::string& line) {
  ParsedLine out;
  size_t quote_start = std::string::npos;  // inside quotes: where the text begins
  size_t i = 0;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    if (quote_start != std::string::npos) {
      if (c == '"') {
        out.values.push_back(line.substr(quote_start, i - quote_start));
        quote_start = std::string::npos;
      }
      continue;
    }
    if (c == '"') {
      quote_start = i + 1;
    } else if (c == '=') {
      if (out.equals == std::string::npos) {
        out.equals = i;
        out.values.clear();  // quoted text before the '=' belongs to the name
      } else {
        out.extra_equals = true;
      }
    } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '/') {
      break;
    }
  }
  if (quote_start != std::string::npos) {
    out.open_quote = quote_start - 1;
    out.values.push_back(line.substr(quote_start));
  }
  out.text = line.substr(0, i);
  return out;
}

class Expander {
 public:
  explicit Expander(ConfigFile::ParamMap& params) : m_params(params) {}

  void expand_all() {
    for (auto& p : m_params) {
      m_path.clear();
      expand(p.first, 0);
    }
  }

 private:
  // The first value of name after expanding it.
  std::string expand(const std::string& name, size_t depth) {
    const ConfigFile::ParamMap::iterator it = m_params.find(name);
    if (it == m_params.end()) {
      const char* env = std::getenv(name.c_str());
      if (env) return env;
      TAVO_ERROR("Unknown variable: " << name << "\n");
      return std::string();
    }
    if (m_path.count(name)) {
      TAVO_ERROR("Cycle detected. Visited " << name << " twice in call stack.\n");
      return std::string();
    }
    if (m_finished.count(name)) return first(it->second);
    if (depth >= kMaxExpandDepth) {
      TAVO_ERROR("Variables nested too deeply at " << name << "\n");
      return std::string();
    }
    m_finished.insert(name);
    m_path.insert(name);
    for (std::string& value : it->second) expand_value(name, value, depth);
    m_path.erase(name);
    return first(it->second);
  }

  // Rebuilds value left to right; text inserted for a reference is not
  // searched again.
  void expand_value(const std::string& name, std::string& value, size_t depth) {
    std::string out;
    size_t pos = 0;
    for (;;) {
      const size_t open = value.find('%', pos);
      if (open == std::string::npos) break;
      const size_t close = value.find('%', open + 1);
      if (close == std::string::npos) {
        TAVO_ERROR("Unterminated variable in " << name << "\n");
        break;
      }
      out.append(value, pos, open - pos);
      pos = close + 1;
      if (close == open + 1) {
        out += '%';
        continue;
      }
      const std::string result = expand(value.substr(open + 1, close - open - 1), depth + 1);
      if (out.size() + result.size() + (value.size() - pos) > kMaxExpandedSize) {
        TAVO_ERROR("Expanded value too long in " << name << "\n");
        pos = open;
        break;
      }
      out += result;
    }
    out.append(value, pos, std::string::npos);
    value.swap(out);
  }

  static std::string first(const std::vector<std::string>& values) {
    return values.empty() ? std::string() : values.front();
  }

  ConfigFile::ParamMap& m_params;
  std::set<std::string> m_finished;
  std::set<std::string> m_path;
};

}  // namespace

const std::string* ConfigFile::first_value(const std::string& name) const {
  const ParamMap::const_iterator it = params.find(name);
  if (it == params.end() || it->second.empty()) return nullptr;
  return &it->second.front();
}

std::vector<std::string>& ConfigFile::values_of(const std::string& name) {
  const auto ins = params.emplace(name, std::vector<std::string>());
  if (ins.second) m_param_names.push_back(name);
  return ins.first->second;
}

void ConfigFile::clear() {
  params.clear();
  m_param_names.clear();
}

int ConfigFile::read(const char* uri, bool append, bool expand) {
  if (!uri) {
    TAVO_ERROR("ConfigFile: no source named\n");
    return EINVAL;
  }
  std::string protocol;
  std::string path;
  split_url(uri, &protocol, nullptr, nullptr, nullptr, &path, nullptr, nullptr);

  int err;
  if (protocol.empty() || protocol == "file") {
    err = read_file(path, append);
  } else if (protocol == "reg") {
    err = read_registry(path, append);
  } else {
    TAVO_ERROR("Config file does not know how to handle this protcol: " << protocol
                                                                        << " uri:" << uri << "\n");
    return EINVAL;
  }
  if (err == 0 && expand) expand_variables();
  return err;
}

int ConfigFile::read(const std::string& uri, bool append, bool expand) {
  return read(uri.c_str(), append, expand);
}

int ConfigFile::read(std::istream& in, bool append, bool expand) {
  const int err = read_stream(in, "stream", append);
  if (err == 0 && expand) expand_variables();
  return err;
}

int ConfigFile::read_file(const std::string& path, bool append) {
  // The whole file is read before the store is touched, so that a read error
  // part way leaves it as it was.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int err = 0;
  std::string text;
  if (fd < 0) {
    err = errno ? errno : EIO;
  } else {
    char buf[8192];
    while (err == 0) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        text.append(buf, static_cast<size_t>(n));
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        err = errno ? errno : EIO;
      }
    }
    ::close(fd);
  }
  if (err != 0) {
    TAVO_ERROR("ConfigFile: cannot read " << path << " err:" << err << "\n");
    return err;
  }
  std::istringstream in(text);
  return read_stream(in, path, append);
}

int ConfigFile::read_registry(const std::string& key, bool append) {
  (void)key;
  (void)append;
  return EINVAL;
}

int ConfigFile::read_stream(std::istream& in, const std::string& file, bool append) {
  if (!append) clear();
  std::vector<std::string>* current = nullptr;  // values of the parameter being read
  std::string current_name;
  size_t lineno = 0;

  // A parameter that ended without a value gets one empty value.
  auto finish_current = [&]() {
    if (current && current->empty()) {
      TAVO_WARN("ConfigFile:" << file << " line: " << lineno
                              << " Empty parameter name:" << current_name << "\n");
      current->push_back(std::string());
    }
  };

  for (std::string line; std::getline(in, line);) {
    ++lineno;
    ParsedLine pl = parse_line(line);
    if (only_blanks(pl.text) || pl.text[0] == '#') continue;
    if (pl.extra_equals)
      TAVO_WARN("ConfigFile:" << file << " line: " << lineno
                              << " Only one '=' permitted per line\n");
    if (pl.open_quote != std::string::npos)
      TAVO_WARN("ConfigFile:" << file << " line: " << lineno
                              << " multi-line string literals not allowed value: "
                              << pl.text.substr(pl.open_quote) << "\n");

    if (pl.equals != std::string::npos) {
      finish_current();
      current_name = trim(pl.text.substr(0, pl.equals));
      if (exists(current_name))
        TAVO_WARN("ConfigFile:" << file << " line: " << lineno << " Duplicate paramater name "
                                << current_name << "\n");
      current = &values_of(current_name);
      current->clear();
    } else if (!current) {
      TAVO_WARN("ConfigFile:" << file << "line: " << lineno << " expected an '='\n");
      continue;
    }
    for (std::string& v : pl.values) current->push_back(std::move(v));
  }
  finish_current();
  return 0;
}

void ConfigFile::expand_variables() {
  Expander(params).expand_all();
}

int ConfigFile::write(const std::string& file, bool append) const {
  std::ofstream out(file, append ? std::ios::app : std::ios::trunc);
  if (!out) {
    const int err = errno ? errno : EIO;
    TAVO_ERROR("Unable to open " << file << " err:" << err << "\n");
    return err;
  }
  for (const std::string& name : m_param_names) {
    out << name << " = ";
    const std::vector<std::string>& values = params.find(name)->second;
    for (size_t i = 0; i < values.size(); ++i) out << (i ? ", \"" : "\"") << values[i] << '"';
    out << '\n';
  }
  out.close();
  if (!out) {
    const int err = errno ? errno : EIO;
    TAVO_ERROR("Unable to write " << file << " err:" << err << "\n");
    return err;
  }
  return 0;
}

ConfigFile& ConfigFile::append(const ConfigFile& other, bool expand) {
  for (const std::string& name : other.m_param_names) {
    if (exists(name)) TAVO_WARN("Duplicate paramater name " << name << "\n");
    set_all(name, other.params.find(name)->second);
  }
  if (expand) expand_variables();
  return *this;
}

std::ostream& operator<<(std::ostream& os, const ConfigFile& cfg) {
  os << "ConfigFile:" << std::endl;
  for (const std::string& name : cfg.m_param_names) {
    os << "  " << name << " = ";
    const std::vector<std::string>& values = cfg.params.find(name)->second;
    for (size_t i = 0; i < values.size(); ++i) os << (i ? "," : "") << values[i];
    os << std::endl;
  }
  return os;
}

}  // namespace KVN
