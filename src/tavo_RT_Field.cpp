// Field value views and the decimal parsers and formatters behind their
// conversions.
#include <tavo/detail/RT_FidField>
#include <tavo/detail/RT_Field>
#include <tavo/detail/RT_FieldMap>
#include <tavo/utils/numeric>
#include <tavo/utils/string>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>

namespace KVN {

const double _denom[10] = {1.0,      10.0,      100.0,      1000.0,      10000.0,
                           100000.0, 1000000.0, 10000000.0, 100000000.0, 1000000000.0};

namespace {

// Longest digit runs computed without a library call.
const size_t kFast32Digits = 9;
const size_t kFast64Digits = 13;

// Texts handed to the C library are copied into fixed buffers of these sizes;
// anything beyond them is cut (feed values never come close).
const size_t kStrtoui32Buffer = 32;
const size_t kStrtoui64Buffer = 64;
const size_t kStrtodBuffer = 256;

// isspace of the "C" locale, inline: it runs for every leading character.
inline bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

inline const char* skip_space(const char* c, const char* e) {
  while (c != e && is_space(*c)) ++c;
  return c;
}

inline const char* skip_space_and_zeros(const char* c, const char* e) {
  while (c != e && (*c == '0' || is_space(*c))) ++c;
  return c;
}

// Sum of (code - '0') x 10^(position from the right) over n characters, in
// the arithmetic of U; characters are not checked. Horner's rule gives the
// same sum modulo 2^N as the term-by-term expansion and, with feed values of
// varying length, runs faster than a jump into an unrolled expansion (whose
// indirect branch mispredicts on every change of length).
template <typename U>
inline U digits_value(const char* c, size_t n) {
  U r = 0;
  for (const char* e = c + n; c != e; ++c) r = r * 10 + static_cast<U>(*c - '0');
  return r;
}

// Copies at most N - 1 characters of [c, e) into buf and terminates it.
template <size_t N>
const char* terminated_copy(char (&buf)[N], const char* c, const char* e) {
  const size_t n = std::min(static_cast<size_t>(e - c), N - 1);
  std::memcpy(buf, c, n);
  buf[n] = '\0';
  return buf;
}

double strtod_of(const char* c, const char* e) {
  char buf[kStrtodBuffer];
  return std::strtod(terminated_copy(buf, c, e), nullptr);
}

uint32_t long_unsigned32(const char* c, const char* e) {
  char buf[kStrtoui32Buffer];
  return strtoui32(terminated_copy(buf, c, e), nullptr, 10);
}

uint64_t long_unsigned64(const char* c, const char* e) {
  char buf[kStrtoui64Buffer];
  return strtoui64(terminated_copy(buf, c, e), nullptr, 10);
}

// The unsigned parses, shared inline by the signed ones and fast_atof.
inline uint32_t parse_unsigned32(const char* c, const char* e) {
  c = skip_space_and_zeros(c, e);
  const size_t n = static_cast<size_t>(e - c);
  return n <= kFast32Digits ? digits_value<uint32_t>(c, n) : long_unsigned32(c, e);
}

inline uint64_t parse_unsigned64(const char* c, const char* e) {
  c = skip_space_and_zeros(c, e);
  const size_t n = static_cast<size_t>(e - c);
  return n <= kFast64Digits ? digits_value<uint64_t>(c, n) : long_unsigned64(c, e);
}

}  // namespace

uint32_t fast_atoui32(const char* c, size_t size) {
  return parse_unsigned32(c, c + size);
}

uint64_t fast_atoui64(const char* c, size_t size) {
  return parse_unsigned64(c, c + size);
}

int32_t fast_atoi32(const char* c, size_t size) {
  const char* e = c + size;
  c = skip_space(c, e);
  if (c == e) return 0;
  // Negation in unsigned arithmetic, so that '-2147483648' needs no overflow.
  if (*c == '-') return static_cast<int32_t>(0u - parse_unsigned32(c + 1, e));
  if (*c == '+') return static_cast<int32_t>(parse_unsigned32(c + 1, e));
  return static_cast<int32_t>(parse_unsigned32(c, e));
}

int64_t fast_atoi64(const char* c, size_t size) {
  const char* e = c + size;
  c = skip_space(c, e);
  if (c == e) return 0;
  if (*c == '-') return static_cast<int64_t>(0ull - parse_unsigned64(c + 1, e));
  if (*c == '+') return static_cast<int64_t>(parse_unsigned64(c + 1, e));
  return static_cast<int64_t>(parse_unsigned64(c, e));
}

// Whole numbers and fractions are computed in 32-bit integers as the parsers
// above do. A text with more significant integer digits than those hold
// exactly, or with more fraction digits than _denom scales, goes to strtod.
double fast_atof(const char* ptr, size_t size) {
  if (size == 0) return 0.0;
  const char* e = ptr + size;
  const char* dot = ptr;
  while (dot != e && *dot != '.') ++dot;
  if (dot == e) {
    // fast_atoi32 of the text, unless it has more than nine digits.
    const char* c = skip_space(ptr, e);
    const bool negative = c != e && *c == '-';
    if (c != e && (negative || *c == '+')) ++c;
    c = skip_space_and_zeros(c, e);
    const size_t n = static_cast<size_t>(e - c);
    if (n > kFast32Digits) return strtod_of(ptr, e);
    const double whole = digits_value<uint32_t>(c, n);
    return negative ? 0.0 - whole : whole;  // '-0' is 0, as an int would give
  }
  const size_t f = static_cast<size_t>(e - dot - 1);
  if (f > kFast32Digits) return strtod_of(ptr, e);
  const char* fc = skip_space_and_zeros(dot + 1, e);
  const double fraction = digits_value<uint32_t>(fc, e - fc) / _denom[f];
  const char* wc = skip_space_and_zeros(*ptr == '-' || *ptr == '+' ? ptr + 1 : ptr, dot);
  const size_t w = static_cast<size_t>(dot - wc);
  if (w > kFast32Digits) return strtod_of(ptr, e);
  const double whole = digits_value<uint32_t>(wc, w);
  return *ptr == '-' ? -whole - fraction : whole + fraction;
}

namespace {

template <typename U>
size_t unsigned_to_text(char* dest, U num) {
  if (num < 10) {
    dest[0] = static_cast<char>('0' + num);
    dest[1] = '\0';
    return 1;
  }
  if (num < 100) {
    dest[0] = static_cast<char>('0' + num / 10);
    dest[1] = static_cast<char>('0' + num % 10);
    dest[2] = '\0';
    return 2;
  }
  if (num < 1000) {
    dest[0] = static_cast<char>('0' + num / 100);
    dest[1] = static_cast<char>('0' + num / 10 % 10);
    dest[2] = static_cast<char>('0' + num % 10);
    dest[3] = '\0';
    return 3;
  }
  char* p = dest;
  do {
    *p++ = static_cast<char>('0' + num % 10);
    num /= 10;
  } while (num != 0);
  *p = '\0';
  std::reverse(dest, p);
  return static_cast<size_t>(p - dest);
}

}  // namespace

size_t itoa(char* dest, uint32_t num) {
  return unsigned_to_text(dest, num);
}
size_t itoa(char* dest, uint64_t num) {
  return unsigned_to_text(dest, num);
}

size_t itoa(char* dest, int num) {
  if (num >= 0) return unsigned_to_text(dest, static_cast<uint32_t>(num));
  dest[0] = '-';
  return 1 + unsigned_to_text(dest + 1, 0u - static_cast<uint32_t>(num));
}

std::ostream& operator<<(std::ostream& os, const RT_Field& fld) {
  os << "Val = ";
  if (!fld.ptr) return os << "{#NF#} Size=0";
  if (fld.size <= 0) return os << "{} Size = 0";
  os.write(fld.ptr, fld.size);
  return os << " Size=" << fld.size;
}

std::ostream& operator<<(std::ostream& os, const RT_FidField& fld) {
  const RT_FieldMap* dict = RT_FieldMap::get_default();
  os << (dict ? dict->get_name(fld.fid, "????") : "{NOMAP}");
  return os << "[" << fld.fid << "] " << fld.data;
}

}  // namespace KVN
