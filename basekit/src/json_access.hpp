#pragma once
// Lookups into configuration maps with the system's failure types, and the small helpers the
// Common operations share.
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "collab/errors.hpp"
#include "collab/json.hpp"
#include "collab/log.hpp"
#include "collab/text_form.hpp"

namespace basekit::detail {

using collab::Json;

inline const char* kindOf(const Json& value) { return value.type_name(); }

/// `text` split at every `sep`, empty pieces kept ("/a" gives "" and "a").
inline std::vector<std::string> splitAt(const std::string& text, char sep) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (auto at = text.find(sep); at != std::string::npos; at = text.find(sep, start)) {
    pieces.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

/// `map[key]`.  @throws MissingKeyError naming the key; WrongTypeError when `map` is not a map.
inline const Json& at(const Json& map, std::string_view key) {
  if (!map.is_object())
    throw collab::WrongTypeError("cannot look up '" + std::string(key) + "' in a " + kindOf(map) +
                                 ", a map was expected");
  auto it = map.find(key);
  if (it == map.end()) throw collab::MissingKeyError(key);
  return *it;
}

inline Json& at(Json& map, std::string_view key) {
  return const_cast<Json&>(at(static_cast<const Json&>(map), key));
}

/// True when `map` is a map holding `key` (of any value, null included).
inline bool has(const Json& map, std::string_view key) {
  return map.is_object() && map.find(key) != map.end();
}

/// `list[i]`.  @throws IndexRangeError past the end; WrongTypeError when not a list.
inline const Json& index(const Json& list, std::size_t i) {
  if (!list.is_array())
    throw collab::WrongTypeError("cannot take entry " + std::to_string(i) + " of a " +
                                 kindOf(list) + ", a list was expected");
  if (i >= list.size())
    throw collab::IndexRangeError("entry " + std::to_string(i) + " of a list of " +
                                  std::to_string(list.size()));
  return list[i];
}

/// The truth value of a configuration value: null, false, zero and empty texts, lists and
/// maps are false; everything else is true.
inline bool truthy(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null:
      return false;
    case Json::value_t::boolean:
      return v.get<bool>();
    case Json::value_t::number_integer:
      return v.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return v.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      return v.get<double>() != 0.0;
    case Json::value_t::string:
      // nlohmann's empty() is false for every scalar, texts included.
      return !v.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
      return !v.empty();
    default:
      return true;
  }
}

inline std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

/// The text form of `value`, lower-cased (booleans become "true"/"false").
inline std::string lowerTextForm(const Json& value) { return lower(collab::textForm(value)); }

inline std::shared_ptr<spdlog::logger> log() { return collab::getLogger("basekit"); }

/// Ends the process after writing out whatever the loggers and standard output still hold.
[[noreturn]] inline void exitProcess(int status) {
  spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& l) { l->flush(); });
  std::cout.flush();
  std::exit(status);
}

}  // namespace basekit::detail
