// Field value parsing and message field access.
//
// Parsers: the fast decimal parsers against std::from_chars and strtod over
// the same feed-style texts (prices with up to six decimals, sizes, signed
// changes). Messages: RT_Message::get by FID against a
// std::unordered_map<int, std::string> holding the same 12 fields, and
// building a 12-field message by append against filling that map. Figures are
// per item; the ratios are printed after the table.
#include <benchmark/benchmark.h>
#include <tavo/detail/RT_Message>
#include <tavo/utils/numeric>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using namespace KVN;

const size_t kTexts = 1024;

// Sizes and volumes: 1 to 9 digits, mostly short.
std::vector<std::string> make_integers() {
  std::mt19937 rng(7);
  std::vector<std::string> v;
  for (size_t i = 0; i < kTexts; ++i) {
    const int digits = 1 + static_cast<int>(rng() % 9);
    uint32_t n = rng() % 1000000000u;
    std::string s = std::to_string(n).substr(0, digits);
    if (i % 5 == 0) s = "-" + s;  // net changes
    v.push_back(s);
  }
  return v;
}

// Prices: 1 to 5 integer digits, 2 to 6 decimals, some negative.
std::vector<std::string> make_prices() {
  std::mt19937 rng(11);
  std::vector<std::string> v;
  for (size_t i = 0; i < kTexts; ++i) {
    std::string s = std::to_string(rng() % 100000u).substr(0, 1 + rng() % 5) + "." +
                    std::to_string(1000000u + rng() % 1000000u).substr(1, 2 + rng() % 5);
    if (i % 7 == 0) s = "-" + s;
    v.push_back(s);
  }
  return v;
}

const std::vector<std::string> kIntegers = make_integers();
const std::vector<std::string> kPrices = make_prices();

void BM_FastAtoi32(benchmark::State& state) {
  for (auto _ : state)
    for (const std::string& s : kIntegers)
      benchmark::DoNotOptimize(fast_atoi32(s.data(), s.size()));
  state.SetItemsProcessed(state.iterations() * kTexts);
}
BENCHMARK(BM_FastAtoi32);

void BM_FromCharsInt32(benchmark::State& state) {
  for (auto _ : state)
    for (const std::string& s : kIntegers) {
      int32_t v = 0;
      std::from_chars(s.data(), s.data() + s.size(), v);
      benchmark::DoNotOptimize(v);
    }
  state.SetItemsProcessed(state.iterations() * kTexts);
}
BENCHMARK(BM_FromCharsInt32);

void BM_FastAtof(benchmark::State& state) {
  for (auto _ : state)
    for (const std::string& s : kPrices) benchmark::DoNotOptimize(fast_atof(s.data(), s.size()));
  state.SetItemsProcessed(state.iterations() * kTexts);
}
BENCHMARK(BM_FastAtof);

void BM_Strtod(benchmark::State& state) {
  for (auto _ : state)
    for (const std::string& s : kPrices) benchmark::DoNotOptimize(std::strtod(s.c_str(), nullptr));
  state.SetItemsProcessed(state.iterations() * kTexts);
}
BENCHMARK(BM_Strtod);

void BM_FromCharsDouble(benchmark::State& state) {
  for (auto _ : state)
    for (const std::string& s : kPrices) {
      double v = 0;
      std::from_chars(s.data(), s.data() + s.size(), v);
      benchmark::DoNotOptimize(v);
    }
  state.SetItemsProcessed(state.iterations() * kTexts);
}
BENCHMARK(BM_FromCharsDouble);

// A typical quote update: trade, bid/ask with sizes, times, exchange, volume.
const struct {
  int fid;
  const char* value;
} kFields[12] = {{6, "101.25"},      {22, "101.24"},   {25, "101.26"}, {30, "300"},
                 {31, "1500"},       {32, "18234500"}, {178, "200"},   {379, "XNAS"},
                 {1025, "14:31:07"}, {3854, "2"},      {5, "N"},       {11, "-0.75"}};

void BM_MessageGet(benchmark::State& state) {
  RT_Message m;
  for (const auto& f : kFields) m.append(f.fid, f.value);
  for (auto _ : state)
    for (const auto& f : kFields) {
      int size;
      benchmark::DoNotOptimize(m.get(f.fid, &size));
      benchmark::DoNotOptimize(size);
    }
  state.SetItemsProcessed(state.iterations() * 12);
}
BENCHMARK(BM_MessageGet);

void BM_UnorderedMapGet(benchmark::State& state) {
  std::unordered_map<int, std::string> map;
  for (const auto& f : kFields) map.emplace(f.fid, f.value);
  for (auto _ : state)
    for (const auto& f : kFields) {
      auto it = map.find(f.fid);
      benchmark::DoNotOptimize(it->second.data());
      benchmark::DoNotOptimize(it->second.size());
    }
  state.SetItemsProcessed(state.iterations() * 12);
}
BENCHMARK(BM_UnorderedMapGet);

// Each iteration builds one message from nothing (construction included).
void BM_BuildMessage12(benchmark::State& state) {
  for (auto _ : state) {
    RT_Message m;
    for (const auto& f : kFields) m.append(f.fid, f.value);
    benchmark::DoNotOptimize(m.count());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildMessage12);

// The same into a message that is cleared and reused.
void BM_RefillMessage12(benchmark::State& state) {
  RT_Message m;
  for (auto _ : state) {
    m.clear();
    for (const auto& f : kFields) m.append(f.fid, f.value);
    benchmark::DoNotOptimize(m.count());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RefillMessage12);

void BM_BuildUnorderedMap12(benchmark::State& state) {
  for (auto _ : state) {
    std::unordered_map<int, std::string> map;
    for (const auto& f : kFields) map.emplace(f.fid, f.value);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildUnorderedMap12);

// Keeps each benchmark's time per item so that the ratios can be printed once
// all have run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(const std::map<std::string, double>& items) : m_items(items) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      const auto per = m_items.find(r.benchmark_name());
      m_ns[r.benchmark_name()] =
          r.GetAdjustedRealTime() / (per == m_items.end() ? 1.0 : per->second);
    }
  }

  void print_ratio(const char* what, const char* num, const char* den) const {
    const auto n = m_ns.find(num);
    const auto d = m_ns.find(den);
    if (n == m_ns.end() || d == m_ns.end() || d->second <= 0) return;
    printf("%-44s %8.2f ns vs %8.2f ns  ratio %.3f  (%s / %s)\n", what, n->second, d->second,
           n->second / d->second, num, den);
  }

 private:
  std::map<std::string, double> m_items;  // items per iteration
  std::map<std::string, double> m_ns;     // ns per item
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const double texts = static_cast<double>(kTexts);
  RatioReporter reporter({{"BM_FastAtoi32", texts},
                          {"BM_FromCharsInt32", texts},
                          {"BM_FastAtof", texts},
                          {"BM_Strtod", texts},
                          {"BM_FromCharsDouble", texts},
                          {"BM_MessageGet", 12},
                          {"BM_UnorderedMapGet", 12}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\nper item:\n");
  reporter.print_ratio("fast_atoi32 vs from_chars<int32_t>", "BM_FastAtoi32", "BM_FromCharsInt32");
  reporter.print_ratio("fast_atof vs strtod", "BM_FastAtof", "BM_Strtod");
  reporter.print_ratio("fast_atof vs from_chars<double>", "BM_FastAtof", "BM_FromCharsDouble");
  reporter.print_ratio("RT_Message::get vs unordered_map::find", "BM_MessageGet",
                       "BM_UnorderedMapGet");
  reporter.print_ratio("build 12-field message vs unordered_map", "BM_BuildMessage12",
                       "BM_BuildUnorderedMap12");
  reporter.print_ratio("refill cleared message vs build map", "BM_RefillMessage12",
                       "BM_BuildUnorderedMap12");
  benchmark::Shutdown();
  return 0;
}
