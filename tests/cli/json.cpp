#include "json.h"

#include <cstdlib>
#include <stdexcept>

namespace {

struct Reader {
  const std::string& s;
  size_t i = 0;
  void ws() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\t' || s[i] == '\r')) ++i;
  }
  [[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string(what) + " at " + std::to_string(i)); }
  void expect(char c) {
    ws();
    if (i >= s.size() || s[i] != c) fail("expected character");
    ++i;
  }
  std::string string() {
    expect('"');
    std::string out;
    while (true) {
      if (i >= s.size()) fail("unterminated string");
      char c = s[i++];
      if (c == '"') return out;
      if (uint8_t(c) < 0x20) fail("control character in string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i >= s.size()) fail("bad escape");
      char e = s[i++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          if (i + 4 > s.size()) fail("bad \\u");
          unsigned v = unsigned(strtoul(s.substr(i, 4).c_str(), nullptr, 16));
          i += 4;
          out += char(v);  // the output only escapes control characters this way
          break;
        }
        default: fail("bad escape");
      }
    }
  }
  Json value() {
    ws();
    if (i >= s.size()) fail("unexpected end");
    Json v;
    char c = s[i];
    if (c == '{') {
      v.kind = Json::Object;
      ++i;
      ws();
      if (i < s.size() && s[i] == '}') { ++i; return v; }
      while (true) {
        std::string key = string();
        expect(':');
        v.fields[key] = value();
        ws();
        if (i < s.size() && s[i] == ',') { ++i; continue; }
        expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.kind = Json::Array;
      ++i;
      ws();
      if (i < s.size() && s[i] == ']') { ++i; return v; }
      while (true) {
        v.items.push_back(value());
        ws();
        if (i < s.size() && s[i] == ',') { ++i; continue; }
        expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.kind = Json::String;
      v.text = string();
      return v;
    }
    if (s.compare(i, 4, "true") == 0) { i += 4; v.kind = Json::Bool; v.boolean = true; return v; }
    if (s.compare(i, 5, "false") == 0) { i += 5; v.kind = Json::Bool; return v; }
    if (s.compare(i, 4, "null") == 0) { i += 4; return v; }
    const char* start = s.c_str() + i;
    char* end = nullptr;
    v.number = strtod(start, &end);
    if (end == start) fail("bad value");
    i += size_t(end - start);
    v.kind = Json::Number;
    return v;
  }
};

}  // namespace

const Json& Json::operator[](const std::string& key) const {
  auto it = fields.find(key);
  if (it == fields.end()) throw std::out_of_range("no field " + key);
  return it->second;
}

bool parseJson(const std::string& text, Json* out, std::string* error) {
  Reader r{text};
  try {
    *out = r.value();
    r.ws();
    if (r.i != text.size()) r.fail("trailing text");
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}
