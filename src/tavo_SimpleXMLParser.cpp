// Line-oriented XML tokenizer: a small state machine over one line buffer that
// joins tags and texts spanning lines and splits a tag's inside into name and
// attributes.
#include <tavo/SimpleXMLParser>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

namespace KVN {

namespace {

inline bool is_space(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

const char* skip_space(const char* s) {
  while (*s && is_space(*s)) ++s;
  return s;
}

const char* next_space(const char* s) {
  while (*s && !is_space(*s)) ++s;
  return s;
}

}  // namespace

const std::string* SimpleXMLElement::find_attribute(const char* attr_name) const {
  for (const Attribute& a : attributes)
    if (a.first == attr_name) return &a.second;
  return nullptr;
}

void SimpleXMLElement::clear() {
  name.clear();
  text.clear();
  attributes.clear();
}

void SimpleXMLElement::load_attributes(const char* e) {
  while (*e) {
    e = skip_space(e);
    const char* eq = std::strchr(e, '=');
    if (!eq) return;
    const char* name_end = eq;
    while (name_end > e && is_space(name_end[-1])) --name_end;
    const char* v = skip_space(eq + 1);
    const char* v_end;
    const char* next;
    if (*v == '"' || *v == '\'') {
      const char quote = *v++;
      v_end = std::strchr(v, quote);
      if (!v_end) v_end = v + std::strlen(v);
      next = *v_end ? v_end + 1 : v_end;
    } else {
      v_end = next_space(v);
      next = v_end;
    }
    attributes.emplace_back(std::string(e, name_end), std::string(v, v_end));
    e = next;
  }
}

std::ostream& operator<<(std::ostream& os, const SimpleXMLElement& elem) {
  os << "<" << elem.name;
  for (const SimpleXMLElement::Attribute& a : elem.attributes)
    os << " " << a.first << "=\"" << a.second << "\"";
  return os << ">\n" << elem.text;
}

SimpleXMLParser::SimpleXMLParser() : buff(), parse_state(LOOK_FOR_START_TAG), r_ptr(nullptr) {}

SimpleXMLParser::~SimpleXMLParser() = default;

int SimpleXMLParser::init(std::unique_ptr<std::istream> in) {
  infile = std::move(in);
  element.clear();
  parse_state = LOOK_FOR_START_TAG;
  r_ptr = nullptr;
  return infile->fail() ? -1 : 0;
}

int SimpleXMLParser::open(const char* filename) {
  infile.reset();
  if (!filename) return -1;
  return init(std::make_unique<std::ifstream>(filename));
}

int SimpleXMLParser::open_string(const std::string& input) {
  infile.reset();
  return init(std::make_unique<std::istringstream>(input));
}

int SimpleXMLParser::open_c_str(const char* input, size_t input_size) {
  infile.reset();
  if (!input && input_size != 0) return -1;
  return init(std::make_unique<std::istringstream>(std::string(input ? input : "", input_size)));
}

// Reads the next line that is neither empty nor a '#' comment. The limit of
// 255 makes a line of more than 254 characters fail the stream, which ends the
// document.
bool SimpleXMLParser::read_line() {
  while (infile->getline(buff, BUFF_SIZE - 1)) {
    if (buff[0] != '\0' && buff[0] != '#') {
      r_ptr = buff;
      return true;
    }
  }
  r_ptr = nullptr;
  return false;
}

void SimpleXMLParser::finish_element(SimpleXMLElement& elem) {
  const char* s = skip_space(element.c_str());
  const char* name_end = next_space(s);
  elem.name.assign(s, name_end);
  elem.load_attributes(name_end);
  element.clear();
}

bool SimpleXMLParser::get_next_element(SimpleXMLElement& elem) {
  elem.clear();
  if (!infile || parse_state != LOOK_FOR_START_TAG) return false;
  for (;;) {
    if (parse_state == DONE_WITH_ELEMENT) {
      finish_element(elem);
      parse_state = LOOK_FOR_START_TAG;
      return true;
    }
    if ((!r_ptr || *r_ptr == '\0') && !read_line()) {
      // The input ends inside an element's text: that element is complete.
      // The state stays, so every later call answers false.
      if (parse_state != LOOK_FOR_TEXT) return false;
      finish_element(elem);
      return true;
    }
    switch (parse_state) {
      case LOOK_FOR_START_TAG:
        if (const char* p = std::strchr(r_ptr, '<')) {
          r_ptr = p + 1;
          parse_state = LOOK_FOR_END_TAG;
        } else {
          r_ptr = nullptr;
        }
        break;
      case LOOK_FOR_END_TAG:
        if (const char* p = std::strchr(r_ptr, '>')) {
          element.append(r_ptr, p);
          r_ptr = p + 1;
          parse_state = LOOK_FOR_TEXT;
        } else {
          element.append(r_ptr);
          r_ptr = nullptr;
        }
        break;
      case LOOK_FOR_TEXT:
        if (const char* p = std::strchr(r_ptr, '<')) {
          elem.text.append(r_ptr, p);
          r_ptr = p;
          parse_state = DONE_WITH_ELEMENT;
        } else {
          elem.text.append(r_ptr);
          r_ptr = nullptr;
        }
        break;
    }
  }
}

}  // namespace KVN
