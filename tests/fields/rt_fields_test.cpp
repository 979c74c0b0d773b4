// Field identifier constants: the header's declarations (read as text, so the
// count, order and uniqueness are checked for every constant, not just the
// ones named here), the numbering regularities applications rely on, and the
// shipped field dictionary document agreeing with the header both ways.
#include <tavo/detail/RT_FieldMap>
#include <tavo/rt_fields>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <type_traits>
#include <vector>

using namespace KVN;

namespace {

struct Decl {
  std::string name;
  int value;
};

struct Header {
  std::vector<Decl> decls;              // in file order
  std::map<std::string, int> by_name;   // name -> value
  std::map<int, std::string> by_value;  // value -> name
  std::vector<std::string> problems;    // lines that look like constants but do not parse
};

// Reads every constant declaration from the header source.
const Header& header() {
  static const Header h = [] {
    Header r;
    const std::string path = std::string(KVN_SOURCE_DIR) + "/include/tavo/rt_fields";
    std::ifstream in(path);
    if (!in) {
      r.problems.push_back("cannot open " + path);
      return r;
    }
    const std::regex decl(R"(^const FieldID ([A-Z][A-Z0-9_]*) = ([0-9]+);$)");
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      if (std::regex_match(line, m, decl)) {
        Decl d{m[1], std::stoi(m[2])};
        r.decls.push_back(d);
        if (!r.by_name.emplace(d.name, d.value).second) r.problems.push_back("name twice: " + line);
        if (!r.by_value.emplace(d.value, d.name).second)
          r.problems.push_back("value twice: " + line);
      } else if (line.rfind("const", 0) == 0 || line.find("FieldID ") != std::string::npos) {
        if (line != "typedef uint16_t FieldID;") r.problems.push_back("unparsed: " + line);
      }
    }
    return r;
  }();
  return h;
}

// Value of a name in the header text, or -1.
int value_of(const std::string& name) {
  auto it = header().by_name.find(name);
  return it == header().by_name.end() ? -1 : it->second;
}

// Takes an int FID the way message and record accessors do.
int as_int_fid(int fid) {
  return fid;
}

}  // namespace

static_assert(std::is_same<FIDS::FieldID, uint16_t>::value, "FieldID is unsigned 16 bits");
static_assert(std::is_same<decltype(FIDS::BID_1), const FIDS::FieldID>::value,
              "constants are const FieldID");
static_assert(FIDS::RESERVED == 0 && FIDS::SUBSIDIZED_SEVEN_DAY_YIELD == 10052, "extremes");
static_assert(FIDS::TBL_ROW_1 == 3121 && FIDS::TBL_ROW_200 == 3320, "table rows");

TEST(RtFieldsHeader, DeclaresAll824ConstantsOnePerLineAscending) {
  const Header& h = header();
  for (const std::string& p : h.problems) ADD_FAILURE() << p;
  ASSERT_EQ(h.decls.size(), 824u);
  EXPECT_EQ(h.by_name.size(), 824u);
  EXPECT_EQ(h.by_value.size(), 824u);
  for (size_t i = 1; i < h.decls.size(); ++i)
    EXPECT_LT(h.decls[i - 1].value, h.decls[i].value)
        << h.decls[i - 1].name << " before " << h.decls[i].name;
  EXPECT_EQ(h.decls.front().name, "RESERVED");
  EXPECT_EQ(h.decls.front().value, 0);
  EXPECT_EQ(h.decls.back().name, "SUBSIDIZED_SEVEN_DAY_YIELD");
  EXPECT_EQ(h.decls.back().value, 10052);
}

TEST(RtFieldsHeader, FieldsTheLibraryInterpretsHaveTheirValues) {
  struct Case {
    const char* name;
    int constant;
    int value;
  };
  const Case cases[] = {
      {"MSG_TYPE", FIDS::MSG_TYPE, 1},
      {"SEQUENCE", FIDS::SEQUENCE, 2},
      {"UNCHANGED_FIELDS", FIDS::UNCHANGED_FIELDS, 95},
      {"BID_1", FIDS::BID_1, 100},
      {"BID_DATE_1", FIDS::BID_DATE_1, 101},
      {"BID_TIME_1", FIDS::BID_TIME_1, 102},
      {"BID_VOL_1", FIDS::BID_VOL_1, 104},
      {"BID_INDEX_1", FIDS::BID_INDEX_1, 150},
      {"ASK_1", FIDS::ASK_1, 200},
      {"ASK_DATE_1", FIDS::ASK_DATE_1, 201},
      {"ASK_TIME_1", FIDS::ASK_TIME_1, 202},
      {"ASK_VOL_1", FIDS::ASK_VOL_1, 204},
      {"ASK_INDEX_1", FIDS::ASK_INDEX_1, 250},
      {"ORDER_CODE", FIDS::ORDER_CODE, 520},
      {"MARKET_MAKER_ID", FIDS::MARKET_MAKER_ID, 523},
      {"AUTH_SERVICE", FIDS::AUTH_SERVICE, 8998},
      {"USER_HOST", FIDS::USER_HOST, 8999},
      {"SERVICE_NAME", FIDS::SERVICE_NAME, 9000},
      {"GENERATOR", FIDS::GENERATOR, 9008},
      {"SALT", FIDS::SALT, 9009},
      {"DEFAULT_SERVICE", FIDS::DEFAULT_SERVICE, 9010},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.constant, c.value) << c.name;
    EXPECT_EQ(value_of(c.name), c.value) << c.name << " in the header text";
  }
  // A constant goes wherever an int FID is taken, unchanged and without a cast.
  EXPECT_EQ(as_int_fid(FIDS::UNCHANGED_FIELDS), 95);
  EXPECT_EQ(as_int_fid(FIDS::SUBSIDIZED_SEVEN_DAY_YIELD), 10052);
}

TEST(RtFieldsHeader, QuoteAndTradeBlocksShareOneLayout) {
  struct Block {
    const char* side;
    int base, value, date, time, vol, cond, tick, exch_of_value, exch, chg, pct_chg;
  };
  const Block blocks[] = {
      {"bid", 100, FIDS::BID_1, FIDS::BID_DATE_1, FIDS::BID_TIME_1, FIDS::BID_VOL_1,
       FIDS::BID_COND_1, FIDS::BID_TICK_1, FIDS::BID_EXCH_1, FIDS::BID_EXCH, FIDS::BID_CHG,
       FIDS::BID_PCT_CHG},
      {"ask", 200, FIDS::ASK_1, FIDS::ASK_DATE_1, FIDS::ASK_TIME_1, FIDS::ASK_VOL_1,
       FIDS::ASK_COND_1, FIDS::ASK_TICK_1, FIDS::ASK_EXCH_1, FIDS::ASK_EXCH, FIDS::ASK_CHG,
       FIDS::ASK_PCT_CHG},
      {"last", 300, FIDS::LAST_1, FIDS::LAST_DATE_1, FIDS::LAST_TIME_1, FIDS::LAST_VOL_1,
       FIDS::LAST_COND_1, FIDS::LAST_TICK_1, FIDS::LAST_EXCH_1, FIDS::LAST_EXCH, FIDS::LAST_CHG,
       FIDS::LAST_PCT_CHG},
      {"unofficial last", 400, FIDS::LAST_UNOFF_1, FIDS::LAST_UNOFF_DATE_1, FIDS::LAST_UNOFF_TIME_1,
       FIDS::LAST_UNOFF_VOL_1, FIDS::LAST_UNOFF_COND_1, FIDS::LAST_UNOFF_TICK_1,
       FIDS::LAST_UNOFF_EXCH_1, FIDS::LAST_UNOFF_EXCH, FIDS::LAST_UNOFF_CHG,
       FIDS::LAST_UNOFF_PCT_CHG},
  };
  for (const Block& b : blocks) {
    SCOPED_TRACE(b.side);
    EXPECT_EQ(b.value, b.base + 0);
    EXPECT_EQ(b.date, b.base + 1);
    EXPECT_EQ(b.time, b.base + 2);
    EXPECT_EQ(b.vol, b.base + 4);
    EXPECT_EQ(b.cond, b.base + 5);
    EXPECT_EQ(b.tick, b.base + 6);
    EXPECT_EQ(b.exch_of_value, b.base + 7);
    EXPECT_EQ(b.exch, b.base + 17);
    EXPECT_EQ(b.chg, b.base + 90);
    EXPECT_EQ(b.pct_chg, b.base + 91);
  }
}

TEST(RtFieldsHeader, EveryBidNameHasAnAskTwinOneHundredHigher) {
  int bids = 0;
  for (const Decl& d : header().decls) {
    if (d.value < 100 || d.value > 199) continue;
    ++bids;
    ASSERT_EQ(d.name.rfind("BID_", 0), 0u) << d.name << " in the bid range";
    const std::string twin = "ASK_" + d.name.substr(4);
    EXPECT_EQ(value_of(twin), d.value + 100) << twin;
  }
  EXPECT_EQ(bids, 16);
  EXPECT_EQ(FIDS::BID_CLOSE_VOL, 114);
  EXPECT_EQ(FIDS::ASK_CLOSE_VOL, 214);
  EXPECT_EQ(FIDS::BID_POINTS_1, 192);
  EXPECT_EQ(FIDS::ASK_POINTS_1, 292);
}

TEST(RtFieldsHeader, NumberedFamiliesAndTheGapsBetweenThem) {
  const Header& h = header();
  // Table rows: all 200 named, TBL_ROW_n = 3120 + n, and nothing past either end.
  for (int n = 1; n <= 200; ++n) EXPECT_EQ(value_of("TBL_ROW_" + std::to_string(n)), 3120 + n) << n;
  EXPECT_EQ(value_of("TBL_ROW_0"), -1);
  EXPECT_EQ(value_of("TBL_ROW_201"), -1);

  // Names inside [lo, hi], in ascending order of value.
  auto names_in = [&h](int lo, int hi) {
    std::vector<std::string> out;
    for (auto it = h.by_value.lower_bound(lo); it != h.by_value.end() && it->first <= hi; ++it)
      out.push_back(it->second);
    return out;
  };
  EXPECT_EQ(names_in(9011, 9019), (std::vector<std::string>{"PARAM_1", "PARAM_9"}));
  EXPECT_EQ(FIDS::PARAM_1, 9011);
  EXPECT_EQ(FIDS::PARAM_9, 9019);
  EXPECT_EQ(names_in(9021, 9220),
            (std::vector<std::string>{"GEN_VAL_1", "MD_BINARY_SIZE", "MD_BINARY", "GEN_VAL_200"}));
  EXPECT_EQ(FIDS::GEN_VAL_1, 9021);
  EXPECT_EQ(FIDS::MD_BINARY_SIZE, 9050);
  EXPECT_EQ(FIDS::MD_BINARY, 9051);
  EXPECT_EQ(FIDS::GEN_VAL_200, 9220);
}

namespace {

using FieldMapPtr = std::unique_ptr<RT_FieldMap, decltype(&RT_FieldMap::destroy)>;

FieldMapPtr load_shipped_dictionary() {
  const std::string path = std::string(KVN_SOURCE_DIR) + "/data/fields.xml";
  return FieldMapPtr(RT_FieldMap::create(path.c_str(), false), &RT_FieldMap::destroy);
}

}  // namespace

TEST(FieldDictionaryDocument, AgreesWithTheHeaderBothWays) {
  FieldMapPtr map = load_shipped_dictionary();
  ASSERT_NE(map, nullptr) << "data/fields.xml did not open";
  const Header& h = header();
  ASSERT_EQ(h.decls.size(), 824u);

  // Header to dictionary: every constant is found by name and by FID, with a type.
  for (const Decl& d : h.decls) {
    RT_FieldMap::FieldType type = RT_FieldMap::RT_NullType;
    EXPECT_EQ(map->get_id(d.name.c_str(), type), d.value) << d.name;
    EXPECT_GE(type, RT_FieldMap::RT_CharType) << d.name;
    EXPECT_LE(type, RT_FieldMap::RT_Integer64) << d.name;
    EXPECT_EQ(map->get_type(d.value), type) << d.name;
    const char* name = map->get_name(d.value, nullptr);
    ASSERT_NE(name, nullptr) << "no name for FID " << d.value;
    EXPECT_EQ(std::string(name), d.name);
  }

  // Dictionary to header: nothing more, nothing repeated, in the header's order.
  ASSERT_EQ(map->count(), 824u);
  for (unsigned int i = 0; i < map->count(); ++i) {
    const char* name = map->get_name_by_idx(i);
    ASSERT_NE(name, nullptr) << i;
    EXPECT_EQ(std::string(name), h.decls[i].name) << i;
    EXPECT_EQ(map->get_id_by_idx(i), h.decls[i].value) << name;
  }
}

TEST(FieldDictionaryDocument, TypesFollowWhatTheFieldsHold) {
  FieldMapPtr map = load_shipped_dictionary();
  ASSERT_NE(map, nullptr);
  struct Case {
    int fid;
    RT_FieldMap::FieldType type;
  };
  const Case cases[] = {
      {FIDS::RESERVED, RT_FieldMap::RT_Reserved},
      {FIDS::MSG_TYPE, RT_FieldMap::RT_CharType},
      {FIDS::BID_TICK_1, RT_FieldMap::RT_CharType},
      {FIDS::SYMBOL, RT_FieldMap::RT_StringType},
      {FIDS::EXCHANGE, RT_FieldMap::RT_StringType},
      {FIDS::PRICE_CURRENCY, RT_FieldMap::RT_StringType},
      {FIDS::UNCHANGED_FIELDS, RT_FieldMap::RT_StringType},
      {FIDS::SERVICE_NAME, RT_FieldMap::RT_StringType},
      {FIDS::TBL_ROW_200, RT_FieldMap::RT_StringType},
      {FIDS::BID_VOL_1, RT_FieldMap::RT_IntegerType},
      {FIDS::BID_INDEX_1, RT_FieldMap::RT_IntegerType},
      {FIDS::BID_1, RT_FieldMap::RT_PriceType},
      {FIDS::LAST_1, RT_FieldMap::RT_PriceType},
      {FIDS::NET_CHANGE, RT_FieldMap::RT_PriceType},
      {FIDS::TICK_SIZE, RT_FieldMap::RT_PriceType},
      {FIDS::LAST_PCT_CHG, RT_FieldMap::RT_DecimalType},
      {FIDS::IMPL_VOL, RT_FieldMap::RT_DecimalType},
      {FIDS::SECURITY_TYPE, RT_FieldMap::RT_Enumeration},
      {FIDS::BID_DATE_1, RT_FieldMap::RT_DateType},
      {FIDS::EXPIRATION_DATE, RT_FieldMap::RT_DateType},
      {FIDS::BID_TIME_1, RT_FieldMap::RT_TimeType},
      {FIDS::CUM_VOL, RT_FieldMap::RT_Integer64},
      {FIDS::LAST_TS, RT_FieldMap::RT_Integer64},
  };
  for (const Case& c : cases)
    EXPECT_EQ(map->get_type(c.fid), c.type) << map->get_name(c.fid, "(unnamed)");
}
