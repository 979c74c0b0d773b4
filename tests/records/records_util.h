// Helpers of the record cache tests: messages from field lists, the schema
// database's statistics read back from its printed form, a log captured in a
// scratch file, and comparison of a record with an independent image.
#ifndef KVN_TESTS_RECORDS_RECORDS_UTIL_H
#define KVN_TESTS_RECORDS_RECORDS_UTIL_H

#include <gtest/gtest.h>
#include <tavo/Logger>
#include <tavo/detail/RT_Message>
#include <tavo/detail/RT_Record>
#include <tavo/private/RT_FidCache>
#include <tavo/private/Schema>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace KVN {

typedef std::vector<std::pair<int, std::string>> FieldList;
typedef std::map<int, std::string> Image;

inline RT_Message make_msg(const std::string& key, const FieldList& fields) {
  RT_Message m;
  m.set_key(key.data(), static_cast<int>(key.size()));
  for (const auto& f : fields)
    EXPECT_EQ(m.append(f.first, f.second.data(), static_cast<int>(f.second.size())), RT_NO_ERROR);
  return m;
}

// The counters SchemaDB::print_stats shows.
struct SchemaStats {
  unsigned num = 0, bytes = 0, allocs = 0, expansions = 0, deallocs = 0, unref = 0, reref = 0;
};

inline SchemaStats schema_stats() {
  std::ostringstream os;
  SchemaDB::print_stats(os);
  SchemaStats s;
  const int n =
      std::sscanf(os.str().c_str(),
                  "SchemaStats:\n  NumSchemas = %u Schema(Bytes) = %u\n  Allocs = %u "
                  "Expansions = %u Deallocs = %u\n  Unreferenced = %u Rereferenced = %u",
                  &s.num, &s.bytes, &s.allocs, &s.expansions, &s.deallocs, &s.unref, &s.reref);
  EXPECT_EQ(n, 7) << os.str();
  return s;
}

// Starts every test with a fresh schema database: closing one that no
// record refers to destroys it, and the next use creates a new one.
inline void fresh_schema_db() {
  SchemaDB::close();
  ASSERT_EQ(schema_stats().num, 0u) << "records of an earlier test still hold schemas";
}

// Sends the log to a scratch file for the lifetime of the object.
class LogCapture {
 public:
  explicit LogCapture(LogLevel level = TAVO_LOG_INFO) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kvn_records_XXXXXX").string();
    if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp failed";
    m_dir = tmpl;
    m_old_level = Logger::log_level(level);
    EXPECT_EQ(Logger::open(m_dir + "/log", false), 0);
  }
  ~LogCapture() {
    Logger::close();
    Logger::log_level(m_old_level);
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::ifstream in(m_dir + "/log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  size_t count(const std::string& what) const {
    const std::string t = text();
    size_t n = 0;
    for (size_t p = t.find(what); p != std::string::npos; p = t.find(what, p + what.size())) ++n;
    return n;
  }

 private:
  std::string m_dir;
  LogLevel m_old_level;
};

inline int field_count(const RT_Message& m) {
  return m.count();
}
inline int field_count(const RT_Record& r) {
  return r.count();
}
inline int field_count(const RT_RecordInternal& r) {
  return r.num_fids();
}

// Fields of a message or record in its own order.
template <class Rec>
FieldList fields_of(const Rec& r) {
  FieldList out;
  for (int i = 0; i < field_count(r); ++i) {
    int fid = 0, sz = 0;
    const char* v = r.get_by_idx(i, &fid, &sz);
    out.emplace_back(fid, std::string(v, sz));
  }
  return out;
}

// The value of fid, or "<absent>".
template <class Rec>
std::string value_of(const Rec& r, int fid) {
  int sz = 0;
  const char* v = r.get(fid, &sz);
  return v ? std::string(v, sz) : std::string("<absent>");
}

// Key, stale reason and permissions as strings; "<null>" for a null text.
inline std::string text_or_null(const char* p, int sz) {
  return p ? std::string(p, sz) : std::string("<null>");
}
template <class Rec>
std::string key_of(const Rec& r) {
  int sz = 0;
  const char* p = r.get_key(&sz);
  return text_or_null(p, sz);
}
template <class Rec>
std::string stale_of(const Rec& r) {
  int sz = 0;
  const char* p = r.get_stale_reason(&sz);
  return text_or_null(p, sz);
}
template <class Rec>
std::string perms_of(const Rec& r) {
  int sz = 0;
  const char* p = r.get_permissions(&sz);
  return text_or_null(p, sz);
}

// The fields of the cached record, read through a const view; empty when the
// key is absent.
inline FieldList cached_fields(const RT_FidCache& cache, const std::string& key) {
  std::unique_ptr<const RT_Record> view = cache.find(key);
  return view ? fields_of(*view) : FieldList{};
}

inline FieldList fields_of(const Image& image) {
  return FieldList(image.begin(), image.end());
}

}  // namespace KVN

#endif
