// SimpleXMLParser: the element sequence callers rely on (closing tags,
// declarations, raw texts, tags and texts across lines), line limits and
// comments, attribute parsing, and the end of input.
#include <tavo/SimpleXMLParser>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace KVN {
namespace {

struct Seen {
  std::string name;
  std::string text;
  std::vector<SimpleXMLElement::Attribute> attributes;
};

std::vector<Seen> elements_of(const std::string& doc) {
  SimpleXMLParser p;
  EXPECT_EQ(p.open_string(doc), 0);
  std::vector<Seen> out;
  SimpleXMLElement e;
  while (p.get_next_element(e)) out.push_back({e.name, e.text, e.attributes});
  // Once it has answered false it keeps doing so.
  EXPECT_FALSE(p.get_next_element(e));
  EXPECT_TRUE(e.name.empty() && e.text.empty() && e.attributes.empty());
  return out;
}

std::vector<std::string> names_of(const std::vector<Seen>& seen) {
  std::vector<std::string> names;
  for (const Seen& s : seen) names.push_back(s.name);
  return names;
}

TEST(SimpleXMLParser, ElementSequence) {
  const std::vector<Seen> seen = elements_of(
      "<?xml version=\"1.0\"?>\n"
      "<!-- dictionary -->\n"
      "<Fields kind=feed>\n"
      "  <Field name=\"BID_1\" id=\"100\" type=\"4\"/>\n"
      "  <Note>some &amp; text </Note>\n"
      "</Fields>\n");
  EXPECT_EQ(names_of(seen), (std::vector<std::string>{"?xml", "!--", "Fields", "Field", "Note",
                                                      "/Note", "/Fields"}));
  EXPECT_EQ(seen[0].attributes, (std::vector<SimpleXMLElement::Attribute>{{"version", "1.0"}}));
  EXPECT_EQ(seen[2].attributes, (std::vector<SimpleXMLElement::Attribute>{{"kind", "feed"}}));
  // Texts run raw to the next '<'; lines are joined without their newlines.
  EXPECT_EQ(seen[2].text, "  ");
  EXPECT_EQ(seen[3].attributes, (std::vector<SimpleXMLElement::Attribute>{
                                    {"name", "BID_1"}, {"id", "100"}, {"type", "4"}}));
  EXPECT_EQ(seen[4].text, "some &amp; text ");
  EXPECT_EQ(seen[6].text, "");
}

TEST(SimpleXMLParser, TagsAndTextsSpanLines) {
  const std::vector<Seen> seen = elements_of(
      "<A one=\"1\"\n"
      "two=\"2\">first\n"
      "second</A>\n"
      "<B x=1\n"
      "y=2>\n");
  ASSERT_EQ(names_of(seen), (std::vector<std::string>{"A", "/A", "B"}));
  EXPECT_EQ(seen[0].attributes,
            (std::vector<SimpleXMLElement::Attribute>{{"one", "1"}, {"two", "2"}}));
  EXPECT_EQ(seen[0].text, "firstsecond");
  // An unquoted value before the break swallows the next attribute.
  EXPECT_EQ(seen[2].attributes, (std::vector<SimpleXMLElement::Attribute>{{"x", "1y=2"}}));
}

TEST(SimpleXMLParser, SkippedLinesAndLineLimit) {
  const std::string line254 = "<L v=\"" + std::string(254 - 9, 'x') + "\"/>";
  ASSERT_EQ(line254.size(), 254u);
  const std::vector<Seen> seen = elements_of(
      "# <Commented out/>\n"
      "\n"
      "<First/>\n" +
      line254 + "\n<Second/>\n" + std::string(248, ' ') + "<Lost/>\n<AlsoLost/>\n");
  // The 254-character line is read; the 255-character one ends the document.
  EXPECT_EQ(names_of(seen), (std::vector<std::string>{"First/", "L", "Second/"}));
  EXPECT_EQ(seen[1].attributes[0].second.size(), 245u);
}

TEST(SimpleXMLParser, EndOfInput) {
  // Ending inside the text of an element completes that element.
  std::vector<Seen> seen = elements_of("<A>tail text");
  ASSERT_EQ(names_of(seen), (std::vector<std::string>{"A"}));
  EXPECT_EQ(seen[0].text, "tail text");
  // Ending inside a tag loses that tag only.
  EXPECT_EQ(names_of(elements_of("<A/><B x=\"1\"")), (std::vector<std::string>{"A/"}));
  EXPECT_TRUE(elements_of("").empty());
  EXPECT_TRUE(elements_of("no tags at all\n").empty());
  EXPECT_EQ(names_of(elements_of("<>")), (std::vector<std::string>{""}));
}

TEST(SimpleXMLParser, OpenAndReopen) {
  SimpleXMLParser p;
  SimpleXMLElement e;
  EXPECT_FALSE(p.get_next_element(e));  // nothing opened
  EXPECT_EQ(p.open("/nonexistent/dir/file.xml"), -1);
  EXPECT_FALSE(p.get_next_element(e));
  EXPECT_EQ(p.open_c_str(nullptr, 3), -1);
  EXPECT_FALSE(p.get_next_element(e));

  // A new input starts afresh, even in the middle of a tag of the old one.
  ASSERT_EQ(p.open_string("<Old a=\"1"), 0);
  EXPECT_FALSE(p.get_next_element(e));
  const char doc[] = "<New b=\"2\"/>ignored";
  ASSERT_EQ(p.open_c_str(doc, 12), 0);
  ASSERT_TRUE(p.get_next_element(e));
  EXPECT_EQ(e.name, "New");
  ASSERT_NE(e.find_attribute("b"), nullptr);
  EXPECT_EQ(*e.find_attribute("b"), "2");
  EXPECT_EQ(e.text, "");
  EXPECT_FALSE(p.get_next_element(e));
}

TEST(SimpleXMLElement, Attributes) {
  const struct {
    const char* text;
    std::vector<SimpleXMLElement::Attribute> attrs;
  } cases[] = {
      {"", {}},
      {"  /", {}},
      {"id=100", {{"id", "100"}}},
      {"type='4'", {{"type", "4"}}},
      {"  a = \"x y\"  b=z ", {{"a", "x y"}, {"b", "z"}}},
      {"q=\"it's\" r='say \"hi\"'", {{"q", "it's"}, {"r", "say \"hi\""}}},
      {"open=\"runs to the end", {{"open", "runs to the end"}}},
      {"empty= next=1", {{"empty", "next=1"}}},
      {"last=", {{"last", ""}}},
      {"=v", {{"", "v"}}},
      {"novalue other=1", {{"novalue other", "1"}}},
      {"name=\"a\"/", {{"name", "a"}}},
  };
  for (const auto& c : cases) {
    SimpleXMLElement e;
    e.load_attributes(c.text);
    EXPECT_EQ(e.attributes, c.attrs) << c.text;
  }
  SimpleXMLElement e;
  e.load_attributes("k=1 k=2");
  ASSERT_NE(e.find_attribute("k"), nullptr);
  EXPECT_EQ(*e.find_attribute("k"), "1");  // the first of a repeated name
  EXPECT_EQ(e.find_attribute("K"), nullptr);
}

TEST(SimpleXMLElement, PrintingAndClear) {
  SimpleXMLElement e;
  e.name = "Field";
  e.text = "body";
  e.load_attributes("name='BID' id=22");
  std::ostringstream os;
  os << e;
  EXPECT_EQ(os.str(), "<Field name=\"BID\" id=\"22\">\nbody");
  e.clear();
  EXPECT_TRUE(e.name.empty() && e.text.empty() && e.attributes.empty());
}

}  // namespace
}  // namespace KVN
