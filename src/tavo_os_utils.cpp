// Diagnostic formatters: hex dumps, time stamps, argument vectors, escaping
// of bracketed-list text and wide text on narrow streams.
#include <tavo/utils/ostream>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <locale>
#include <type_traits>

namespace KVN {

namespace {

const size_t DUMP_LINE_BYTES = 16;
// Longest dump line: a 16-digit offset, 4 blanks, 49 columns of bytes, "  |",
// 16 text characters, "|\n" and the NUL of snprintf.
const size_t DUMP_LINE_MAX = 16 + 4 + 49 + 3 + 16 + 2 + 1;

// Formats one dump line of n (1..16) bytes into buf (DUMP_LINE_MAX bytes);
// returns its length. A short line is padded so that its text column lines
// up with the full lines above it.
size_t format_dump_line(char* buf, unsigned long long offset, const uint8_t* bytes, size_t n) {
  int len = std::snprintf(buf, DUMP_LINE_MAX, "%.4llx    ", offset);
  char text[DUMP_LINE_BYTES];
  for (size_t i = 0; i < DUMP_LINE_BYTES; ++i) {
    if (i < n) {
      len += std::snprintf(buf + len, DUMP_LINE_MAX - len, "%.2x ", bytes[i]);
      text[i] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    } else {
      std::memcpy(buf + len, "   ", 3);
      len += 3;
      text[i] = ' ';
    }
    if (i == 7) buf[len++] = ' ';
  }
  std::memcpy(buf + len, "  |", 3);
  len += 3;
  std::memcpy(buf + len, text, DUMP_LINE_BYTES);
  len += DUMP_LINE_BYTES;
  std::memcpy(buf + len, "|\n", 2);
  return static_cast<size_t>(len + 2);
}

// The formatters build ASCII text; a wide stream gets it widened. Written
// unformatted, so the caller's width, fill and flags neither apply nor change.
void put_text(std::ostream& os, const char* s, size_t n) {
  os.write(s, static_cast<std::streamsize>(n));
}
void put_text(std::wostream& os, const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) os.put(os.widen(s[i]));
}
template <class Os>
void put_text(Os& os, const char* s) {
  put_text(os, s, std::strlen(s));
}

template <class Os>
Os& write_hex_dump(Os& os, const hex_dump& d) {
  const uint8_t* bytes = static_cast<const uint8_t*>(d.buff);
  const size_t size = bytes ? std::min(d.size, d.max_size) : 0;
  if (d.begin_addr == 0) put_text(os, "\n");
  char line[DUMP_LINE_MAX];
  for (size_t i = 0; i < size; i += DUMP_LINE_BYTES) {
    const size_t n = std::min(DUMP_LINE_BYTES, size - i);
    put_text(os, line, format_dump_line(line, d.begin_addr + i, bytes + i, n));
  }
  os.flush();
  return os;
}

template <class Os>
Os& write_time(Os& os, const print_time& p) {
  char buf[64];
  tm local;
  int len;
  if (sys_localtime(&p.t, &local)) {
    // In 64 bits: tm_year + 1900 overflows int for the last representable years.
    const long long year = (static_cast<long long>(local.tm_year) + 1900) % 100;
    len = std::snprintf(buf, sizeof buf, "%02d/%02d/%02lld %02d:%02d:%02d", local.tm_mon + 1,
                        local.tm_mday, year < 0 ? year + 100 : year, local.tm_hour, local.tm_min,
                        local.tm_sec);
  } else {
    // Beyond what the calendar can express: the raw seconds still say something.
    len = std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(p.t));
  }
  if (p.m >= 0) len += std::snprintf(buf + len, sizeof buf - len, ".%03d", p.m);
  put_text(os, buf, static_cast<size_t>(len));
  return os;
}

template <class Os>
Os& write_args(Os& os, const args_dump& a) {
  char num[16];
  put_text(os, num, static_cast<size_t>(std::snprintf(num, sizeof num, " argc:%d { ", a.argc)));
  for (int i = 0; a.argv && i < a.argc; ++i) {
    put_text(os, i ? ", {" : "{");
    if (a.argv[i]) put_text(os, a.argv[i]);
    put_text(os, "}");
  }
  put_text(os, " }");
  return os;
}

template <class Os, class Str>
Os& write_escaped(Os& os, const Str& s) {
  static const char special[] = "()[\\]{|}";
  for (auto c : s) {
    const auto u = static_cast<typename std::make_unsigned<decltype(c)>::type>(c);
    if (u != 0 && u < 0x80 && std::strchr(special, static_cast<char>(u))) os.put(os.widen('\\'));
    os.put(c);
  }
  return os;
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const hex_dump& d) {
  return write_hex_dump(os, d);
}
std::wostream& operator<<(std::wostream& os, const hex_dump& d) {
  return write_hex_dump(os, d);
}
std::ostream& operator<<(std::ostream& os, const print_time& p) {
  return write_time(os, p);
}
std::wostream& operator<<(std::wostream& os, const print_time& p) {
  return write_time(os, p);
}
std::ostream& operator<<(std::ostream& os, const args_dump& a) {
  return write_args(os, a);
}
std::wostream& operator<<(std::wostream& os, const args_dump& a) {
  return write_args(os, a);
}

std::ostream& escape_container_string(std::ostream& os, const std::string& s) {
  return write_escaped(os, s);
}
std::wostream& escape_container_string(std::wostream& os, const std::wstring& s) {
  return write_escaped(os, s);
}

int hexdump_file(const void* buff, int size, int start, FILE* fp) {
  if (!fp) return EOF;
  const uint8_t* bytes = static_cast<const uint8_t*>(buff);
  const size_t total = bytes && size > 0 ? static_cast<size_t>(size) : 0;
  char line[DUMP_LINE_MAX];
  for (size_t i = 0; i < total; i += DUMP_LINE_BYTES) {
    // The offset is printed as an unsigned int, as "%x" of an int would be.
    const unsigned offset = static_cast<unsigned>(start) + static_cast<unsigned>(i);
    const size_t n = std::min(DUMP_LINE_BYTES, total - i);
    std::fwrite(line, 1, format_dump_line(line, offset, bytes + i, n), fp);
  }
  return std::fflush(fp);
}

namespace Detail {

TavoOStream& TavoOStream::operator<<(const std::wstring& s) {
  write_wide(s.data(), s.data() + s.size());
  return *this;
}

TavoOStream& TavoOStream::operator<<(const wchar_t* s) {
  if (s) write_wide(s, s + std::wcslen(s));
  return *this;
}

TavoOStream& TavoOStream::operator<<(wchar_t c) {
  write_wide(&c, &c + 1);
  return *this;
}

void TavoOStream::write_wide(const wchar_t* from, const wchar_t* end) {
  typedef std::codecvt<wchar_t, char, std::mbstate_t> Cvt;
  const Cvt& cvt = std::use_facet<Cvt>(m_os.getloc());
  std::mbstate_t state = std::mbstate_t();
  char buf[256];
  while (from < end) {
    const wchar_t* from_next = from;
    char* to_next = buf;
    const auto r = cvt.out(state, from, end, from_next, buf, buf + sizeof buf, to_next);
    m_os.write(buf, to_next - buf);
    if (r == Cvt::error) {
      // A character the encoding cannot express: leave it out, go on after it.
      from = from_next < end ? from_next + 1 : end;
      state = std::mbstate_t();
    } else if (from_next == from && to_next == buf) {
      break;  // no progress (noconv, or a facet that needs more than the buffer)
    } else {
      from = from_next;
    }
  }
  char* to_next = buf;
  if (cvt.unshift(state, buf, buf + sizeof buf, to_next) == Cvt::ok) m_os.write(buf, to_next - buf);
}

}  // namespace Detail

}  // namespace KVN
