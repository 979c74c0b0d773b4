// Arbitrary bytes through the decimal parsers and the RT_Field conversions:
// no crash or out-of-bounds read for any text and length, and exact results
// wherever the text is a plain decimal number.
#include <tavo/detail/RT_Field>
#include <tavo/utils/numeric>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool all_digits(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] < '0' || p[i] > '9') return false;
  return true;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so reading past the end is caught.
  std::vector<char> buf(data, data + size);
  const char* p = buf.data();

  const uint32_t u32 = KVN::fast_atoui32(p, size);
  const uint64_t u64 = KVN::fast_atoui64(p, size);
  const int32_t i32 = KVN::fast_atoi32(p, size);
  const int64_t i64 = KVN::fast_atoi64(p, size);
  const double d = KVN::fast_atof(p, size);
  (void)d;

  const KVN::RT_Field f(size ? p : nullptr, static_cast<int>(size));
  check(f.to_int() == (size ? i32 : 0));
  check(f.to_uint() == (size ? u32 : 0u));
  check(f.to_int64() == (size ? i64 : 0));
  check(f.to_uint64() == (size ? u64 : 0u));
  check(f.to_string() == std::string(p, size));
  f.to_double();

  // Plain digit strings: exact against from_chars (modulo 2^32 for 32 bits).
  if (size > 0 && size <= 19 && all_digits(p, size)) {
    uint64_t ref = 0;
    std::from_chars(p, p + size, ref);
    check(u64 == ref);
    check(u32 == static_cast<uint32_t>(ref));
    check(i64 == static_cast<int64_t>(ref));
  }
  // Plain decimal fractions: within rounding of strtod.
  const char* dot = size ? static_cast<const char*>(std::memchr(p, '.', size)) : nullptr;
  if (dot && size < 20 && all_digits(p, dot - p) && all_digits(dot + 1, p + size - dot - 1)) {
    const std::string text(p, size);
    const double ref = std::strtod(text.c_str(), nullptr);
    check(std::fabs(KVN::fast_atof(p, size) - ref) <= 1e-12 * std::fabs(ref) + 1e-300);
  }

  // itoa and the parsers invert each other.
  char out[24];
  check(KVN::fast_atoi32(out, KVN::itoa(out, static_cast<int>(i32))) == i32);
  check(KVN::fast_atoui32(out, KVN::itoa(out, u32)) == u32);
  check(KVN::fast_atoui64(out, KVN::itoa(out, u64)) == u64);
  check(std::strlen(out) == KVN::itoa(out, u64));
  return 0;
}
