// Subject matching, URL handling, white space, splitting, conversions and
// base64 of the library's text helpers.
#include <tavo/private/logging>
#include <tavo/utils/string>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace KVN {

namespace {

// The <cctype> functions take an unsigned char value; a plain char above
// 0x7F would be negative.
inline bool is_space(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}
inline char upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}
inline char lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

inline const char* or_empty(const char* s) {
  return s ? s : "";
}

// End of the element starting at p: the next '.' or end.
inline const char* element_end(const char* p, const char* end) {
  const void* dot = std::memchr(p, '.', static_cast<size_t>(end - p));
  return dot ? static_cast<const char*>(dot) : end;
}

bool subject_match(const char* a, const char* a_end, const char* p, const char* p_end) {
  for (;;) {
    if (a == a_end && p == p_end) return true;
    const char* ae = element_end(a, a_end);
    const char* pe = element_end(p, p_end);
    const bool a_more = ae != a_end;
    const bool p_more = pe != p_end;
    const char first = p != pe ? *p : '\0';
    const bool multi = first == '>' || first == '+';
    const bool equal = ae - a == pe - p && std::memcmp(a, p, static_cast<size_t>(ae - a)) == 0;
    if (a_more && p_more) {
      if (multi) return true;
      if (first != '*' && !equal) return false;
      a = ae + 1;
      p = pe + 1;
    } else if (a_more) {
      return multi;
    } else if (!p_more) {
      return multi || first == '*' || equal;
    } else {
      // Last actual element, more pattern: only a following '+' (zero or
      // more elements) can still match.
      return pe + 1 != p_end && pe[1] == '+' && (first == '*' || equal);
    }
  }
}

// Unescapes [src, src + n) into dest (which may be src itself: the output
// never runs ahead of the input); returns the output length.
size_t unescape_range(char* dest, const char* src, size_t n) {
  size_t out = 0;
  for (size_t i = 0; i < n; ++i) {
    const char c = src[i];
    if (c == '+') {
      dest[out++] = ' ';
    } else if (c == '%' && n - i > 2) {
      dest[out++] = static_cast<char>(hextoint(src[i + 1], src[i + 2]));
      i += 2;
    } else {
      dest[out++] = c;
    }
  }
  return out;
}

void assign_unescaped(std::string* dest, const char* beg, const char* end) {
  if (!dest) return;
  dest->assign(beg, end);
  unescape_url(*dest);
}

void assign(std::string* dest, const char* beg, const char* end) {
  if (dest) dest->assign(beg, end);
}

// Steps shared by split_url and split_uri: the protocol and the authority.
// Returns the position where the path begins.
const char* split_scheme_authority(const char* url, std::string* protocol, std::string* host_port,
                                   std::string* user, std::string* passwd) {
  const char* p = url + std::strcspn(url, ":/");
  if (*p == ':') {
    assign_unescaped(protocol, url, p);
    ++p;
  } else {
    assign(protocol, url, url);
    p = url;
  }
  if (p[0] == '/' && p[1] == '/') {
    const char* auth = p + 2;
    p = auth + std::strcspn(auth, "/?#");
    split_hostname(auth, p, host_port, user, passwd);
  } else {
    split_hostname(p, p, host_port, user, passwd);
  }
  return p;
}

bool equals_nocase(const std::string& s, const char* word) {
  return ::strcasecmp(s.c_str(), word) == 0 && s.size() == std::strlen(word);
}

size_t split_range(std::vector<std::string>* dest, const char* src, const char* end, char delim,
                   bool trim_ws, bool skip_empty) {
  if (!dest) return 0;
  size_t count = 0;
  for (;;) {
    const void* hit = std::memchr(src, delim, static_cast<size_t>(end - src));
    const char* piece_end = hit ? static_cast<const char*>(hit) : end;
    std::string piece(src, piece_end);
    if (trim_ws) trim(piece);
    if (!(skip_empty && piece.empty())) {
      dest->push_back(std::move(piece));
      ++count;
    }
    if (!hit) return count;
    src = piece_end + 1;
  }
}

}  // namespace

// ---- Subjects -------------------------------------------------------------

bool subjcmp(const char* actual_subj, const char* register_subj) {
  actual_subj = or_empty(actual_subj);
  register_subj = or_empty(register_subj);
  return subject_match(actual_subj, actual_subj + std::strlen(actual_subj), register_subj,
                       register_subj + std::strlen(register_subj));
}

bool subjcmp(const std::string& actual_subj, const std::string& register_subj) {
  const char* a = actual_subj.data();
  const char* p = register_subj.data();
  return subject_match(a, a + actual_subj.size(), p, p + register_subj.size());
}

bool multisubjcmp(const char* actual_subj, const char* registered_subjects) {
  actual_subj = or_empty(actual_subj);
  const char* a_end = actual_subj + std::strlen(actual_subj);
  const char* p = or_empty(registered_subjects);
  for (;;) {
    const char* p_end = p + std::strcspn(p, "|");
    if (subject_match(actual_subj, a_end, p, p_end)) return true;
    if (*p_end == '\0') return false;
    p = p_end + 1;
  }
}

// ---- URLs -----------------------------------------------------------------

std::string& escape_url(std::string& url) {
  static const char hex[] = "0123456789ABCDEF";
  // ASCII classes by value: the <cctype> ones follow the C locale, which an
  // application may have changed.
  auto unreserved = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!()*-._`~", c) != nullptr);
  };
  auto first = std::find_if_not(url.begin(), url.end(), unreserved);
  if (first == url.end()) return url;
  std::string out(url.begin(), first);
  for (auto it = first; it != url.end(); ++it) {
    if (unreserved(*it)) {
      out += *it;
    } else {
      const unsigned char c = static_cast<unsigned char>(*it);
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  url.swap(out);
  return url;
}

size_t unescape_url(std::string& str) {
  str.resize(unescape_range(&str[0], str.data(), str.size()));
  return str.size();
}

size_t unescape_url(std::string& str, bool to_lower) {
  unescape_url(str);
  for (char& c : str) c = to_lower ? lower(c) : upper(c);
  return str.size();
}

size_t unescape_url(char* str) {
  if (!str) return 0;
  const size_t n = unescape_range(str, str, std::strlen(str));
  str[n] = '\0';
  return n;
}

void split_hostname(const char* beg, const char* end, std::string* host_port, std::string* user,
                    std::string* passwd) {
  const void* at = std::memchr(beg, '@', static_cast<size_t>(end - beg));
  if (!at) {
    assign_unescaped(host_port, beg, end);
    assign(user, beg, beg);
    assign(passwd, beg, beg);
    return;
  }
  const char* at_pos = static_cast<const char*>(at);
  assign_unescaped(host_port, at_pos + 1, end);
  const void* colon = std::memchr(beg, ':', static_cast<size_t>(at_pos - beg));
  if (colon) {
    const char* colon_pos = static_cast<const char*>(colon);
    assign_unescaped(user, beg, colon_pos);
    assign_unescaped(passwd, colon_pos + 1, at_pos);
  } else {
    assign_unescaped(user, beg, at_pos);
    assign(passwd, beg, beg);
  }
}

void split_url(const char* url, std::string* protocol, std::string* host_port, std::string* user,
               std::string* passwd, std::string* path, std::string* query, std::string* fragment) {
  url = or_empty(url);
  const char* p = split_scheme_authority(url, protocol, host_port, user, passwd);
  const char* path_end = p + std::strcspn(p, "?#");
  assign(path, p, path_end);
  p = path_end;
  if (*p == '?') {
    const char* query_end = p + 1 + std::strcspn(p + 1, "#");
    assign(query, p + 1, query_end);
    p = query_end;
  } else {
    assign(query, p, p);
  }
  if (*p == '#') {
    assign_unescaped(fragment, p + 1, p + std::strlen(p));
  } else {
    assign(fragment, p, p);
  }
}

void split_uri(const char* url, std::string* protocol, std::string* host_port, std::string* user,
               std::string* passwd, std::string* path) {
  url = or_empty(url);
  const char* p = split_scheme_authority(url, protocol, host_port, user, passwd);
  assign(path, p, p + std::strlen(p));
}

const char* parse_path_variable(const char* ptr, std::string* dest) {
  if (!ptr || *ptr == '\0') return nullptr;
  const char* end = ptr + std::strcspn(ptr, "/");
  assign_unescaped(dest, ptr, end);
  return *end == '/' ? end + 1 : end;
}

const char* parse_query_variable(const char* start, const char* end, const char** name_beg,
                                 const char** name_end, const char** val_beg,
                                 const char** val_end) {
  if (!start || !end || start >= end) return nullptr;
  const size_t len = static_cast<size_t>(end - start);
  const void* amp = std::memchr(start, '&', len);
  const char* pair_end = amp ? static_cast<const char*>(amp) : end;
  const void* eq = std::memchr(start, '=', static_cast<size_t>(pair_end - start));
  const char* nm_end = eq ? static_cast<const char*>(eq) : pair_end;
  const char* v_beg = eq ? nm_end + 1 : pair_end;
  if (name_beg) *name_beg = start;
  if (name_end) *name_end = nm_end;
  if (val_beg) *val_beg = v_beg;
  if (val_end) *val_end = pair_end;
  return amp ? pair_end + 1 : end;
}

// ---- Numbers and characters -----------------------------------------------

int get_base(const char* pos) {
  if (!pos) return 10;
  if (*pos == '+' || *pos == '-') ++pos;
  return pos[0] == '0' && (pos[1] == 'x' || pos[1] == 'X') ? 16 : 10;
}

uint32_t strtoui32(const char* nptr, char** endptr, int base) {
  return static_cast<uint32_t>(strtoui64(nptr, endptr, base));
}

uint64_t strtoui64(const char* nptr, char** endptr, int base) {
  if (!nptr) {
    if (endptr) *endptr = nullptr;
    return 0;
  }
  if (base == 0) base = get_base(skip_ws(nptr));
  return std::strtoull(nptr, endptr, base);
}

uint8_t hextoint(char h1, char h2) {
  auto digit = [](char c) {
    const int code = static_cast<unsigned char>(upper(c));
    return code <= 64 ? code - 48 : code - 55;
  };
  return static_cast<uint8_t>(16 * digit(h1) + digit(h2));
}

int strcasecmp(const char* s1, const char* s2) {
  return ::strcasecmp(s1, s2);
}
int strncasecmp(const char* s1, const char* s2, size_t n) {
  return ::strncasecmp(s1, s2, n);
}
int ffs(int i) {
  return ::ffs(i);
}

// ---- White space, case, splitting -----------------------------------------

const char* skip_ws(const char* str) {
  if (!str) return str;
  while (is_space(*str)) ++str;
  return str;
}

const char* first_ws(const char* str) {
  if (!str) return str;
  while (*str != '\0' && !is_space(*str)) ++str;
  return str;
}

size_t rtrim_size(const char* str, size_t size) {
  if (!str) return 0;
  while (size > 0 && is_space(str[size - 1])) --size;
  return size;
}

std::string& ltrim(std::string& s) {
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), [](char c) { return !is_space(c); }));
  return s;
}

std::string& rtrim(std::string& s) {
  s.resize(rtrim_size(s.data(), s.size()));
  return s;
}

std::string& trim(std::string& s) {
  return ltrim(rtrim(s));
}

std::string ltrim(const std::string& s) {
  std::string r(s);
  return ltrim(r);
}

std::string rtrim(const std::string& s) {
  std::string r(s);
  return rtrim(r);
}

std::string trim(const std::string& s) {
  std::string r(s);
  return trim(r);
}

std::string& to_lower(std::string& s) {
  for (char& c : s) c = lower(c);
  return s;
}

std::string& to_upper(std::string& s) {
  for (char& c : s) c = upper(c);
  return s;
}

std::string to_lower(const std::string& s) {
  std::string r(s);
  return to_lower(r);
}

std::string to_upper(const std::string& s) {
  std::string r(s);
  return to_upper(r);
}

size_t split(std::vector<std::string>* dest, const char* src, char delim, bool trim_ws,
             bool skip_empty) {
  src = or_empty(src);
  return split_range(dest, src, src + std::strlen(src), delim, trim_ws, skip_empty);
}

size_t split(std::vector<std::string>* dest, const std::string& src, char delim, bool trim_ws,
             bool skip_empty) {
  return split_range(dest, src.data(), src.data() + src.size(), delim, trim_ws, skip_empty);
}

void join(std::string* dest, const std::vector<std::string>& tokens, char delim) {
  if (!dest) return;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (i) *dest += delim;
    *dest += tokens[i];
  }
}

std::string join(const std::vector<std::string>& tokens, char delim) {
  std::string r;
  join(&r, tokens, delim);
  return r;
}

// ---- Conversions ----------------------------------------------------------

template <>
bool from_string<bool>(const std::string& val) {
  if (equals_nocase(val, "false") || equals_nocase(val, "no")) return false;
  if (equals_nocase(val, "true") || equals_nocase(val, "yes")) return true;
  return std::atoi(val.c_str()) != 0;
}

template <>
std::string from_string<std::string>(const std::string& val) {
  return val;
}

const char* get_basename(const char* path) {
  if (!path) return "";
  while (*path == '.') ++path;
  const char* base = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
  }
  return base;
}

bool mem_overlap(const void* dest, const void* src, size_t size) {
  // Integer arithmetic: comparing unrelated pointers is undefined.
  const uintptr_t d = reinterpret_cast<uintptr_t>(dest);
  const uintptr_t s = reinterpret_cast<uintptr_t>(src);
  return d < s ? s - d < size : d - s < size;
}

// ---- Base64 ---------------------------------------------------------------

namespace {

const char b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const size_t b64_line = 76;

// Reverse table entries besides the 6-bit values.
const uint8_t B64_PAD = 64;
const uint8_t B64_SKIP = 65;
// What b64_next returns when only skipped bytes (or nothing) remain.
const int B64_END = -1;

struct B64Reverse {
  uint8_t v[256];
  B64Reverse() {
    std::memset(v, B64_SKIP, sizeof v);
    for (int i = 0; i < 64; ++i)
      v[static_cast<unsigned char>(b64_alphabet[i])] = static_cast<uint8_t>(i);
    v[static_cast<unsigned char>('=')] = B64_PAD;
  }
};
const B64Reverse b64_reverse;

// Bounds-checked reader over the encoded text that skips bytes outside the
// alphabet.
class B64Reader {
 public:
  B64Reader(const uint8_t* p, size_t n) : m_p(p), m_end(p + n) {}

  // Next 6-bit value, B64_PAD, or B64_END.
  int next() {
    while (m_p != m_end) {
      const uint8_t v = b64_reverse.v[*m_p++];
      if (v != B64_SKIP) return v;
    }
    return B64_END;
  }
  // Whether anything at all, even a skipped byte, is left.
  bool more() const { return m_p != m_end; }
  // Whether an alphabet or padding character is left; trailing line breaks
  // and blanks after a complete group are the end of the text.
  bool more_symbols() const {
    for (const uint8_t* p = m_p; p != m_end; ++p)
      if (b64_reverse.v[*p] != B64_SKIP) return true;
    return false;
  }

 private:
  const uint8_t* m_p;
  const uint8_t* m_end;
};

size_t b64_fail_length() {
  TAVO_WARN("failing early on length\n");
  return 0;
}

size_t b64_fail_pad() {
  TAVO_WARN("failing early on '='\n");
  return 0;
}

}  // namespace

size_t base64_encode_size(size_t src_len, bool insertNewLines) {
  const size_t n = (src_len / 3 + (src_len % 3 != 0)) * 4;
  if (!insertNewLines || n == 0) return n;
  return n + 2 * ((n - 1) / b64_line);
}

size_t base64_encode(void* dest, const void* src, size_t size, bool insertNewLines) {
  if (size == 0 || !src || !dest) return 0;
  const uint8_t* in = static_cast<const uint8_t*>(src);
  char* out = static_cast<char*>(dest);
  char* const start = out;
  size_t line = 0;
  for (size_t i = 0; i < size; i += 3) {
    const size_t left = size - i;
    const uint32_t b0 = in[i];
    const uint32_t b1 = left > 1 ? in[i + 1] : 0;
    const uint32_t b2 = left > 2 ? in[i + 2] : 0;
    const uint32_t group = b0 << 16 | b1 << 8 | b2;
    *out++ = b64_alphabet[group >> 18 & 0x3F];
    *out++ = b64_alphabet[group >> 12 & 0x3F];
    *out++ = left > 1 ? b64_alphabet[group >> 6 & 0x3F] : '=';
    *out++ = left > 2 ? b64_alphabet[group & 0x3F] : '=';
    line += 4;
    // 76 is a multiple of 4, so a line always ends on a group boundary.
    if (insertNewLines && line == b64_line && left > 3) {
      *out++ = '\r';
      *out++ = '\n';
      line = 0;
    }
  }
  return static_cast<size_t>(out - start);
}

size_t base64_decode(void* dest, const void* src, size_t size) {
  if (!src || !dest) return 0;
  B64Reader in(static_cast<const uint8_t*>(src), size);
  uint8_t* out = static_cast<uint8_t*>(dest);
  size_t count = 0;
  for (;;) {
    if (!in.more_symbols()) return count;

    const int c1 = in.next();
    if (c1 == B64_PAD) return b64_fail_pad();
    if (c1 == B64_END || !in.more()) return b64_fail_length();

    const int c2 = in.next();
    if (c2 == B64_PAD) return b64_fail_pad();
    if (c2 == B64_END || !in.more()) return b64_fail_length();
    out[count++] = static_cast<uint8_t>(c1 << 2 | c2 >> 4);

    const int c3 = in.next();
    if (c3 == B64_PAD) {
      if (!in.more()) return b64_fail_length();
      if (in.next() != B64_PAD) TAVO_WARN("there should be two '=' at end, not one\n");
      return count;
    }
    if (c3 == B64_END || !in.more()) return b64_fail_length();
    out[count++] = static_cast<uint8_t>(c2 << 4 | c3 >> 2);

    const int c4 = in.next();
    if (c4 == B64_PAD) return count;
    if (c4 == B64_END) return b64_fail_length();
    out[count++] = static_cast<uint8_t>(c3 << 6 | c4);
  }
}

}  // namespace KVN
