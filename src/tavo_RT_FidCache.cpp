// The record cache: the hash table of compact records with its memory
// figures and statistics module, and the locking facade RT_FidCache.
#include <tavo/StatsManager>
#include <tavo/detail/Lock>
#include <tavo/detail/RT_Record>
#include <tavo/private/RT_FidCache>
#include <tavo/private/logging>
#include <tavo/sys/time>

#include <cstring>
#include <ostream>

namespace KVN {

namespace {

// Beyond this many buckets the table stops growing with max_items: chains get
// longer instead of the table claiming gigabytes (and 2^32 would not fit).
const uint32_t MAX_HASH_SIZE = 1u << 24;

// The smallest power of two strictly greater than maxitems (2 for 0 and 1).
uint32_t table_size(unsigned maxitems) {
  uint32_t size = 2;
  for (unsigned n = maxitems; n >= 2 && size < MAX_HASH_SIZE; n /= 2) size *= 2;
  return size;
}

const unsigned char* key_bytes(const char* key) {
  return reinterpret_cast<const unsigned char*>(key);
}

// Holds the statistics registry, so that no print reaches a cache while it
// is built.
class RegistryLock {
 public:
  RegistryLock() { StatsManager::lock(); }
  ~RegistryLock() { StatsManager::unlock(); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;
};

}  // namespace

// ---- RT_FidCacheImpl --------------------------------------------------------

RT_FidCacheImpl::RT_FidCacheImpl(const char* name, unsigned int maxitems)
    : StatsClient(name ? name : "", true),
      cache_name(name ? name : ""),
      max_items(0),
      hash_size(0),
      hash_mask(0),
      num_items(0),
      mem_allocated(0),
      mem_used(0) {
  sys_mutex_init(&mtx, 0);
  ScopedLock<sys_mutex_t> guard(mtx);
  max_items = maxitems;
  hash_size = table_size(maxitems);
  hash_mask = hash_size - 1;
  TAVO_INFO("Cache: " << cache_name << " created(" << max_items << "," << hash_size << ")\n");
  h_table.reset(new RT_RecordInternal*[hash_size]());
  on_clear_stats(sys_time(nullptr));
}

RT_FidCacheImpl::~RT_FidCacheImpl() {
  // No print may reach the cache while it is torn down.
  stats_unsubscribe();
  {
    ScopedLock<sys_mutex_t> guard(mtx);
    for (uint32_t b = 0; b < hash_size; ++b) {
      RT_RecordInternal* r = h_table[b];
      while (r) {
        RT_RecordInternal* next = r->next;
        delete r;
        r = next;
      }
    }
    h_table.reset();
  }
  sys_mutex_destroy(&mtx);
}

void RT_FidCacheImpl::lock() const {
  sys_mutex_lock(&mtx);
}

void RT_FidCacheImpl::unlock() const {
  sys_mutex_unlock(&mtx);
}

void RT_FidCacheImpl::add_figures(const RT_RecordInternal& rec) {
  mem_allocated += rec.bytes_allocated();
  mem_used += rec.bytes_used();
}

void RT_FidCacheImpl::sub_figures(const RT_RecordInternal& rec) {
  mem_allocated -= rec.bytes_allocated();
  mem_used -= rec.bytes_used();
}

RT_RecordInternal* RT_FidCacheImpl::find(const unsigned char* key, unsigned key_size) const {
  const uint32_t h = hash_binary(key, key + key_size);
  for (RT_RecordInternal* r = h_table[h & hash_mask]; r; r = r->next)
    if (r->hash == h && r->key_size == key_size &&
        (key_size == 0 || std::memcmp(r->data.get(), key, key_size) == 0))
      return r;
  return nullptr;
}

void RT_FidCacheImpl::link(std::unique_ptr<RT_RecordInternal> rec) {
  RT_RecordInternal* r = rec.release();
  const unsigned char* key = r->data.get();
  r->hash = hash_binary(key, key + r->key_size);
  RT_RecordInternal*& head = h_table[r->hash & hash_mask];
  r->prev = nullptr;
  r->next = head;
  if (head) head->prev = r;
  head = r;
  ++num_items;
  add_figures(*r);
}

std::unique_ptr<RT_RecordInternal> RT_FidCacheImpl::unlink(RT_RecordInternal* r) {
  if (r->next) r->next->prev = r->prev;
  if (r->prev)
    r->prev->next = r->next;
  else
    h_table[r->hash & hash_mask] = r->next;
  r->next = r->prev = nullptr;
  --num_items;
  sub_figures(*r);
  return std::unique_ptr<RT_RecordInternal>(r);
}

rt_errno RT_FidCacheImpl::apply(const RT_Message& m, bool do_insert, bool do_expand) {
  int ksz = 0;
  const unsigned char* key = key_bytes(m.get_key(&ksz));
  if (RT_RecordInternal* r = RT_RecordInternal::key_fits(ksz) ? find(key, ksz) : nullptr) {
    const RecordFigures figures(this, r);
    r->apply(m, do_expand);
    return RT_NO_ERROR;
  }
  if (!do_insert) return RT_E_NOT_FOUND;
  if (!RT_RecordInternal::key_fits(ksz)) return RT_E_INVAL;
  link(std::make_unique<RT_RecordInternal>(m));
  return RT_NO_ERROR;
}

void RT_FidCacheImpl::to_message(const unsigned char* key, unsigned key_size,
                                 RT_Message* msg) const {
  msg->clear();
  if (const RT_RecordInternal* r = find(key, key_size)) {
    r->to_message(msg);
    return;
  }
  msg->set_key(reinterpret_cast<const char*>(key), static_cast<int>(key_size));
  msg->set_error(RT_E_NOT_FOUND, "Symbol not found");
}

rt_errno RT_FidCacheImpl::rename(const unsigned char* key, unsigned key_size,
                                 const unsigned char* new_key, unsigned new_size) {
  RT_RecordInternal* old = find(key, key_size);
  if (!old) return RT_E_NOT_FOUND;
  if (!RT_RecordInternal::key_fits(static_cast<int>(new_size))) return RT_E_INVAL;
  // The new record is complete before the old one leaves the table, so a
  // failed allocation leaves the cache as it was.
  RT_Message image;
  old->to_message(&image);
  image.set_key(reinterpret_cast<const char*>(new_key), static_cast<int>(new_size));
  std::unique_ptr<RT_RecordInternal> renamed = std::make_unique<RT_RecordInternal>(image);
  unlink(old);
  link(std::move(renamed));
  return RT_NO_ERROR;
}

rt_errno RT_FidCacheImpl::erase(const unsigned char* key, unsigned key_size) {
  RT_RecordInternal* r = find(key, key_size);
  if (!r) return RT_E_NOT_FOUND;
  unlink(r);
  return RT_NO_ERROR;
}

void RT_FidCacheImpl::print_stats(std::ostream& os) const {
  os << "Items:" << num_items << "/" << max_items << " Memory: " << mem_used << "/" << mem_allocated
     << "\n"
     << "SchemaExps = " << RT_RecordInternal::num_schema_expansions
     << " FieldExps = " << RT_RecordInternal::num_field_expansions
     << " CapacityExps = " << RT_RecordInternal::num_capacity_expansions
     << "\nField_expansion(bytes) = " << RT_RecordInternal::size_field_expansions
     << " CapacityExpansions(bytes) = " << RT_RecordInternal::size_capacity_expansions
     << " CopyConstructs = " << RT_RecordInternal::num_copy_constructions << "\n";
  SchemaDB::print_stats(os);
}

void RT_FidCacheImpl::on_print_stats(std::ostream& os, sys_time_t, int) {
  ScopedLock<sys_mutex_t> guard(mtx);
  print_stats(os);
}

void RT_FidCacheImpl::on_clear_stats(sys_time_t) {
  RT_RecordInternal::clear_counters();
}

void RT_FidCacheImpl::print(std::ostream& os) const {
  print_stats(os);
  for (uint32_t b = 0; b < hash_size; ++b)
    for (const RT_RecordInternal* r = h_table[b]; r; r = r->next)
      os << "H[" << b << "] " << *r << std::endl;
}

// ---- RT_FidCache ------------------------------------------------------------

RT_FidCache::RT_FidCache(const char* name, unsigned int max_items) {
  RegistryLock registry;
  impl = std::make_unique<RT_FidCacheImpl>(name, max_items);
}

RT_FidCache::~RT_FidCache() {
  std::unique_ptr<RT_FidCacheImpl> doomed;
  impl->lock();
  doomed.swap(impl);
  doomed->unlock();
}

rt_errno RT_FidCache::apply(const RT_Message& m, bool do_insert, bool do_expand) {
  ScopedLock<RT_FidCacheImpl> guard(*impl);
  return impl->apply(m, do_insert, do_expand);
}

std::unique_ptr<RT_Record> RT_FidCache::m_find(const char* key, int key_size, bool writable) const {
  if (key_size < 0 || (!key && key_size)) return nullptr;
  ScopedLock<RT_FidCacheImpl> guard(*impl);
  RT_RecordInternal* r = impl->find(key_bytes(key), key_size);
  if (!r) return nullptr;
  std::unique_ptr<RT_Record> view = std::make_unique<RT_Record>(impl.get(), r);
  // The view releases the lock from here on.
  guard.dismiss();
  if (writable) ++r->num_apply_upds;
  return view;
}

std::unique_ptr<RT_Record> RT_FidCache::find(const char* key, int key_size) {
  return m_find(key, key_size, true);
}

std::unique_ptr<RT_Record> RT_FidCache::find(const std::string& key) {
  return m_find(key.data(), static_cast<int>(key.size()), true);
}

std::unique_ptr<const RT_Record> RT_FidCache::find(const char* key, int key_size) const {
  return m_find(key, key_size, false);
}

std::unique_ptr<const RT_Record> RT_FidCache::find(const std::string& key) const {
  return m_find(key.data(), static_cast<int>(key.size()), false);
}

void RT_FidCache::to_message(const char* key, int key_size, RT_Message* msg) const {
  if (key_size < 0 || !key) key_size = 0;
  ScopedLock<RT_FidCacheImpl> guard(*impl);
  impl->to_message(key ? key_bytes(key) : key_bytes(""), key_size, msg);
}

void RT_FidCache::to_message(const std::string& key, RT_Message* msg) const {
  to_message(key.data(), static_cast<int>(key.size()), msg);
}

rt_errno RT_FidCache::erase(const char* key, int key_size) {
  if (key_size < 0 || (!key && key_size)) return RT_E_NOT_FOUND;
  ScopedLock<RT_FidCacheImpl> guard(*impl);
  return impl->erase(key_bytes(key), key_size);
}

rt_errno RT_FidCache::erase(const std::string& key) {
  return erase(key.data(), static_cast<int>(key.size()));
}

rt_errno RT_FidCache::rename(const char* key, int key_size, const char* new_key, int new_size) {
  if (key_size < 0 || (!key && key_size)) return RT_E_NOT_FOUND;
  if (new_size < 0 || (!new_key && new_size)) return RT_E_INVAL;
  ScopedLock<RT_FidCacheImpl> guard(*impl);
  return impl->rename(key_bytes(key), key_size, key_bytes(new_key), new_size);
}

rt_errno RT_FidCache::rename(const std::string& key, const std::string& new_key) {
  return rename(key.data(), static_cast<int>(key.size()), new_key.data(),
                static_cast<int>(new_key.size()));
}

unsigned int RT_FidCache::size() const {
  ScopedLock<RT_FidCacheImpl> guard(*impl);
  return impl->size();
}

unsigned int RT_FidCache::capacity() const {
  ScopedLock<RT_FidCacheImpl> guard(*impl);
  return impl->capacity();
}

std::ostream& operator<<(std::ostream& os, const RT_FidCache& cache) {
  ScopedLock<RT_FidCacheImpl> guard(*cache.impl);
  cache.impl->print(os);
  return os;
}

}  // namespace KVN
