// Library start-up and clean-up entry points. Every process-wide service is
// created on first use and lives until the process ends, so these have
// nothing to do; they are kept for callers that expect them and are not
// exported from the library.
#define TAVO_INTERNAL __attribute__((visibility("hidden")))

extern "C" {

TAVO_INTERNAL int tavo_initialize() {
  return 0;
}

TAVO_INTERNAL int tavo_checked_initialize() {
  return 0;
}

TAVO_INTERNAL int tavo_cleanup() {
  return 0;
}
}
