// RT_FieldMap: loading from memory and files, the first-name / last-FID rules,
// numeric names, skipped and malformed entries, index access and the process
// default dictionary.
#include <tavo/detail/RT_FieldMap>

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace KVN {
namespace {

struct MapDeleter {
  void operator()(RT_FieldMap* m) const { RT_FieldMap::destroy(m); }
};
typedef std::unique_ptr<RT_FieldMap, MapDeleter> MapPtr;

MapPtr from_text(const std::string& doc) {
  MapPtr map(RT_FieldMap::create(doc.data(), doc.size(), false));
  EXPECT_TRUE(map != nullptr);
  return map;
}

// A file in the test's working directory, removed again at the end.
class TempFile {
 public:
  TempFile(const std::string& name, const std::string& content)
      : m_path(name + "." + std::to_string(getpid())) {
    std::ofstream(m_path) << content;
  }
  ~TempFile() { std::remove(m_path.c_str()); }
  const char* path() const { return m_path.c_str(); }

 private:
  std::string m_path;
};

const char kDoc[] =
    "<?xml version=\"1.0\"?>\n"
    "<FieldDictionary>\n"
    "  <Fields>\n"
    "    <Field name=\"BID_1\" id=\"100\" type=\"4\"/>\n"
    "    <Field name=\"ASK_1\" id=\"101\" type=\"4\"></Field>\n"
    "    <Field name=\"TRADE_TIME\" id=\"200\" type=\"9\"/>\n"
    "    <Field name=\"ODD\" id=\"300\" type=\"42\"/>\n"
    "  </Fields>\n"
    "</FieldDictionary>\n";

TEST(FieldMap, LookupsByNameIdAndIndex) {
  MapPtr map = from_text(kDoc);
  EXPECT_EQ(map->count(), 4u);
  EXPECT_STREQ(map->get_name(100, "?"), "BID_1");
  EXPECT_STREQ(map->get_name(999, "dflt"), "dflt");
  EXPECT_EQ(map->get_name(999, nullptr), nullptr);
  EXPECT_EQ(map->get_id("ASK_1"), 101);
  EXPECT_EQ(map->get_type(200), RT_FieldMap::RT_TimeType);
  EXPECT_EQ(map->get_type(300), 42);  // kept as the document gives it
  EXPECT_EQ(map->get_type(999), RT_FieldMap::RT_NullType);

  RT_FieldMap::FieldType type = RT_FieldMap::RT_StringType;
  EXPECT_EQ(map->get_id("TRADE_TIME", type), 200);
  EXPECT_EQ(type, RT_FieldMap::RT_TimeType);
  EXPECT_EQ(map->get_id("MISSING", type), 0);
  EXPECT_EQ(type, RT_FieldMap::RT_NullType);
  EXPECT_EQ(map->get_id("bid_1"), 0);  // names are case-sensitive
  EXPECT_EQ(map->get_id(nullptr, type), 0);

  const char* names[] = {"BID_1", "ASK_1", "TRADE_TIME", "ODD"};
  const int ids[] = {100, 101, 200, 300};
  for (unsigned i = 0; i < 4; ++i) {
    EXPECT_STREQ(map->get_name_by_idx(i), names[i]);
    EXPECT_EQ(map->get_id_by_idx(i), ids[i]);
  }
  EXPECT_EQ(map->get_type_by_idx(0), RT_FieldMap::RT_PriceType);
  EXPECT_EQ(map->get_name_by_idx(4), nullptr);
  EXPECT_EQ(map->get_id_by_idx(4), 0);
  EXPECT_EQ(map->get_type_by_idx(4), RT_FieldMap::RT_NullType);
}

TEST(FieldMap, NumericNamesAreConverted) {
  MapPtr map = from_text(
      "<Field name=\"7UP\" id=\"5\" type=\"2\"/><Field name=\"X\" id=\"123\" type=\"3\"/>");
  RT_FieldMap::FieldType type = RT_FieldMap::RT_NullType;
  EXPECT_EQ(map->get_id("123", type), 123);
  EXPECT_EQ(type, RT_FieldMap::RT_IntegerType);  // the type of that FID
  EXPECT_EQ(map->get_id("456", type), 456);      // no entry needed
  EXPECT_EQ(type, RT_FieldMap::RT_NullType);
  // A name starting with a digit is never looked up, even when it exists.
  EXPECT_EQ(map->get_id("7UP"), 7);
}

TEST(FieldMap, FirstNameWinsLastFidWins) {
  MapPtr same_name = from_text(
      "<Field name=\"DUP\" id=\"5\" type=\"1\"/>\n<Field name=\"DUP\" id=\"6\" type=\"2\"/>\n");
  EXPECT_EQ(same_name->count(), 2u);
  EXPECT_EQ(same_name->get_id("DUP"), 5);
  EXPECT_STREQ(same_name->get_name(6, "?"), "DUP");

  MapPtr same_fid = from_text(
      "<Field name=\"A\" id=\"7\" type=\"1\"/>\n<Field name=\"B\" id=\"7\" type=\"2\"/>\n");
  EXPECT_EQ(same_fid->count(), 2u);
  EXPECT_STREQ(same_fid->get_name(7, "?"), "B");
  EXPECT_EQ(same_fid->get_type(7), RT_FieldMap::RT_StringType);
  EXPECT_EQ(same_fid->get_id("A"), 7);

  // The rules hold across loads: later appends see the earlier entries.
  const std::string more =
      "<Field name=\"DUP\" id=\"9\" type=\"3\"/><Field name=\"C\" id=\"5\" type=\"3\"/>";
  ASSERT_EQ(same_name->append(more.data(), more.size()), RT_NO_ERROR);
  EXPECT_EQ(same_name->count(), 4u);
  EXPECT_EQ(same_name->get_id("DUP"), 5);
  EXPECT_STREQ(same_name->get_name(5, "?"), "C");
  EXPECT_EQ(same_name->get_id("C"), 5);
}

TEST(FieldMap, IncompleteAndForeignElementsAreSkipped) {
  MapPtr map = from_text(
      "<Field name=\"NO_TYPE\" id=\"1\"/>\n"
      "<Field id=\"2\" type=\"1\"/>\n"
      "<Field name=\"NO_ID\" type=\"1\"/>\n"
      "<field name=\"LOWER\" id=\"3\" type=\"1\"/>\n"
      "<Other name=\"OTHER\" id=\"4\" type=\"1\"/>\n"
      "<Field name id type/>\n"
      "<Field name=\"OK\" id=100 type='4'/>\n"
      "<Field name=\"EMPTY_ID\" id=\"\" type=\"x\"/>\n");
  ASSERT_EQ(map->count(), 2u);
  EXPECT_EQ(map->get_id("OK"), 100);  // unquoted and single-quoted values
  EXPECT_EQ(map->get_type(100), RT_FieldMap::RT_PriceType);
  EXPECT_EQ(map->get_id("EMPTY_ID"), 0);  // atoi of nothing
  EXPECT_EQ(map->get_type(0), RT_FieldMap::RT_NullType);
  for (const char* skipped : {"NO_TYPE", "NO_ID", "LOWER", "OTHER"})
    EXPECT_EQ(map->get_id(skipped), 0);
}

TEST(FieldMap, SplitTagsCommentsAndLongLines) {
  MapPtr map = from_text(
      "# <Field name=\"COMMENTED\" id=\"1\" type=\"1\"/>\n"
      "<Field name=\"SPLIT\"\n"
      "id=\"2\" type=\"1\"/>\n"
      "<Field name=\"SWALLOW\" id=3\n"
      "type=\"1\"/>\n"
      "<Field name=\"BEFORE\" id=\"4\" type=\"1\"/>\n" +
      std::string(300, ' ') +
      "\n"
      "<Field name=\"AFTER\" id=\"5\" type=\"1\"/>\n");
  EXPECT_EQ(map->get_id("COMMENTED"), 0);
  EXPECT_EQ(map->get_id("SPLIT"), 2);
  EXPECT_EQ(map->get_id("SWALLOW"), 0);  // id became '3type="1"/', type is gone
  EXPECT_EQ(map->get_id("BEFORE"), 4);
  EXPECT_EQ(map->get_id("AFTER"), 0);  // the 300-character line ended the document
  EXPECT_EQ(map->count(), 2u);
}

TEST(FieldMap, MalformedDocumentsLoadWhatTheyCan) {
  const std::string field = "<Field name=\"T\" id=\"1\" type=\"1\"/>";
  const struct {
    std::string doc;
    unsigned loaded;
  } cases[] = {
      {"", 0},
      {"<", 0},
      {">>>><<<<", 0},
      {field.substr(0, field.size() - 2), 0},  // truncated inside the tag
      {field + "<Field name=\"U\" id=\"2\" ty", 1},
      {"<Field name=\"UNCLOSED id=\"1\" type=\"1\"/>", 0},  // the quote eats the id
      {std::string("\0\0", 2) + field, 0},        // a line starting with NUL reads as empty
      {field + std::string("\0", 1) + field, 1},  // the rest of the line is dropped
      {"\n\n" + field + "\r\n" + field + "\r\n", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(from_text(c.doc)->count(), c.loaded) << c.doc;
}

TEST(FieldMap, FilesAndFailures) {
  TempFile file("fieldmap_test_dict.xml", kDoc);
  MapPtr map(RT_FieldMap::create(file.path(), false));
  ASSERT_TRUE(map != nullptr);
  EXPECT_EQ(map->count(), 4u);
  EXPECT_EQ(map->get_id("BID_1"), 100);

  EXPECT_EQ(RT_FieldMap::create("/nonexistent/fields.xml", false), nullptr);
  EXPECT_EQ(RT_FieldMap::create(static_cast<const char*>(nullptr), 5, false), nullptr);
  EXPECT_EQ(map->append("/nonexistent/fields.xml"), RT_E_NOT_FOUND);
  EXPECT_EQ(map->append(static_cast<const char*>(nullptr), 5), RT_E_RESOURCE);
  EXPECT_EQ(map->count(), 4u);  // failures keep the entries
  EXPECT_EQ(map->get_id("BID_1"), 100);

  // An empty block is a valid, empty document.
  MapPtr empty(RT_FieldMap::create(static_cast<const char*>(nullptr), 0, false));
  ASSERT_TRUE(empty != nullptr);
  EXPECT_EQ(empty->count(), 0u);
}

class DefaultFieldMap : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RT_FieldMap::get_default(), nullptr); }
  void TearDown() override {
    RT_FieldMap::destroy(const_cast<RT_FieldMap*>(RT_FieldMap::get_default()));
  }
};

TEST_F(DefaultFieldMap, CreateAsDefaultReplacesAndDestroysThePrevious) {
  const std::string doc1 = "<Field name=\"ONE\" id=\"1\" type=\"1\"/>";
  const std::string doc2 = "<Field name=\"TWO\" id=\"2\" type=\"1\"/>";
  RT_FieldMap* first = RT_FieldMap::create(doc1.data(), doc1.size(), true);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(RT_FieldMap::get_default(), first);
  // The first dictionary is destroyed here (the leak checker of the debug
  // build would report it otherwise).
  RT_FieldMap* second = RT_FieldMap::create(doc2.data(), doc2.size(), true);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(RT_FieldMap::get_default(), second);
  EXPECT_STREQ(RT_FieldMap::get_default()->get_name(2, "?"), "TWO");
  // A failed create leaves the default alone.
  EXPECT_EQ(RT_FieldMap::create("/nonexistent/fields.xml", true), nullptr);
  EXPECT_EQ(RT_FieldMap::get_default(), second);
  RT_FieldMap::destroy(second);
  EXPECT_EQ(RT_FieldMap::get_default(), nullptr);
}

TEST_F(DefaultFieldMap, SetDefaultAndDestruction) {
  auto own = std::make_unique<RT_FieldMap>();
  EXPECT_EQ(own->count(), 0u);
  EXPECT_EQ(RT_FieldMap::set_default(own.get()), nullptr);
  MapPtr other = from_text("");
  EXPECT_EQ(RT_FieldMap::set_default(other.get()), own.get());  // not destroyed
  EXPECT_EQ(own->count(), 0u);
  other.reset();  // destroying the default clears it
  EXPECT_EQ(RT_FieldMap::get_default(), nullptr);
  RT_FieldMap::set_default(own.get());
  own.reset();  // so does deleting it directly
  EXPECT_EQ(RT_FieldMap::get_default(), nullptr);
  EXPECT_EQ(RT_FieldMap::set_default(nullptr), nullptr);
}

}  // namespace
}  // namespace KVN
