// Subject matching on arbitrary text: the input up to the first newline is
// the subject, the rest the pattern (or '|'-separated list). The char* and
// string forms must agree, a list must match exactly when one of its patterns
// does, and every subject must match itself and '>'.
#include <tavo/utils/string>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const size_t nl = text.find('\n');
  std::string subject = text.substr(0, nl);
  std::string pattern = nl == std::string::npos ? std::string() : text.substr(nl + 1);
  // The string form sees embedded NULs; compare with the char* form on the
  // text both see.
  KVN::subjcmp(subject, pattern);
  subject.resize(subject.find('\0') == std::string::npos ? subject.size() : subject.find('\0'));
  pattern.resize(pattern.find('\0') == std::string::npos ? pattern.size() : pattern.find('\0'));

  const bool m = KVN::subjcmp(subject.c_str(), pattern.c_str());
  check(m == KVN::subjcmp(subject, pattern));
  check(KVN::subjcmp(subject, subject));
  check(KVN::subjcmp(subject.c_str(), ">"));
  check(KVN::subjcmp(subject.c_str(), "+"));

  std::vector<std::string> pieces;
  KVN::split(&pieces, pattern, '|', false, false);
  bool any = false;
  for (const std::string& p : pieces) any = any || KVN::subjcmp(subject, p);
  check(KVN::multisubjcmp(subject.c_str(), pattern.c_str()) == any);
  return 0;
}
