// Fuzz target for configuration text: parsing, %NAME% expansion and the
// write/read round trip. Whenever no name holds a double quote or begins
// with '#' (neither can be written back), writing the store and reading the
// file again must give the same store.
#include <tavo/ConfigFile>
#include <tavo/Logger>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

namespace {

std::string dump(const KVN::ConfigFile& cfg) {
  std::ostringstream os;
  os << cfg;
  return os.str();
}

bool writable_names(const KVN::ConfigFile& cfg) {
  for (auto it = cfg.keys_begin(); it != cfg.keys_end(); ++it)
    if (it->find('"') != std::string::npos || (!it->empty() && (*it)[0] == '#')) return false;
  return true;
}

const std::string& scratch_file() {
  static const std::string path = "/tmp/kvn_fuzz_config_" + std::to_string(getpid()) + ".cfg";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KVN::Logger::log_level(KVN::TAVO_LOG_NONE);
  const std::string text(reinterpret_cast<const char*>(data), size);

  KVN::ConfigFile cfg;
  std::istringstream in(text);
  if (cfg.read(in, false, false) != 0) __builtin_trap();

  if (writable_names(cfg)) {
    if (cfg.write(scratch_file(), false) != 0) __builtin_trap();
    KVN::ConfigFile back;
    if (back.read(scratch_file(), false, false) != 0) __builtin_trap();
    unlink(scratch_file().c_str());
    if (dump(back) != dump(cfg)) __builtin_trap();
  }

  // Expansion must terminate on any text, cycles and all.
  KVN::ConfigFile expanded = cfg;
  expanded.expand_variables();
  return 0;
}
