// Replays fuzz inputs through a target's LLVMFuzzerTestOneInput without
// libFuzzer, so that the seed corpus runs in every ordinary test build.
// Arguments are files or directories (each file of a directory is one input).
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int run_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

int main(int argc, char** argv) {
  int failures = 0, inputs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "replay: %s does not exist\n", argv[i]);
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      failures += run_file(argv[i]);
      ++inputs;
      continue;
    }
    DIR* dir = opendir(argv[i]);
    if (!dir) return 1;
    while (dirent* e = readdir(dir)) {
      std::string path = std::string(argv[i]) + "/" + e->d_name;
      if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        failures += run_file(path);
        ++inputs;
      }
    }
    closedir(dir);
  }
  // The empty input is always worth a pass.
  LLVMFuzzerTestOneInput(nullptr, 0);
  std::printf("replay: %d inputs, %d unreadable\n", inputs, failures);
  return failures == 0 ? 0 : 1;
}
