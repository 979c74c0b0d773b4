// URL splitting and unescaping on arbitrary text: every part must come back
// without reading past the text, the path and query walkers must advance on
// every step, and escaping followed by unescaping must restore the input.
#include <tavo/utils/string>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string text = raw.substr(0, raw.find('\0'));  // what the char* forms see

  std::string protocol, host, user, passwd, path, query, fragment;
  KVN::split_url(text.c_str(), &protocol, &host, &user, &passwd, &path, &query, &fragment);
  std::string u_protocol, u_host, u_user, u_passwd, u_path;
  KVN::split_uri(text.c_str(), &u_protocol, &u_host, &u_user, &u_passwd, &u_path);
  check(u_protocol == protocol && u_host == host && u_user == user && u_passwd == passwd);
  // split_url's path is the start of split_uri's unsplit rest.
  check(u_path.compare(0, path.size(), path) == 0);
  check(path.find_first_of("?#") == std::string::npos);
  KVN::split_url(text.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);

  // Unescaping never grows the text, and the three forms agree.
  std::string s = raw;
  const size_t n = KVN::unescape_url(s);
  check(n == s.size() && n <= raw.size());
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  const size_t nc = KVN::unescape_url(buf.data());
  check(buf[nc] == '\0');
  std::string s_text = text;
  KVN::unescape_url(s_text);
  check(std::string(buf.data(), nc) == s_text);
  std::string folded = raw;
  check(KVN::unescape_url(folded, true) == n);

  std::string escaped = raw;
  KVN::escape_url(escaped);
  KVN::unescape_url(escaped);
  check(escaped == raw);

  const char* end = raw.data() + raw.size();
  size_t pairs = 0;
  for (const char *p = raw.data(), *prev = nullptr; p; ++pairs) {
    const char *nb, *ne, *vb, *ve;
    prev = p;
    p = KVN::parse_query_variable(p, end, &nb, &ne, &vb, &ve);
    if (!p) break;
    check(p > prev && p <= end);
    check(nb == prev && nb <= ne && ne <= vb && vb <= ve && ve <= end);
  }
  check(pairs <= raw.size());

  std::string seg;
  size_t segs = 0;
  for (const char* p = text.c_str(); (p = KVN::parse_path_variable(p, &seg)); ++segs) {
    check(p <= text.c_str() + text.size());
    check(segs <= text.size());
  }
  return 0;
}
