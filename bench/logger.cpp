// Cost of logging.
//
// DebugOff*: a debug statement whose category is off, against formatting the
// same line (what the check saves). InfoToFile: an enabled INFO line written
// to a file, against fprintf of a line of the same text and header shape with
// fflush, since the logger flushes every line. The ratios are printed after
// the table.
#include <benchmark/benchmark.h>
#include <tavo/private/logging>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

using namespace KVN;

const char kText[] = "order 1234567 filled 300 @ 101.25 on XNAS\n";

void BM_DebugOffAllCategories(benchmark::State& state) {
  g_logDebugFlags = 0;
  int64_t i = 0;
  for (auto _ : state) {
    TAVO_DEBUG(DEB_MAIN, "value " << i << " of the loop\n");
    benchmark::ClobberMemory();  // reload the flags each time, as real code would
    ++i;
  }
}
BENCHMARK(BM_DebugOffAllCategories);

// Another category is on, so both inline checks run.
void BM_DebugOffOtherCategory(benchmark::State& state) {
  g_logDebugFlags = DEB_TIMER;
  int64_t i = 0;
  for (auto _ : state) {
    TAVO_DEBUG(DEB_MAIN, "value " << i << " of the loop\n");
    benchmark::ClobberMemory();
    ++i;
  }
  g_logDebugFlags = 0;
}
BENCHMARK(BM_DebugOffOtherCategory);

void BM_FormatDebugLine(benchmark::State& state) {
  int64_t i = 0;
  for (auto _ : state) {
    std::ostringstream os;
    os << "value " << i << " of the loop\n";
    std::string s = os.str();
    benchmark::DoNotOptimize(s.data());
    ++i;
  }
}
BENCHMARK(BM_FormatDebugLine);

std::string scratch_file(const char* what) {
  const char* tmp = getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/kvn_bench_logger_" + what + "_" +
         std::to_string(getpid()) + ".log";
}

void BM_InfoToFile(benchmark::State& state) {
  const std::string name = scratch_file("logger");
  if (Logger::open(name, false) != 0) {
    state.SkipWithError("cannot open the log file");
    return;
  }
  Logger::set_max_size(static_cast<size_t>(-1));  // measure writing, not rolling
  for (auto _ : state) Logger::log_info_p(__FILE__, __LINE__, kText, sizeof kText - 1);
  state.SetItemsProcessed(state.iterations());
  Logger::close();
  remove(name.c_str());
  remove((name + ".old").c_str());
}
BENCHMARK(BM_InfoToFile);

void BM_FprintfToFile(benchmark::State& state) {
  const std::string name = scratch_file("fprintf");
  FILE* f = fopen(name.c_str(), "w");
  if (!f) {
    state.SkipWithError("cannot open the file");
    return;
  }
  for (auto _ : state) {
    fprintf(f, "INFO [%s] %s:%i %s", "07/27 17:35:26", "logger.cpp", __LINE__, kText);
    fflush(f);
  }
  state.SetItemsProcessed(state.iterations());
  fclose(f);
  remove(name.c_str());
}
BENCHMARK(BM_FprintfToFile);

// Keeps each benchmark's time per iteration so that the ratios can be printed
// once all have run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        m_ns[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
  }

  void print_ratio(const char* what, const char* num, const char* den) const {
    const auto n = m_ns.find(num);
    const auto d = m_ns.find(den);
    if (n == m_ns.end() || d == m_ns.end() || d->second <= 0) return;
    printf("%s: %.2f ns (%.0f/s) vs %.2f ns (%.0f/s), time ratio %.3f (%s / %s)\n", what, n->second,
           1e9 / n->second, d->second, 1e9 / d->second, n->second / d->second, num, den);
  }

 private:
  std::map<std::string, double> m_ns;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratio("disabled debug statement vs formatting it", "BM_DebugOffOtherCategory",
                       "BM_FormatDebugLine");
  reporter.print_ratio("logger INFO line vs fprintf+fflush", "BM_InfoToFile", "BM_FprintfToFile");
  benchmark::Shutdown();
  return 0;
}
