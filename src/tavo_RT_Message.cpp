// Field-list messages: header fields, the value buffer with its FID, offset,
// direct-index and Bloom-filter bookkeeping, and printing.
#include <tavo/detail/RT_Message>
#include <tavo/private/RT_Message>
#include <tavo/private/logging>

#include <cstring>
#include <functional>
#include <ostream>

namespace KVN {

RT_MessageRep::RT_MessageRep()
    : num_fids(0),
      data_size(0),
      fids(),
      offsets(),
      bloom_filter(0),
      data(DEF_DATA_SIZE),
      m_msg_time(0) {
  std::memset(hash_idx, NO_FIELD, sizeof hash_idx);
}

unsigned RT_MessageRep::rep_freelist_total_size(bool) {
  TAVO_WARN("RT_Message freeList is not maintained on Linux\n");
  return 0;
}

namespace {

bool valid_field(int fid, const char* value, int val_size) {
  return fid >= 0 && fid <= MAX_FID && val_size >= 0 && val_size <= MAX_FID_VALUE_SZ &&
         (value || val_size == 0);
}

// Length of a C-string value, or -1 when it is null or longer than a value
// may be (the scan stops there).
int c_value_size(const char* value) {
  if (!value) return -1;
  const size_t n = strnlen(value, MAX_FID_VALUE_SZ + 1);
  return n > static_cast<size_t>(MAX_FID_VALUE_SZ) ? -1 : static_cast<int>(n);
}

// A value taken from the message's own buffer (msg.set(2, msg.get(1))) would
// be moved by erasing a field or freed by growing the buffer; such a value is
// copied out first.
const char* detach_value(const RT_MessageRep::Buffer& data, const char* value, int val_size,
                         char (&copy)[MAX_FID_VALUE_SZ]) {
  const char* begin = reinterpret_cast<const char*>(data.data());
  const char* end = begin + data.capacity();
  if (val_size == 0 || std::less<const char*>()(value, begin) ||
      !std::less<const char*>()(value, end))
    return value;
  std::memcpy(copy, value, val_size);
  return copy;
}

// Appends a field; the caller has checked the limit and the arguments.
void add_field(RT_MessageRep& r, int fid, const char* value, int val_size) {
  const int n = r.num_fids;
  r.hash_idx[fid & RT_MessageRep::HASH_MASK] = static_cast<uint8_t>(n);
  r.fids[n] = static_cast<uint16_t>(fid);
  r.num_fids = n + 1;
  unsigned char* w = r.data.reserve_write(val_size + 1);
  w[0] = static_cast<unsigned char>(val_size);
  if (val_size) std::memcpy(w + 1, value, val_size);
  r.data.commit_write(val_size + 1);
  r.data_size += val_size + 1;
  r.offsets[n + 1] = static_cast<uint16_t>(r.data.size());
  r.bloom_filter |= uint64_t(1) << (fid & 63);
}

// Removes field i with its whole slot (dead bytes included); later fields
// move down one index. The Bloom filter keeps the FID's bit.
void remove_field(RT_MessageRep& r, int i) {
  const int slot = r.offsets[i + 1] - r.offsets[i];
  r.data_size -= r.value_size(i) + 1;
  unsigned char* d = r.data.data();
  std::memmove(d + r.offsets[i], d + r.offsets[i + 1], r.data.size() - r.offsets[i + 1]);
  r.data.resize(r.data.size() - slot);
  const int n = --r.num_fids;
  for (int j = i; j < n; ++j) {
    r.fids[j] = r.fids[j + 1];
    r.offsets[j] = static_cast<uint16_t>(r.offsets[j + 1] - slot);
    r.hash_idx[r.fids[j] & RT_MessageRep::HASH_MASK] = static_cast<uint8_t>(j);
  }
  r.offsets[n] = static_cast<uint16_t>(r.offsets[n + 1] - slot);
}

}  // namespace

RT_Message::RT_Message()
    : mb_rep(std::make_unique<RT_MessageRep>()), tag(0), error(RT_NO_ERROR), flags(0) {}

RT_Message::RT_Message(const RT_Message& other)
    : mb_rep(std::make_unique<RT_MessageRep>(*other.mb_rep)),
      tag(other.tag),
      error(other.error),
      flags(other.flags) {}

RT_Message& RT_Message::operator=(const RT_Message& other) {
  if (this != &other) {
    *mb_rep = *other.mb_rep;
    tag = other.tag;
    error = other.error;
    flags = other.flags;
  }
  return *this;
}

RT_Message::~RT_Message() = default;

namespace {

int c_text_size(const char* text) {
  return text ? static_cast<int>(std::strlen(text)) : 0;
}

// Stores size bytes of text (nothing for a null text or a size below 1) and
// answers whether anything was stored.
bool store_text(std::string& dest, const char* text, int size) {
  if (text && size > 0)
    dest.assign(text, size);
  else
    dest.clear();
  return !dest.empty();
}

// The text behind a flag: "" and 0 while the flag is clear.
const char* flagged_text(bool flag, const std::string& text, int* size) {
  if (size) *size = flag ? static_cast<int>(text.size()) : 0;
  return flag ? text.c_str() : "";
}

}  // namespace

RT_Message& RT_Message::set_key(const char* key_val) {
  return set_key(key_val, c_text_size(key_val));
}

RT_Message& RT_Message::set_key(const char* key_val, int key_size) {
  store_text(mb_rep->key, key_val, key_size);
  return *this;
}

const char* RT_Message::get_key(int* key_size) const {
  if (key_size) *key_size = static_cast<int>(mb_rep->key.size());
  return mb_rep->key.c_str();
}

RT_Message& RT_Message::set_permissions(const char* perm) {
  return set_permissions(perm, c_text_size(perm));
}

RT_Message& RT_Message::set_permissions(const char* per, int size) {
  return set_flag(MSG_PERMISSIONS_SET, store_text(mb_rep->perms, per, size));
}

const char* RT_Message::get_permissions(int* perms_sz) const {
  return flagged_text(is_permissioned(), mb_rep->perms, perms_sz);
}

RT_Message& RT_Message::set_error(rt_errno err, const char* error_descr) {
  return set_error(err, error_descr, c_text_size(error_descr));
}

RT_Message& RT_Message::set_error(rt_errno e, const char* e_descr, int size) {
  error = e;
  store_text(mb_rep->err_desc, e_descr, size);
  set_flag(MSG_CLOSED, true);
  return set_flag(MSG_ERROR, e != RT_NO_ERROR);
}

const char* RT_Message::get_error_description(int* descr_sz) const {
  return flagged_text(is_error(), mb_rep->err_desc, descr_sz);
}

RT_Message& RT_Message::set_stale(bool is_stale, const char* rsn) {
  return set_stale(is_stale, rsn, c_text_size(rsn));
}

RT_Message& RT_Message::set_stale(bool is_stale, const char* rsn, int sz) {
  if (is_stale) store_text(mb_rep->stale_reason, rsn, sz);
  return set_flag(MSG_STALE, is_stale);
}

const char* RT_Message::get_stale_reason(int* reason_sz) const {
  return flagged_text(is_stale(), mb_rep->stale_reason, reason_sz);
}

uint64_t RT_Message::get_msg_time() const {
  return mb_rep->m_msg_time;
}

rt_errno RT_Message::append(int fid, const char* value, int val_size) {
  if (!valid_field(fid, value, val_size)) return RT_E_INVAL;
  RT_MessageRep& r = *mb_rep;
  if (r.num_fids >= MAX_FIDS_PER_MSG) return RT_E_LIMIT;
  char copy[MAX_FID_VALUE_SZ];
  add_field(r, fid, detach_value(r.data, value, val_size, copy), val_size);
  return RT_NO_ERROR;
}

rt_errno RT_Message::append(int fid, const char* value) {
  const int n = c_value_size(value);
  return n < 0 ? RT_E_INVAL : append(fid, value, n);
}

rt_errno RT_Message::set(int fid, const char* value, int val_size) {
  if (!valid_field(fid, value, val_size)) return RT_E_INVAL;
  RT_MessageRep& r = *mb_rep;
  const int i = r.find(fid);
  if (i < r.num_fids) {
    if (r.offsets[i + 1] - r.offsets[i] - 1 >= val_size) {
      unsigned char* slot = r.data.data() + r.offsets[i];
      r.data_size = r.data_size + val_size - slot[0];
      if (val_size) std::memmove(slot + 1, value, val_size);
      slot[0] = static_cast<unsigned char>(val_size);
      return RT_NO_ERROR;
    }
  } else if (r.num_fids >= MAX_FIDS_PER_MSG) {
    return RT_E_LIMIT;
  }
  char copy[MAX_FID_VALUE_SZ];
  value = detach_value(r.data, value, val_size, copy);
  if (i < r.num_fids) remove_field(r, i);
  add_field(r, fid, value, val_size);
  return RT_NO_ERROR;
}

rt_errno RT_Message::set(int fid, const char* value) {
  const int n = c_value_size(value);
  return n < 0 ? RT_E_INVAL : set(fid, value, n);
}

rt_errno RT_Message::set(int fid, const RT_Field& fld) {
  if (fld.ptr) return set(fid, fld.ptr, fld.size);
  if (fid < 0 || fid > MAX_FID) return RT_E_INVAL;
  erase(fid);
  return RT_NO_ERROR;
}

void RT_Message::erase(int fid) {
  RT_MessageRep& r = *mb_rep;
  const int i = r.find(fid);
  if (i < r.num_fids) remove_field(r, i);
}

const char* RT_Message::get(int fid, int* value_size) const {
  const RT_MessageRep& r = *mb_rep;
  const int i = r.find(fid);
  const bool found = i < r.num_fids;
  if (value_size) *value_size = found ? r.value_size(i) : 0;
  return found ? r.value(i) : nullptr;
}

RT_Field RT_Message::get(int fid) const {
  int size;
  const char* p = get(fid, &size);
  return RT_Field(p, size);
}

const char* RT_Message::get_by_idx(int idx, int* fid, int* val_size) const {
  const RT_MessageRep& r = *mb_rep;
  const bool found = idx >= 0 && idx < r.num_fids;
  if (fid) *fid = found ? r.fids[idx] : 0;
  if (val_size) *val_size = found ? r.value_size(idx) : 0;
  return found ? r.value(idx) : nullptr;
}

RT_FidField RT_Message::get_by_idx(int idx) const {
  int fid, size;
  const char* p = get_by_idx(idx, &fid, &size);
  return RT_FidField(fid, RT_Field(p, size));
}

bool RT_Message::exists(int fid) const {
  return mb_rep->find(fid) < mb_rep->num_fids;
}

int RT_Message::count() const {
  return mb_rep->num_fids;
}

void RT_Message::reset() {
  tag = 0;
  error = RT_NO_ERROR;
  flags = 0;
  RT_MessageRep& r = *mb_rep;
  r.key.clear();
  r.perms.clear();
  r.err_desc.clear();
  r.stale_reason.clear();
}

void RT_Message::clear() {
  reset();
  RT_MessageRep& r = *mb_rep;
  r.num_fids = 0;
  r.data_size = 0;
  r.data.clear();
  r.bloom_filter = 0;
}

size_t RT_Message::size() const {
  const RT_MessageRep& r = *mb_rep;
  // tag 4, flags 1, format byte 1, key length 2, data length 2, field count 1
  size_t s = 11 + r.key.size() + r.data_size + 2 * static_cast<size_t>(r.num_fids);
  if (flags & MSG_ERROR) s += 4 + r.err_desc.size();
  if (flags & MSG_STALE) s += 2 + r.stale_reason.size();
  if (flags & MSG_PERMISSIONS_SET) s += 2 + r.perms.size();
  return s;
}

std::ostream& operator<<(std::ostream& os, const RT_Message& msg) {
  os << "  T:" << msg.get_tag() << " K:" << msg.get_key() << " E:" << int(msg.get_error())
     << " Flags";
  const struct {
    bool on;
    const char* name;
  } shown[] = {{msg.is_response(), ":RSP"},     {msg.is_update(), ":UPD"},
               {msg.is_error(), ":ERR"},        {msg.is_closed(), ":FIN"},
               {msg.is_complete(), ":CMP"},     {msg.is_stale(), ":STL"},
               {msg.is_permissioned(), ":PER"}, {msg.is_aggregatable(), ":AGB"},
               {msg.is_aggregated(), ":AGD"}};
  for (const auto& f : shown)
    if (f.on) os << f.name;
  os << "\n";
  if (msg.is_error()) os << "  error desc-> " << msg.get_error_description() << "\n";
  if (msg.is_stale()) os << "  stale reas-> " << msg.get_stale_reason() << "\n";
  if (msg.is_permissioned()) os << "  permissions-> " << msg.get_permissions() << "\n";
  os << "  NumFids = " << msg.count() << " Size = " << msg.size() << "\n";
  for (const RT_FidField& f : msg) os << "     " << f << "\n";
  return os;
}

}  // namespace KVN
