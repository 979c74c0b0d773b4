// The schema database: interning of sorted FID lists, reference counting, the
// process-wide instance behind its mutex, and printing.
#include <tavo/Logger>
#include <tavo/detail/Lock>
#include <tavo/private/Schema>
#include <tavo/private/logging>
#include <tavo/sys/mutex>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace KVN {

namespace {

// Bytes the memory estimate charges per entry beyond its FIDs: the index and
// the bookkeeping around it.
const uint32_t ENTRY_OVERHEAD = 2080;

uint32_t entry_memory(unsigned num_fids) {
  return 2 * num_fids + ENTRY_OVERHEAD;
}

}  // namespace

SchemaEntry::SchemaEntry(const uint16_t* list, uint16_t num, uint32_t id, uint32_t h)
    : fids(new uint16_t[num]),
      num_fids(num),
      m_schema_id(id),
      m_ref_count(1),
      hash(h),
      next(nullptr) {
  std::memset(hash_idx, NO_POS, sizeof hash_idx);
  for (unsigned i = 0; i < num; ++i) {
    fids[i] = list[i];
    hash_idx[list[i] & HASH_MASK] = static_cast<uint8_t>(i);
  }
}

std::ostream& operator<<(std::ostream& os, const SchemaEntry& se) {
  os << "id: " << se.schema_id() << " ref:" << se.ref_count() << " [ ";
  for (unsigned i = 0; i < se.num_fids; ++i) os << se.fids[i] << ' ';
  return os << " ]\n";
}

// ---- SchemaDBImpl -----------------------------------------------------------

SchemaDBImpl::SchemaDBImpl()
    : num_items(0),
      allocations(0),
      deallocations(0),
      unreferenced_items(0),
      rereferenced_items(0),
      schema_memory(8 * (HASH_SIZE + 7)),
      expansions(0),
      m_next_schema_id(1),
      m_closed(false),
      hash_size(HASH_SIZE),
      hash_mask(HASH_SIZE - 1),
      h_table(new SchemaEntry*[HASH_SIZE]()) {}

SchemaDBImpl::~SchemaDBImpl() {
  close();
  if (num_items == 0) return;
  // Records still point at these entries: freeing them would leave the
  // records dangling, so they are left alive.
  TAVO_ERROR("~SchemaDBImpl referenced Schema entries exist, leaking memory\n");
  std::ostringstream os;
  os << "SchemaDB\n";
  print(os);
  const std::string text = os.str();
  Logger::log(text.data(), text.size());
}

const SchemaEntry* SchemaDBImpl::intern_set(uint16_t* list, unsigned n) {
  std::sort(list, list + n);
  n = static_cast<unsigned>(std::unique(list, list + n) - list);
  if (n > SchemaEntry::MAX_FIDS) {
    TAVO_ERROR("SchemaCache: NUM_FIDS > 255 " << n << " capping to 255\n");
    n = SchemaEntry::MAX_FIDS;
  }
  return get(n, list);
}

const SchemaEntry* SchemaDBImpl::allocate(unsigned int nfids, const unsigned short* fids) {
  if (m_closed) throw std::runtime_error("SchemaDBImpl::allocate called on a closed DB");
  std::vector<uint16_t> list(fids, fids + nfids);
  ++allocations;
  return intern_set(list.data(), nfids);
}

const SchemaEntry* SchemaDBImpl::expand(const SchemaEntry* old_schema, int nfids_to_add,
                                        const unsigned short* fids) {
  if (m_closed) throw std::runtime_error("SchemaDBImpl::expand called on a closed DB");
  const unsigned add = nfids_to_add > 0 ? static_cast<unsigned>(nfids_to_add) : 0;
  std::vector<uint16_t> list;
  list.reserve(old_schema->num_fids + add);
  list.insert(list.end(), old_schema->fids.get(), old_schema->fids.get() + old_schema->num_fids);
  list.insert(list.end(), fids, fids + add);
  ++expansions;
  return intern_set(list.data(), static_cast<unsigned>(list.size()));
}

const SchemaEntry* SchemaDBImpl::duplicate(const SchemaEntry* schema) {
  ++allocations;
  SchemaEntry* se = const_cast<SchemaEntry*>(schema);
  se->m_ref_count.fetch_add(1, std::memory_order_relaxed);
  return se;
}

const SchemaEntry* SchemaDBImpl::get(unsigned num_fids, const uint16_t* flds) {
  const size_t bytes = num_fids * sizeof(uint16_t);
  const uint32_t h = hash_binary(flds, reinterpret_cast<const unsigned char*>(flds) + bytes);
  SchemaEntry*& head = h_table[h & hash_mask];
  for (SchemaEntry* se = head; se; se = se->next) {
    if (se->hash != h || se->num_fids != num_fids ||
        (bytes && std::memcmp(se->fids.get(), flds, bytes) != 0))
      continue;
    if (se->m_ref_count.fetch_add(1, std::memory_order_relaxed) == 0) {
      --unreferenced_items;
      ++rereferenced_items;
    }
    return se;
  }
  SchemaEntry* se = new SchemaEntry(flds, static_cast<uint16_t>(num_fids), m_next_schema_id, h);
  ++m_next_schema_id;
  se->next = head;
  head = se;
  schema_memory += entry_memory(num_fids);
  ++num_items;
  return se;
}

void SchemaDBImpl::release(const SchemaEntry* schema) {
  SchemaEntry* se = const_cast<SchemaEntry*>(schema);
  if (se->ref_count() == 0) return;
  ++deallocations;
  if (se->m_ref_count.fetch_sub(1, std::memory_order_relaxed) == 1) ++unreferenced_items;
  if (m_closed && unreferenced_items == num_items) cleanup();
}

void SchemaDBImpl::close() {
  m_closed = true;
  cleanup();
}

void SchemaDBImpl::cleanup() {
  for (uint32_t b = 0; b < hash_size; ++b) {
    SchemaEntry** link = &h_table[b];
    while (SchemaEntry* se = *link) {
      TAVO_INFO(" clean " << b << " " << *se);
      if (se->ref_count() != 0) {
        link = &se->next;
        continue;
      }
      *link = se->next;
      schema_memory -= entry_memory(se->num_fids);
      --num_items;
      --unreferenced_items;
      delete se;
    }
  }
}

std::ostream& SchemaDBImpl::print_stats(std::ostream& os) const {
  return os << "SchemaStats:\n"
            << "  NumSchemas = " << num_items << " Schema(Bytes) = " << schema_memory << "\n"
            << "  Allocs = " << allocations << " Expansions = " << expansions
            << " Deallocs = " << deallocations << "\n"
            << "  Unreferenced = " << unreferenced_items << " Rereferenced = " << rereferenced_items
            << "\n";
}

std::ostream& SchemaDBImpl::print(std::ostream& os) const {
  print_stats(os);
  for (uint32_t b = 0; b < hash_size; ++b)
    for (const SchemaEntry* se = h_table[b]; se; se = se->next) os << "  bkt: " << b << " " << *se;
  return os;
}

// ---- SchemaDB ---------------------------------------------------------------

namespace {

#ifdef NDEBUG
sys_mutex_t s_default_schema_mtx = PTHREAD_MUTEX_INITIALIZER;
#else
sys_mutex_t s_default_schema_mtx = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
#endif

// Guarded by s_default_schema_mtx. A plain pointer on purpose: the database
// must outlive every record, including records in static objects destroyed
// at exit, so no exit-time destructor may free it; it is deleted only once it
// is closed and empty.
SchemaDBImpl* s_default_schema_db = nullptr;

SchemaDBImpl& db() {
  if (!s_default_schema_db) s_default_schema_db = new SchemaDBImpl();
  return *s_default_schema_db;
}

// Destroys a closed database that no record refers to any more.
void discard_if_done() {
  if (s_default_schema_db && s_default_schema_db->is_closed() && s_default_schema_db->size() == 0) {
    delete s_default_schema_db;
    s_default_schema_db = nullptr;
  }
}

}  // namespace

const SchemaEntry* SchemaDB::allocate(unsigned int nfids, const unsigned short* fids) {
  ScopedLock<sys_mutex_t> guard(s_default_schema_mtx);
  return db().allocate(nfids, fids);
}

const SchemaEntry* SchemaDB::duplicate(const SchemaEntry* schema) {
  ScopedLock<sys_mutex_t> guard(s_default_schema_mtx);
  return db().duplicate(schema);
}

const SchemaEntry* SchemaDB::expand(const SchemaEntry* old_schema, int nfids_to_add,
                                    const unsigned short* fids) {
  ScopedLock<sys_mutex_t> guard(s_default_schema_mtx);
  return db().expand(old_schema, nfids_to_add, fids);
}

void SchemaDB::release(const SchemaEntry* se) {
  ScopedLock<sys_mutex_t> guard(s_default_schema_mtx);
  db().release(se);
  discard_if_done();
}

void SchemaDB::close() {
  ScopedLock<sys_mutex_t> guard(s_default_schema_mtx);
  db().close();
  discard_if_done();
}

std::ostream& SchemaDB::print(std::ostream& os) {
  ScopedLock<sys_mutex_t> guard(s_default_schema_mtx);
  return db().print(os);
}

std::ostream& SchemaDB::print_stats(std::ostream& os) {
  ScopedLock<sys_mutex_t> guard(s_default_schema_mtx);
  return db().print_stats(os);
}

}  // namespace KVN
