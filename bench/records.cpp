// Record cache memory and merge speed.
//
// Memory: 10,000 records of 20 feed-style fields (prices, sizes, times, a
// name, codes) filed in an RT_FidCache, measured as the growth of the
// allocator's in-use bytes (mallinfo2), beside the raw bytes of their keys
// and values and beside a std::unordered_map<std::string,
// std::map<int, std::string>> holding the same images.
//
// Merging: 5-field updates (values mostly of the same length, some longer,
// some shorter) applied to those images: RT_FidCache::apply against finding
// the key in the plain map and assigning the five values; and the same for a
// single detached RT_Record against one std::map<int, std::string>. Best of
// five timed passes each; the ratios are printed beside the figures.
#include <tavo/detail/RT_Record>
#include <tavo/private/RT_FidCache>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using namespace KVN;

const int kRecords = 10000;
const int kFields = 20;
const int kUpdates = 10000;
const int kPasses = 5;
const int kRepeats = 10;  // update sets per timed pass

const int kFids[kFields] = {2,  3,  4,  6,  11, 12, 13, 15,  16,   18,
                            19, 21, 22, 25, 30, 31, 32, 259, 1010, 1021};

std::mt19937 g_rng(5);

std::string price() {
  return std::to_string(1 + g_rng() % 900) + "." + std::to_string(10 + g_rng() % 90);
}
std::string size() {
  return std::to_string(1 + g_rng() % 50000);
}
std::string clock_text() {
  char buf[16];
  const unsigned h = 9 + g_rng() % 8, m = g_rng() % 60, s = g_rng() % 60;
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", h, m, s);
  return buf;
}

// Field i's value: names and codes for the first few, then prices, sizes
// and times in turn.
std::string value_for(int i) {
  static const char* const names[] = {"INTL BUSINESS MACHINES", "GENERAL ELECTRIC CO",
                                      "ACME WIDGETS INC", "NORTHERN RAIL HOLDINGS"};
  switch (i) {
    case 0:
      return names[g_rng() % 4];
    case 1:
      return "NYS";
    case 2:
      return "USD";
    default:
      return i % 3 == 0 ? price() : i % 3 == 1 ? size() : clock_text();
  }
}

struct Update {
  int record;
  int fid[5];
  std::string value[5];
};

size_t heap_in_use() {
  return mallinfo2().uordblks;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <class F>
double best_rate(F pass, double items) {
  double best = 0;
  for (int p = 0; p < kPasses; ++p) {
    const auto t0 = std::chrono::steady_clock::now();
    pass();
    best = std::max(best, items / seconds_since(t0));
  }
  return best;
}

}  // namespace

int main() {
  std::vector<std::string> keys;
  std::vector<std::vector<std::string>> images;
  size_t raw = 0;
  for (int r = 0; r < kRecords; ++r) {
    keys.push_back("SYM" + std::to_string(100000 + r) + ".N");
    raw += keys.back().size();
    std::vector<std::string> values;
    for (int i = 0; i < kFields; ++i) {
      values.push_back(value_for(i));
      raw += values.back().size();
    }
    images.push_back(values);
  }

  // ---- memory ----
  const size_t before_cache = heap_in_use();
  RT_FidCache cache("bench", kRecords);
  for (int r = 0; r < kRecords; ++r) {
    RT_Message m;
    m.set_key(keys[r].data(), static_cast<int>(keys[r].size()));
    for (int i = 0; i < kFields; ++i)
      m.append(kFids[i], images[r][i].data(), static_cast<int>(images[r][i].size()));
    cache.apply(m, true, true);
  }
  const size_t cache_bytes = heap_in_use() - before_cache;

  const size_t before_map = heap_in_use();
  std::unordered_map<std::string, std::map<int, std::string>> plain;
  for (int r = 0; r < kRecords; ++r) {
    std::map<int, std::string>& image = plain[keys[r]];
    for (int i = 0; i < kFields; ++i) image[kFids[i]] = images[r][i];
  }
  const size_t map_bytes = heap_in_use() - before_map;

  // ---- updates ----
  std::vector<Update> updates(kUpdates);
  std::vector<RT_Message> messages(kUpdates);
  for (int u = 0; u < kUpdates; ++u) {
    Update& up = updates[u];
    up.record = static_cast<int>(g_rng() % kRecords);
    std::vector<int> idx(kFields);
    for (int i = 0; i < kFields; ++i) idx[i] = i;
    std::shuffle(idx.begin() + 3, idx.end(), g_rng);  // names and codes rarely change
    RT_Message& m = messages[u];
    m.set_key(keys[up.record].data(), static_cast<int>(keys[up.record].size()));
    for (int j = 0; j < 5; ++j) {
      up.fid[j] = kFids[idx[3 + j]];
      up.value[j] = value_for(idx[3 + j]);
      m.append(up.fid[j], up.value[j].data(), static_cast<int>(up.value[j].size()));
    }
  }
  const double n_updates = static_cast<double>(kUpdates) * kRepeats;

  const double cache_rate = best_rate(
      [&] {
        for (int k = 0; k < kRepeats; ++k)
          for (const RT_Message& m : messages) cache.apply(m, false, true);
      },
      n_updates);
  const double map_rate = best_rate(
      [&] {
        for (int k = 0; k < kRepeats; ++k)
          for (const Update& up : updates) {
            auto it = plain.find(keys[up.record]);
            if (it == plain.end()) continue;
            for (int j = 0; j < 5; ++j) it->second[up.fid[j]] = up.value[j];
          }
      },
      n_updates);

  // One image, no key lookup: the record's own merge against std::map.
  RT_Message first;
  first.set_key(keys[0].data(), static_cast<int>(keys[0].size()));
  for (int i = 0; i < kFields; ++i)
    first.append(kFids[i], images[0][i].data(), static_cast<int>(images[0][i].size()));
  RT_Record record(first);
  std::map<int, std::string> one = plain[keys[0]];
  const double record_rate = best_rate(
      [&] {
        for (int k = 0; k < kRepeats; ++k)
          for (const RT_Message& m : messages) record.apply(m, true);
      },
      n_updates);
  const double one_map_rate = best_rate(
      [&] {
        for (int k = 0; k < kRepeats; ++k)
          for (const Update& up : updates)
            for (int j = 0; j < 5; ++j) one[up.fid[j]] = up.value[j];
      },
      n_updates);

  const double per = kRecords;
  std::printf("memory, %d records of %d fields (allocator in-use bytes):\n", kRecords, kFields);
  std::printf("  raw keys and values        %8.1f bytes/record\n", raw / per);
  std::printf("  RT_FidCache                %8.1f bytes/record  ratio to raw %.2f\n",
              cache_bytes / per, cache_bytes / static_cast<double>(raw));
  std::printf("  unordered_map<string,map>  %8.1f bytes/record  ratio to raw %.2f\n",
              map_bytes / per, map_bytes / static_cast<double>(raw));
  std::printf("  RT_FidCache / plain map    %8.2f\n", cache_bytes / static_cast<double>(map_bytes));
  // Where a cached record's bytes go (before allocator rounding).
  const RT_RecordInternal sample(first);
  std::printf(
      "  one record: %zu header + %d offsets + %u buffer (key, length bytes, values, "
      "an eighth spare); table %.1f/record\n",
      sizeof(RT_RecordInternal), 2 * (sample.num_fids() + 1), sample.cap, 8.0 * 16384 / kRecords);
  std::printf("merging 5-field updates (best of %d passes of %.0f updates):\n", kPasses, n_updates);
  std::printf("  RT_FidCache::apply         %12.0f updates/s\n", cache_rate);
  std::printf("  unordered_map + map        %12.0f updates/s\n", map_rate);
  std::printf("  speed ratio cache / map    %12.2f\n", cache_rate / map_rate);
  std::printf("  RT_Record::apply           %12.0f updates/s\n", record_rate);
  std::printf("  std::map<int,string>       %12.0f updates/s\n", one_map_rate);
  std::printf("  speed ratio record / map   %12.2f\n", record_rate / one_map_rate);
  std::printf("cache: %u records\n", cache.size());
  return 0;
}
