// Field dictionary: entries loaded from XML documents in load order, with a
// name index (first entry of a name wins) and a FID index (last entry of a
// FID wins) rebuilt after every load, and the process default dictionary.
#include <tavo/HashMap>
#include <tavo/SimpleXMLParser>
#include <tavo/detail/RT_FieldMap>
#include <tavo/utils/hash>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace KVN {

namespace {

// One dictionary entry. The name is an owned heap copy, so the name index can
// point at it while the vector of entries grows.
struct FieldInfo {
  // Throws std::bad_alloc when the name cannot be copied.
  FieldInfo(int id, const std::string& name, RT_FieldMap::FieldType t)
      : fid(id), fld_name(new char[name.size() + 1]), type(t) {
    std::memcpy(fld_name.get(), name.c_str(), name.size() + 1);
  }

  int fid;
  std::unique_ptr<char[]> fld_name;
  RT_FieldMap::FieldType type;
};

struct FieldNameHash {
  size_t operator()(const char* s) const { return hash_string(std::string(s), 0); }
};

struct FieldNameCompare {
  bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) == 0; }
};

const size_t kInitialBuckets = 100;

// The process default dictionary. Atomic so that readers on other threads see
// a whole pointer; the dictionary it names must still outlive them.
std::atomic<const RT_FieldMap*> default_field_map{nullptr};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

class RT_FieldMapImpl {
 public:
  typedef HashMap<const char*, unsigned, FieldNameHash, FieldNameCompare> NameMap;
  typedef HashMap<int, unsigned> IdMap;

  RT_FieldMapImpl()
      : m_name_map(kInitialBuckets, FieldNameHash(), FieldNameCompare()),
        m_id_map(kInitialBuckets) {}

  // Adds every complete Field element of the parser's input, then rebuilds
  // both indexes over all entries.
  void load(SimpleXMLParser& parser) {
    SimpleXMLElement elem;
    while (parser.get_next_element(elem)) {
      if (elem.name != "Field") continue;
      const std::string* name = elem.find_attribute("name");
      const std::string* id = elem.find_attribute("id");
      const std::string* type = elem.find_attribute("type");
      if (!name || !id || !type) continue;
      m_fields.emplace_back(std::atoi(id->c_str()), *name,
                            static_cast<RT_FieldMap::FieldType>(std::atoi(type->c_str())));
    }
    m_name_map.clear();
    m_id_map.clear();
    for (unsigned i = 0; i < m_fields.size(); ++i) {
      m_name_map.emplace(m_fields[i].fld_name.get(), i);
      m_id_map[m_fields[i].fid] = i;
    }
  }

  const FieldInfo* by_id(int fid) const {
    IdMap::const_iterator it = m_id_map.find(fid);
    return it == m_id_map.end() ? nullptr : &m_fields[it->second];
  }

  const FieldInfo* by_name(const char* name) const {
    NameMap::const_iterator it = m_name_map.find(name);
    return it == m_name_map.end() ? nullptr : &m_fields[it->second];
  }

  const FieldInfo* by_idx(unsigned idx) const {
    return idx < m_fields.size() ? &m_fields[idx] : nullptr;
  }

  unsigned count() const { return static_cast<unsigned>(m_fields.size()); }

 private:
  NameMap m_name_map;
  IdMap m_id_map;
  std::vector<FieldInfo> m_fields;
};

namespace {

// Installs a new dictionary as the default, destroying the one it replaces.
RT_FieldMap* make_default(RT_FieldMap* map) {
  RT_FieldMap::destroy(const_cast<RT_FieldMap*>(RT_FieldMap::set_default(map)));
  return map;
}

}  // namespace

RT_FieldMap* RT_FieldMap::create(const char* filename, bool mk_default) {
  std::unique_ptr<RT_FieldMap> map(new RT_FieldMap);
  if (map->append(filename) != RT_NO_ERROR) return nullptr;
  return mk_default ? make_default(map.release()) : map.release();
}

RT_FieldMap* RT_FieldMap::create(const char* data, size_t size, bool mk_default) {
  std::unique_ptr<RT_FieldMap> map(new RT_FieldMap);
  if (map->append(data, size) != RT_NO_ERROR) return nullptr;
  return mk_default ? make_default(map.release()) : map.release();
}

void RT_FieldMap::destroy(RT_FieldMap* map) {
  delete map;
}

const RT_FieldMap* RT_FieldMap::set_default(const RT_FieldMap* map) {
  return default_field_map.exchange(map);
}

const RT_FieldMap* RT_FieldMap::get_default() {
  return default_field_map.load();
}

RT_FieldMap::RT_FieldMap() : m_impl(std::make_unique<RT_FieldMapImpl>()) {}

RT_FieldMap::~RT_FieldMap() {
  const RT_FieldMap* self = this;
  default_field_map.compare_exchange_strong(self, nullptr);
}

rt_errno RT_FieldMap::append(const char* filename) {
  SimpleXMLParser parser;
  if (parser.open(filename) != 0) return RT_E_NOT_FOUND;
  m_impl->load(parser);
  return RT_NO_ERROR;
}

rt_errno RT_FieldMap::append(const char* data, size_t size) {
  SimpleXMLParser parser;
  if (parser.open_c_str(data, size) != 0) return RT_E_RESOURCE;
  m_impl->load(parser);
  return RT_NO_ERROR;
}

const char* RT_FieldMap::get_name(int fid, const char* default_if_not_found) const {
  const FieldInfo* f = m_impl->by_id(fid);
  return f ? f->fld_name.get() : default_if_not_found;
}

int RT_FieldMap::get_id(const char* name) const {
  FieldType type;
  return get_id(name, type);
}

int RT_FieldMap::get_id(const char* name, FieldType& type) const {
  if (!name) {
    type = RT_NullType;
    return 0;
  }
  if (is_digit(name[0])) {
    const int fid = std::atoi(name);
    type = get_type(fid);
    return fid;
  }
  const FieldInfo* f = m_impl->by_name(name);
  type = f ? f->type : RT_NullType;
  return f ? f->fid : 0;
}

RT_FieldMap::FieldType RT_FieldMap::get_type(int fid) const {
  const FieldInfo* f = m_impl->by_id(fid);
  return f ? f->type : RT_NullType;
}

unsigned int RT_FieldMap::count() const {
  return m_impl->count();
}

const char* RT_FieldMap::get_name_by_idx(unsigned int idx) const {
  const FieldInfo* f = m_impl->by_idx(idx);
  return f ? f->fld_name.get() : nullptr;
}

int RT_FieldMap::get_id_by_idx(unsigned int idx) const {
  const FieldInfo* f = m_impl->by_idx(idx);
  return f ? f->fid : 0;
}

RT_FieldMap::FieldType RT_FieldMap::get_type_by_idx(unsigned int idx) const {
  const FieldInfo* f = m_impl->by_idx(idx);
  return f ? f->type : RT_NullType;
}

}  // namespace KVN
