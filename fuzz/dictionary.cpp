// Arbitrary bytes as a field dictionary document: loading must never crash or
// read out of bounds, and whatever loads must obey the lookup rules (a name
// maps to its first entry's FID, a FID to its last entry's name and type).
#include <tavo/detail/RT_FieldMap>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

using KVN::RT_FieldMap;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RT_FieldMap* map = RT_FieldMap::create(reinterpret_cast<const char*>(data), size, false);
  if (!map) std::abort();  // memory input always loads

  std::map<std::string, int> first_fid;
  std::map<int, unsigned> last_idx;
  for (unsigned i = 0; i < map->count(); ++i) {
    const char* name = map->get_name_by_idx(i);
    if (!name) std::abort();
    first_fid.emplace(name, map->get_id_by_idx(i));
    last_idx[map->get_id_by_idx(i)] = i;
  }
  for (const auto& e : first_fid) {
    if (e.first[0] >= '0' && e.first[0] <= '9') continue;  // converted, not looked up
    if (map->get_id(e.first.c_str()) != e.second) std::abort();
  }
  for (const auto& e : last_idx) {
    if (std::strcmp(map->get_name(e.first, nullptr), map->get_name_by_idx(e.second)) != 0)
      std::abort();
    if (map->get_type(e.first) != map->get_type_by_idx(e.second)) std::abort();
  }
  if (map->get_name_by_idx(map->count()) != nullptr) std::abort();

  // A second load of the same bytes doubles the entries and keeps the rules.
  const unsigned loaded = map->count();
  if (map->append(reinterpret_cast<const char*>(data), size) != KVN::RT_NO_ERROR) std::abort();
  if (map->count() != 2 * loaded) std::abort();
  for (const auto& e : first_fid)
    if (e.first[0] < '0' || e.first[0] > '9')
      if (map->get_id(e.first.c_str()) != e.second) std::abort();
  RT_FieldMap::destroy(map);
  return 0;
}
