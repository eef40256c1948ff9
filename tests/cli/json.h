// A small JSON reader for checking qztool's output: a malformed document fails the test.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  const Json& operator[](const std::string& key) const;
  const Json& operator[](size_t i) const { return items.at(i); }
  bool has(const std::string& key) const { return fields.count(key) != 0; }
};

// Parses one document (whitespace around it allowed); false and *error on malformed input.
bool parseJson(const std::string& text, Json* out, std::string* error);
