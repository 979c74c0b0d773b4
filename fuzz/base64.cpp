// Base64 on arbitrary bytes: decoding stays within the documented output
// size, and encoding (with and without line breaks) decodes back to the
// input.
#include <tavo/Logger>
#include <tavo/utils/string>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Malformed inputs are the common case here; their warnings are not.
const bool quiet = (KVN::Logger::log_level(KVN::TAVO_LOG_NONE), true);

// A heap block of exactly n bytes, so that the sanitizer sees any write past it.
std::unique_ptr<uint8_t[]> block(size_t n) {
  return std::unique_ptr<uint8_t[]>(new uint8_t[n ? n : 1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)quiet;
  const size_t dec_cap = (size + 3) / 4 * 3;
  auto decoded = block(dec_cap);
  const size_t dn = KVN::base64_decode(decoded.get(), data, size);
  check(dn <= dec_cap);

  for (bool lines : {false, true}) {
    const size_t en = KVN::base64_encode_size(size, lines);
    auto encoded = block(en);
    check(KVN::base64_encode(encoded.get(), data, size, lines) == en);
    auto back = block((en + 3) / 4 * 3);
    check(KVN::base64_decode(back.get(), encoded.get(), en) == size);
    check(size == 0 || std::memcmp(back.get(), data, size) == 0);
  }
  return 0;
}
