// Records: the compact record storage (slots behind a shared schema, in-place
// merging, growth and expansion) and RT_Record over its three backings.
#include <tavo/detail/RT_FieldMap>
#include <tavo/detail/RT_Record>
#include <tavo/private/RT_FidCache>
#include <tavo/private/logging>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <ostream>
#include <stdexcept>

namespace KVN {

std::atomic<uint32_t> RT_RecordInternal::num_schema_expansions(0);
std::atomic<uint32_t> RT_RecordInternal::num_field_expansions(0);
std::atomic<uint32_t> RT_RecordInternal::size_field_expansions(0);
std::atomic<uint32_t> RT_RecordInternal::num_capacity_expansions(0);
std::atomic<uint32_t> RT_RecordInternal::size_capacity_expansions(0);
std::atomic<uint32_t> RT_RecordInternal::num_copy_constructions(0);

namespace {

void count(std::atomic<uint32_t>& counter, uint32_t n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

bool valid_value(int fid, const char* value, int value_size) {
  return fid >= 0 && fid <= MAX_FID && value_size >= 0 && value_size <= MAX_FID_VALUE_SZ &&
         (value || value_size == 0);
}

std::unique_ptr<unsigned char[]> copy_descr(const unsigned char* descr) {
  if (!descr) return nullptr;
  std::unique_ptr<unsigned char[]> copy(new unsigned char[1 + descr[0]]);
  std::memcpy(copy.get(), descr, 1 + descr[0]);
  return copy;
}

const char* field_name(int fid) {
  const RT_FieldMap* map = RT_FieldMap::get_default();
  return map ? map->get_name(fid, "????") : "{NOMAP}";
}

}  // namespace

// ---- RT_RecordInternal ------------------------------------------------------

RT_RecordInternal::RT_RecordInternal(const RT_Message& msg)
    : next(nullptr), prev(nullptr), cap(0), used(0), hash(0), num_apply_upds(1), key_size(0) {
  int ksz = 0;
  const char* key = msg.get_key(&ksz);
  if (!key_fits(ksz)) throw std::length_error("RT_RecordInternal: key longer than MAX_KEY_SIZE");
  const int n = msg.count();
  uint16_t fids[MAX_FIDS_PER_MSG];
  uint32_t values = 0;  // the message's value bytes with their length bytes
  for (int i = 0; i < n; ++i) {
    int fid = 0, sz = 0;
    msg.get_by_idx(i, &fid, &sz);
    fids[i] = static_cast<uint16_t>(fid);
    values += sz + 1;
  }
  schema.reset(SchemaDB::allocate(n, fids));
  const unsigned nf = schema->num_fids;
  offsets.reset(new uint16_t[nf + 1]);
  cap = values + values / 8 + ksz;
  data.reset(new unsigned char[cap]);
  key_size = static_cast<uint16_t>(ksz);
  if (ksz) std::memcpy(data.get(), key, ksz);
  uint32_t w = ksz;
  for (unsigned i = 0; i < nf; ++i) {
    offsets[i] = static_cast<uint16_t>(w);
    int sz = 0;
    const char* v = msg.get(schema->fids[i], &sz);
    data[w] = static_cast<unsigned char>(sz);
    if (sz) std::memcpy(data.get() + w + 1, v, sz);
    w += sz + 1;
  }
  offsets[nf] = static_cast<uint16_t>(w);
  used = w;
  int sz = 0;
  if (msg.is_error()) {
    const char* d = msg.get_error_description(&sz);
    set_stale(true, d, sz);
  } else if (msg.is_stale()) {
    const char* r = msg.get_stale_reason(&sz);
    set_stale(true, r, sz);
  }
  if (msg.is_permissioned()) {
    const char* p = msg.get_permissions(&sz);
    set_permissions(p, sz);
  }
}

RT_RecordInternal::RT_RecordInternal(const RT_RecordInternal& other)
    : next(nullptr),
      prev(nullptr),
      schema(SchemaDB::duplicate(other.schema.get())),
      cap(other.cap),
      used(other.used),
      hash(other.hash),
      num_apply_upds(other.num_apply_upds),
      key_size(other.key_size),
      offsets(new uint16_t[other.num_fids() + 1]),
      data(new unsigned char[other.cap]),
      stale_descr(copy_descr(other.stale_descr.get())),
      permissions(copy_descr(other.permissions.get())) {
  count(num_copy_constructions);
  std::memcpy(offsets.get(), other.offsets.get(), (num_fids() + 1) * sizeof(uint16_t));
  if (cap) std::memcpy(data.get(), other.data.get(), cap);
}

RT_RecordInternal& RT_RecordInternal::operator=(const RT_RecordInternal& other) {
  if (this != &other) {
    RT_RecordInternal copy(other);
    swap(copy);
  }
  return *this;
}

RT_RecordInternal::~RT_RecordInternal() = default;

void RT_RecordInternal::swap(RT_RecordInternal& other) {
  using std::swap;
  swap(schema, other.schema);
  swap(cap, other.cap);
  swap(used, other.used);
  swap(num_apply_upds, other.num_apply_upds);
  swap(key_size, other.key_size);
  swap(offsets, other.offsets);
  swap(data, other.data);
  swap(stale_descr, other.stale_descr);
  swap(permissions, other.permissions);
}

void RT_RecordInternal::clear_counters() {
  for (std::atomic<uint32_t>* c :
       {&num_schema_expansions, &num_field_expansions, &size_field_expansions,
        &num_capacity_expansions, &size_capacity_expansions, &num_copy_constructions})
    c->store(0, std::memory_order_relaxed);
}

const char* RT_RecordInternal::get(int fid, int* value_size) const {
  const int p = fid >= 0 && fid <= MAX_FID ? schema->find(fid) : -1;
  if (p < 0) {
    *value_size = 0;
    return nullptr;
  }
  const unsigned char* slot = data.get() + offsets[p];
  *value_size = slot[0];
  return reinterpret_cast<const char*>(slot + 1);
}

const char* RT_RecordInternal::get_by_idx(int idx, int* fid, int* val_size) const {
  if (idx < 0 || idx >= num_fids()) {
    *fid = 0;
    *val_size = 0;
    return nullptr;
  }
  const unsigned char* slot = data.get() + offsets[idx];
  *fid = schema->fids[idx];
  *val_size = slot[0];
  return reinterpret_cast<const char*>(slot + 1);
}

const char* RT_RecordInternal::get_key(int* key_sz) const {
  *key_sz = key_size;
  return reinterpret_cast<const char*>(data.get());
}

void RT_RecordInternal::write_slot(int p, const char* value, int value_size) {
  const uint32_t want = value_size + 1;
  const uint32_t slot = offsets[p + 1] - offsets[p];
  // The value may come from this record (rec.set(a, rec.get(b))); growing
  // moves or frees those bytes, so it is copied out first.
  char copy[MAX_FID_VALUE_SZ];
  if (slot < want) {
    const char* begin = reinterpret_cast<const char*>(data.get());
    if (value_size && !std::less<const char*>()(value, begin) &&
        std::less<const char*>()(value, begin + cap)) {
      std::memcpy(copy, value, value_size);
      value = copy;
    }
    const uint32_t need = want - slot;
    if (used + need > cap) {
      const uint32_t grown_cap = cap + need + 8;
      std::unique_ptr<unsigned char[]> grown(new unsigned char[grown_cap]);
      std::memcpy(grown.get(), data.get(), used);
      data.swap(grown);
      cap = grown_cap;
      count(num_capacity_expansions);
      count(size_capacity_expansions, need + 8);
    }
    count(num_field_expansions);
    count(size_field_expansions, need);
    unsigned char* d = data.get();
    const uint32_t tail = offsets[p + 1];
    std::memmove(d + tail + need, d + tail, used - tail);
    used += need;
    const int nf = num_fids();
    for (int i = p + 1; i <= nf; ++i) offsets[i] = static_cast<uint16_t>(offsets[i] + need);
  }
  unsigned char* s = data.get() + offsets[p];
  s[0] = static_cast<unsigned char>(value_size);
  if (value_size) std::memmove(s + 1, value, value_size);
}

rt_errno RT_RecordInternal::set(int fid, const char* value, int value_size) {
  if (!valid_value(fid, value, value_size)) return RT_E_INVAL;
  const int p = schema->find(fid);
  if (p < 0) return RT_E_NOT_FOUND;
  write_slot(p, value, value_size);
  return RT_NO_ERROR;
}

int RT_RecordInternal::check_and_set(int fid, const char* value, int value_size) {
  if (!valid_value(fid, value, value_size)) return -1;
  const int p = schema->find(fid);
  if (p < 0) return -1;
  const unsigned char* s = data.get() + offsets[p];
  if (s[0] == value_size && (value_size == 0 || std::memcmp(s + 1, value, value_size) == 0))
    return 1;
  write_slot(p, value, value_size);
  return 0;
}

rt_errno RT_RecordInternal::apply(const RT_Message& msg, bool do_expand) {
  int sz = 0;
  if (msg.is_error()) {
    const char* d = msg.get_error_description(&sz);
    set_stale(true, d, sz);
  } else if (msg.is_stale()) {
    const char* r = msg.get_stale_reason(&sz);
    set_stale(true, r, sz);
  } else if (is_stale()) {
    set_stale(false, nullptr, 0);
  }
  ++num_apply_upds;
  bool may_expand = do_expand;
  const int n = msg.count();
  for (int i = 0; i < n; ++i) {
    int fid = 0;
    const char* v = msg.get_by_idx(i, &fid, &sz);
    if (set(fid, v, sz) != RT_E_NOT_FOUND || !may_expand) continue;
    count(num_schema_expansions);
    if (expand(msg)) break;  // the record now holds every value of msg
    may_expand = false;
  }
  return RT_NO_ERROR;
}

bool RT_RecordInternal::expand(const RT_Message& msg) {
  uint16_t extra[MAX_FIDS_PER_MSG];
  unsigned ne = 0;
  const int n = msg.count();
  for (int i = 0; i < n; ++i) {
    int fid = 0, sz = 0;
    msg.get_by_idx(i, &fid, &sz);
    if (schema->find(fid) < 0) extra[ne++] = static_cast<uint16_t>(fid);
  }
  std::sort(extra, extra + ne);
  ne = static_cast<unsigned>(std::unique(extra, extra + ne) - extra);
  if (ne == 0) return true;
  // Refused here rather than by the schema database, which would intern (and
  // keep) a capped list that no record can use.
  if (num_fids() + ne >= SchemaEntry::MAX_FIDS) {
    TAVO_WARN("Can not expand record, field_count exceeds 255 Current rec:" << *this << " Msg:"
                                                                            << msg << "\n");
    return false;
  }
  SchemaRef wider(SchemaDB::expand(schema.get(), static_cast<int>(ne), extra));
  const unsigned nf = wider->num_fids;

  uint32_t additional = 0;
  for (unsigned j = 0; j < nf; ++j) {
    const int fid = wider->fids[j];
    int msz = 0;
    const char* mv = msg.get(fid, &msz);
    const int p = schema->find(fid);
    if (p < 0) {
      additional += msz + 1;
    } else if (mv) {
      const uint32_t slot = offsets[p + 1] - offsets[p];
      if (static_cast<uint32_t>(msz + 1) > slot) additional += msz + 1 - slot;
    }
  }
  const uint32_t new_cap = cap + additional + additional / 8;
  std::unique_ptr<uint16_t[]> new_offsets(new uint16_t[nf + 1]);
  std::unique_ptr<unsigned char[]> buf(new unsigned char[new_cap]);

  if (key_size) std::memcpy(buf.get(), data.get(), key_size);
  uint32_t w = key_size;
  for (unsigned j = 0; j < nf; ++j) {
    new_offsets[j] = static_cast<uint16_t>(w);
    const int fid = wider->fids[j];
    int msz = 0;
    const char* mv = msg.get(fid, &msz);
    const int p = schema->find(fid);
    const uint32_t slot = p < 0 ? 0 : offsets[p + 1] - offsets[p];
    if (!mv) {
      std::memcpy(buf.get() + w, data.get() + offsets[p], slot);
      w += slot;
    } else {
      buf[w] = static_cast<unsigned char>(msz);
      if (msz) std::memcpy(buf.get() + w + 1, mv, msz);
      w += std::max<uint32_t>(msz + 1, slot);
    }
  }
  new_offsets[nf] = static_cast<uint16_t>(w);
  assert(w == used + additional);
  used = w;
  cap = new_cap;
  offsets.swap(new_offsets);
  data.swap(buf);
  schema = std::move(wider);  // releases the old reference
  return true;
}

void RT_RecordInternal::to_message(RT_Message* msg) const {
  int sz = 0;
  msg->set_key(reinterpret_cast<const char*>(data.get()), key_size);
  if (const char* p = get_permissions(&sz)) msg->set_permissions(p, sz);
  if (const char* r = get_stale_reason(&sz)) msg->set_stale(true, r, sz);
  const int nf = num_fids();
  for (int i = 0; i < nf; ++i) {
    int fid = 0;
    const char* v = get_by_idx(i, &fid, &sz);
    msg->append(fid, v, sz);
  }
  msg->set_complete(true);
  msg->set_response_flag(true);
}

const char* RT_RecordInternal::descr_text(const unsigned char* descr, int* size) {
  if (size) *size = descr ? descr[0] : 0;
  return descr ? reinterpret_cast<const char*>(descr + 1) : nullptr;
}

std::unique_ptr<unsigned char[]> RT_RecordInternal::make_descr(const char* text, int size) {
  // One length byte: longer texts keep their first 255 bytes rather than
  // a length taken modulo 256.
  const int n = text && size > 0 ? std::min(size, 255) : 0;
  std::unique_ptr<unsigned char[]> descr(new unsigned char[1 + n]);
  descr[0] = static_cast<unsigned char>(n);
  if (n) std::memcpy(descr.get() + 1, text, n);
  return descr;
}

void RT_RecordInternal::set_stale(bool stale, const char* reason, int size) {
  if (stale)
    stale_descr = make_descr(reason, size);
  else
    stale_descr.reset();
}

void RT_RecordInternal::set_permissions(const char* perms, int size) {
  if (perms)
    permissions = make_descr(perms, size);
  else
    permissions.reset();
}

std::ostream& operator<<(std::ostream& os, const RT_RecordInternal& rec) {
  int ksz = 0;
  const char* key = rec.get_key(&ksz);
  os << "R: key(" << ksz << "): ";
  os.write(key, ksz);
  os << " upds: " << rec.num_apply_upds << " num_fids: " << rec.num_fids()
     << " schema:" << rec.schema->schema_id() << "/" << rec.schema->ref_count()
     << " used: " << rec.used << "/" << rec.cap << std::endl;
  for (int i = 0; i < rec.num_fids(); ++i) {
    int fid = 0, sz = 0;
    const char* v = rec.get_by_idx(i, &fid, &sz);
    os << field_name(fid) << "[" << fid << "]"
       << " Val=";
    os.write(v, sz);
    os << " Size=" << sz << std::endl;
  }
  return os;
}

// ---- RT_Record --------------------------------------------------------------

namespace {

// A detached record built from m, or null when m's key is too long to store.
std::unique_ptr<RT_RecordInternal> build_record(const RT_Message& m) {
  int ksz = 0;
  m.get_key(&ksz);
  if (!RT_RecordInternal::key_fits(ksz)) return nullptr;
  return std::make_unique<RT_RecordInternal>(m);
}

}  // namespace

RT_Record::RT_Record() : cache(nullptr), rec(nullptr) {}

RT_Record::RT_Record(const RT_Message& m) : cache(nullptr), rec(build_record(m).release()) {}

RT_Record::RT_Record(const RT_Record& other) : cache(nullptr), rec(nullptr) {
  if (other.msg)
    rec = build_record(*other.msg).release();
  else if (other.rec)
    rec = new RT_RecordInternal(*other.rec);
}

RT_Record::RT_Record(RT_FidCacheImpl* c, RT_RecordInternal* r) : cache(c), rec(r) {}

RT_Record& RT_Record::operator=(const RT_Record& other) {
  if (this == &other) return *this;
  std::unique_ptr<RT_RecordInternal> fresh;
  if (other.msg)
    fresh = build_record(*other.msg);
  else if (other.rec)
    fresh = std::make_unique<RT_RecordInternal>(*other.rec);
  if (!fresh) return *this;
  if (cache) {
    // The record stays the cache's object; only its contents (key included)
    // change, so it is re-filed under the new key.
    std::unique_ptr<RT_RecordInternal> held = cache->unlink(rec);
    held->swap(*fresh);
    cache->link(std::move(held));
  } else {
    delete rec;
    rec = fresh.release();
    msg.reset();
  }
  return *this;
}

RT_Record::~RT_Record() {
  clear();
}

void RT_Record::clear() {
  if (cache) {
    RT_FidCacheImpl* c = cache;
    cache = nullptr;
    rec = nullptr;
    c->unlock();
  } else {
    delete rec;
    rec = nullptr;
  }
  msg.reset();
}

bool RT_Record::reset(const char* key, int key_sz) {
  if (!key || key_sz < 0) {
    key = "";
    key_sz = 0;
  }
  if (cache) {
    RT_RecordInternal* r = cache->find(reinterpret_cast<const unsigned char*>(key), key_sz);
    if (r) {
      rec = r;
      return true;
    }
    clear();
    return false;
  }
  delete rec;
  rec = nullptr;
  if (msg)
    msg->clear();
  else
    msg = std::make_unique<RT_Message>();
  msg->set_key(key, key_sz);
  return true;
}

const char* RT_Record::get(int fid, int* value_size) const {
  if (msg) return msg->get(fid, value_size);
  if (rec) return rec->get(fid, value_size);
  *value_size = 0;
  return nullptr;
}

RT_Field RT_Record::get(int fid) const {
  int sz = 0;
  const char* p = get(fid, &sz);
  return RT_Field(p, sz);
}

const char* RT_Record::get_by_idx(int idx, int* fid, int* val_size) const {
  if (msg) return msg->get_by_idx(idx, fid, val_size);
  if (rec) return rec->get_by_idx(idx, fid, val_size);
  *fid = 0;
  *val_size = 0;
  return nullptr;
}

RT_FidField RT_Record::get_by_idx(int idx) const {
  int fid = 0, sz = 0;
  const char* p = get_by_idx(idx, &fid, &sz);
  return RT_FidField(fid, RT_Field(p, sz));
}

int RT_Record::count() const {
  if (msg) return msg->count();
  return rec ? rec->num_fids() : 0;
}

bool RT_Record::exists(int fid) const {
  if (msg) return msg->exists(fid);
  return rec && rec->exists(fid);
}

const char* RT_Record::get_key(int* key_size) const {
  int sz = 0;
  const char* key = msg ? msg->get_key(&sz) : rec ? rec->get_key(&sz) : nullptr;
  if (key_size) *key_size = sz;
  return key;
}

RT_Field RT_Record::get_key() const {
  int sz = 0;
  const char* p = get_key(&sz);
  return RT_Field(p, sz);
}

bool RT_Record::is_stale() const {
  if (msg) return msg->is_stale();
  return rec && rec->is_stale();
}

const char* RT_Record::get_stale_reason(int* value_size) const {
  if (msg) return msg->get_stale_reason(value_size);
  if (rec) return rec->get_stale_reason(value_size);
  if (value_size) *value_size = 0;
  return nullptr;
}

RT_Field RT_Record::get_stale_reason() const {
  int sz = 0;
  const char* p = get_stale_reason(&sz);
  return RT_Field(p, sz);
}

bool RT_Record::is_permissioned() const {
  if (msg) return msg->is_permissioned();
  return rec && rec->is_permissioned();
}

const char* RT_Record::get_permissions(int* value_size) const {
  if (msg) return msg->get_permissions(value_size);
  if (rec) return rec->get_permissions(value_size);
  if (value_size) *value_size = 0;
  return nullptr;
}

RT_Field RT_Record::get_permissions() const {
  int sz = 0;
  const char* p = get_permissions(&sz);
  return RT_Field(p, sz);
}

bool RT_Record::empty() const {
  return count() == 0;
}

rt_errno RT_Record::set(int fid, const char* value, int value_size) {
  if (msg) return msg->set(fid, value, value_size);
  if (!rec) return RT_E_NOT_FOUND;
  RecordFigures figures(cache, rec);
  return rec->set(fid, value, value_size);
}

int RT_Record::check_and_set(int fid, const char* value, int value_size) {
  if (msg) return msg->set(fid, value, value_size) == RT_NO_ERROR ? 0 : -1;
  if (!rec) return -1;
  RecordFigures figures(cache, rec);
  return rec->check_and_set(fid, value, value_size);
}

void RT_Record::set_stale(bool is_stale, const char* stale_rsn, int rsn_sz) {
  if (msg)
    msg->set_stale(is_stale, stale_rsn, rsn_sz);
  else if (rec)
    rec->set_stale(is_stale, stale_rsn, rsn_sz);
}

rt_errno RT_Record::apply(const RT_Message& apply_msg, bool expand_record) {
  if (!msg && !rec) {
    std::unique_ptr<RT_RecordInternal> built = build_record(apply_msg);
    if (!built) return RT_E_INVAL;
    rec = built.release();
    return RT_NO_ERROR;
  }
  if (msg) {
    std::unique_ptr<RT_RecordInternal> built = build_record(*msg);
    if (!built) return RT_E_INVAL;
    rec = built.release();
    msg.reset();
  }
  RecordFigures figures(cache, rec);
  return rec->apply(apply_msg, expand_record);
}

std::ostream& operator<<(std::ostream& os, const RT_Record& rec) {
  int ksz = 0;
  const char* key = rec.get_key(&ksz);
  os << "Key: ";
  if (key) os.write(key, ksz);
  os << " (NumFids = " << rec.count() << ")\n";
  for (const RT_FidField& f : rec) os << "     " << f << "\n";
  return os;
}

}  // namespace KVN
