// Fuzz target for connection strings, read as a connection string, as the
// RT_CONNECTION property and as a host argument. "file:" entries may name
// only the small configuration sources made here (one of them names itself)
// or missing ones beside them, so that no input reads arbitrary files.
#include <tavo/Logger>
#include <tavo/private/ConsumerConnection>
#include <tavo/rt_api>

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace {

const char* const kSources[] = {"a.cfg", "n.cfg", "loop.cfg", "nohost.cfg"};
char g_dir[] = "/tmp/kvn_fuzz_conn_XXXXXX";

std::string source(const std::string& name) {
  return std::string(g_dir) + "/" + name;
}

void remove_sources() {
  for (const char* name : kSources) unlink(source(name).c_str());
  rmdir(g_dir);
}

// Made in a scratch directory, removed at exit. (The current directory stays:
// libFuzzer writes its corpus relative to it.)
bool make_sources() {
  if (!mkdtemp(g_dir)) return false;
  atexit(remove_sources);
  const std::string texts[] = {
      "RT_HOST = \"fh:7000\"\nRT_USER = \"fu-1\"\nRT_PASSWD = \"fp\"\n",
      "RT_CONNECTION = \"u:p@x|file:" + source("a.cfg") + "\"\n",
      "RT_CONNECTION = \"h|file:" + source("loop.cfg") + "\"\n",
      "RT_USER = \"%HOME%\"\n",
  };
  for (size_t i = 0; i < 4; ++i) std::ofstream(source(kSources[i])) << texts[i];
  return true;
}

// Every "file:" entry must be a bare name of lower-case letters and dots,
// which is turned into that name in the scratch directory (most of them
// missing). False for any other file entry.
bool place_files(const std::string& s, std::string* out) {
  out->clear();
  size_t start = 0;
  for (;;) {
    const size_t end = s.find('|', start);
    std::string entry = s.substr(start, end == std::string::npos ? end : end - start);
    const size_t colon = entry.find_first_of(":/");
    if (colon != std::string::npos && entry[colon] == ':' && entry.compare(0, colon, "file") == 0) {
      const std::string name = entry.substr(colon + 1);
      if (name.empty() ||
          name.find_first_not_of("abcdefghijklmnopqrstuvwxyz.") != std::string::npos)
        return false;
      entry = "file:" + source(name);
    }
    *out += entry;
    if (end == std::string::npos) return true;
    *out += '|';
    start = end + 1;
  }
}

// An accepted list has a host in every entry, so its text is not empty.
void check(KVN::ConsumerConnection& c, KVN::rt_errno rc) {
  size_t n = 0;
  const char* text = c.get_connection_info(&n);
  if (rc == KVN::RT_NO_ERROR && n == 0) __builtin_trap();
  if (std::string(text).size() != n) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = make_sources();
  if (!ready) return 0;
  KVN::Logger::log_level(KVN::TAVO_LOG_NONE);
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string text;  // the interface takes NUL-terminated text
  if (!place_files(input.c_str(), &text)) return 0;

  KVN::ConsumerConnection c;
  check(c, c.set_connection_info(text.c_str()));

  KVN::Pylon::set_property("RT_CONNECTION", text.c_str());
  check(c, c.set_connection_info(nullptr, nullptr, nullptr));
  KVN::Pylon::set_property("RT_CONNECTION", "");
  check(c, c.set_connection_info(text.c_str(), "u", nullptr));
  return 0;
}
