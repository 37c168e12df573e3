// YAML text to a checked configuration document.
//
// yaml-cpp parses the text; this file resolves scalars by the YAML 1.2 core schema (yaml-cpp
// itself would read yes/no/on/off as booleans, which YAML 1.2 does not), walks the node tree
// beside the schema of the document's kind, and builds the ordered JSON data with the defaults
// of absent keys appended after the keys the file gives.
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "config_load.hpp"
#include "config_schema.hpp"
#include "config_text.hpp"

namespace collab::config {

namespace {

// Guards against documents that explode when aliases are expanded (one anchor referenced by
// many, many times over) and against nesting that would exhaust the stack.
constexpr std::size_t kMaxValues = 200000;
constexpr int kMaxDepth = 64;

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";

struct Loc {
  int line = 0;
  int column = 0;
};

Loc locOf(const YAML::Node& node, Loc fallback) {
  const YAML::Mark mark = node.Mark();
  if (mark.is_null() || mark.line < 0) return fallback;
  return {mark.line + 1, mark.column + 1};
}

// ---- YAML 1.2 core schema -------------------------------------------------------------------

bool isDigits(std::string_view s, bool (*digit)(char)) {
  if (s.empty()) return false;
  for (char c : s)
    if (!digit(c)) return false;
  return true;
}
bool decimalDigit(char c) { return c >= '0' && c <= '9'; }
bool octalDigit(char c) { return c >= '0' && c <= '7'; }
bool hexDigit(char c) {
  return decimalDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::optional<bool> coreBool(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  return std::nullopt;
}

bool coreNull(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

enum class IntParse { kNotInt, kOutOfRange, kOk };

Json makeInteger(std::uint64_t magnitude, bool negative) {
  if (negative) {
    if (magnitude == static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1)
      return Json(std::numeric_limits<std::int64_t>::min());
    return Json(-static_cast<std::int64_t>(magnitude));
  }
  if (magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return Json(static_cast<std::int64_t>(magnitude));
  return Json(magnitude);
}

// [-+]?[0-9]+ | 0o[0-7]+ | 0x[0-9a-fA-F]+
IntParse coreInt(std::string_view s, Json& out) {
  int base = 10;
  bool negative = false;
  std::string_view digits = s;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'o' || s[1] == 'x')) {
    base = s[1] == 'o' ? 8 : 16;
    digits = s.substr(2);
    if (!isDigits(digits, base == 8 ? octalDigit : hexDigit)) return IntParse::kNotInt;
  } else {
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
      negative = digits[0] == '-';
      digits.remove_prefix(1);
    }
    if (!isDigits(digits, decimalDigit)) return IntParse::kNotInt;
  }
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (ec == std::errc::result_out_of_range) return IntParse::kOutOfRange;
  if (ec != std::errc() || end != digits.data() + digits.size()) return IntParse::kNotInt;
  if (negative &&
      magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1)
    return IntParse::kOutOfRange;
  out = makeInteger(magnitude, negative);
  return IntParse::kOk;
}

// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)? | [-+]?\.(inf|Inf|INF) | \.(nan|NaN|NAN)
std::optional<double> coreFloat(std::string_view s) {
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return std::numeric_limits<double>::quiet_NaN();
  std::string_view body = s;
  bool negative = false;
  if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body == ".inf" || body == ".Inf" || body == ".INF")
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  // Check the shape by hand: from_chars alone would also take "inf", "1e" and the like.
  std::size_t i = 0;
  std::size_t mantissaDigits = 0;
  while (i < body.size() && decimalDigit(body[i])) ++i, ++mantissaDigits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && decimalDigit(body[i])) ++i, ++mantissaDigits;
  }
  if (mantissaDigits == 0) return std::nullopt;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '-' || body[i] == '+')) ++i;
    std::size_t exponentDigits = 0;
    while (i < body.size() && decimalDigit(body[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return std::nullopt;
  }
  if (i != body.size()) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Past the range of a double: infinity when the value is large, zero when it is tiny.
    // Its decimal magnitude decides: digits before the point (after leading zeros), or the
    // zeros right after the point, plus the exponent.
    const std::size_t e = body.find_first_of("eE");
    const std::string_view mantissa = body.substr(0, e);
    long long magnitude = 0;
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t firstDigit = mantissa.find_first_of("123456789");
    if (firstDigit == std::string_view::npos) {
      magnitude = std::numeric_limits<int>::min();  // all zeros: zero
    } else if (firstDigit < point) {
      magnitude = static_cast<long long>(point - firstDigit);
    } else {
      magnitude = -static_cast<long long>(firstDigit - point - 1);
    }
    if (e != std::string_view::npos) {
      long long exponent = 0;
      std::string_view digits = body.substr(e + 1);
      const bool negativeExponent = !digits.empty() && digits[0] == '-';
      if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
      auto [p, err] = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
      if (err == std::errc::result_out_of_range) exponent = 1'000'000;
      (void)p;
      magnitude += negativeExponent ? -exponent : exponent;
    }
    value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::string kindWord(const YAML::Node& node) {
  if (node.IsMap()) return "a map";
  if (node.IsSequence()) return "a list";
  return "a value";
}

unsigned kindOf(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return kNull;
    case Json::value_t::boolean:
      return kBool;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return kInt;
    case Json::value_t::number_float:
      return kFloat;
    case Json::value_t::string:
      return kText;
    case Json::value_t::array:
      return kList;
    default:
      return kMap;
  }
}

bool sameChoice(const std::string& a, const std::string& b, bool ignoreCase) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (ignoreCase) {
      x = static_cast<char>(std::tolower(static_cast<unsigned char>(x)));
      y = static_cast<char>(std::tolower(static_cast<unsigned char>(y)));
    }
    if (x != y) return false;
  }
  return true;
}

std::string lastKey(const std::string& path) {
  const auto dot = path.find_last_of(".[");
  return dot == std::string::npos ? path : path.substr(dot + 1);
}

// ---- the walk -------------------------------------------------------------------------------

class Converter {
 public:
  Converter(const std::string& file, std::vector<ConfigWarning>& warnings)
      : file_(file), warnings_(warnings) {}

  [[noreturn]] void fail(Loc at, const std::string& path, std::string problem, std::string expected,
                         std::string found) const {
    throw ConfigError(file_, at.line, at.column, path, std::move(problem), std::move(expected),
                      std::move(found));
  }

  void warn(Loc at, const std::string& path, std::string message) {
    warnings_.push_back(ConfigWarning{file_, at.line, at.column, path, std::move(message)});
  }

  Json resolveScalar(const YAML::Node& node, const std::string& path, Loc at) const {
    if (node.IsNull()) return nullptr;
    const std::string& tag = node.Tag();
    const std::string& text = node.Scalar();
    // "!" marks quoted and block scalars (and the explicit non-specific tag): always text.
    if (tag == "!") return text;
    if (tag.empty() || tag == "?") return plainScalar(text, path, at);
    const std::string_view core = std::string_view(tag).substr(0, kTagPrefix.size()) == kTagPrefix
                                      ? std::string_view(tag).substr(kTagPrefix.size())
                                      : std::string_view();
    if (core == "str") return text;
    if (core == "null") {
      if (coreNull(text)) return nullptr;
      fail(at, path, "the value tagged !!null is not a null", "null, ~ or an empty value",
           describeValue(Json(text), lastKey(path)));
    }
    if (core == "bool") {
      if (auto b = coreBool(text)) return *b;
      fail(at, path, "the value tagged !!bool is not a boolean", "true or false",
           describeValue(Json(text), lastKey(path)));
    }
    if (core == "int") {
      Json value;
      if (coreInt(text, value) == IntParse::kOk) return value;
      fail(at, path, "the value tagged !!int is not an integer in range", "an integer",
           describeValue(Json(text), lastKey(path)));
    }
    if (core == "float") {
      Json value;
      if (coreInt(text, value) == IntParse::kOk) return static_cast<double>(value.get<double>());
      if (auto d = coreFloat(text)) return *d;
      fail(at, path, "the value tagged !!float is not a number", "a number",
           describeValue(Json(text), lastKey(path)));
    }
    fail(at, path, "unsupported YAML tag '" + tag + "'", "values without application tags",
         "the tag '" + tag + "'");
  }

  Json plainScalar(const std::string& text, const std::string& path, Loc at) const {
    if (coreNull(text)) return nullptr;
    if (auto b = coreBool(text)) return *b;
    Json value;
    switch (coreInt(text, value)) {
      case IntParse::kOk:
        return value;
      case IntParse::kOutOfRange:
        fail(at, path, "the integer " + quoteValue(text) + " is out of range",
             "an integer between -2^63 and 2^64-1 (or quote it to make it text)",
             describeValue(Json(text), lastKey(path)));
      case IntParse::kNotInt:
        break;
    }
    if (auto d = coreFloat(text)) return *d;
    return text;
  }

  void checkCollectionTag(const YAML::Node& node, const std::string& path, Loc at) const {
    const std::string& tag = node.Tag();
    if (tag.empty() || tag == "?" || tag == "!") return;
    if (node.IsMap() && tag == std::string(kTagPrefix) + "map") return;
    if (node.IsSequence() && tag == std::string(kTagPrefix) + "seq") return;
    fail(at, path, "unsupported YAML tag '" + tag + "'", "values without application tags",
         "the tag '" + tag + "'");
  }

  // Visits the entries of a map in document order, with the checks every map gets: keys are
  // scalars, and no key appears twice (YAML forbids it, and the second would silently win).
  template <class Visit>
  void forEachEntry(const YAML::Node& map, const std::string& path, Loc at, Visit visit) {
    std::unordered_map<std::string, int> seen;
    for (auto it = map.begin(); it != map.end(); ++it) {
      // The iterator hands out a temporary pair: keep copies (they share the node data).
      const YAML::Node keyNode = it->first;
      const YAML::Node valueNode = it->second;
      const Loc keyLoc = locOf(keyNode, at);
      if (!keyNode.IsScalar())
        fail(keyLoc, path, "a map key must be a name", "a text key",
             keyNode.IsNull() ? "an empty key" : kindWord(keyNode));
      const std::string key = keyNode.Scalar();
      const std::string keyPath = appendKey(path, key);
      // YAML 1.1 merge keys are not part of YAML 1.2 and yaml-cpp would keep "<<" as a plain
      // key, dropping the merged options without a word.
      if (key == "<<" && keyNode.Tag() == "?")
        fail(keyLoc, keyPath, "merge keys ('<<') are not supported; write the keys out",
             "plain keys", "a merge key '<<'");
      if (auto [pos, fresh] = seen.emplace(key, keyLoc.line); !fresh)
        fail(keyLoc, keyPath,
             "the key '" + key + "' appears twice (first at line " + std::to_string(pos->second) +
                 ")",
             "each key once", "a second '" + key + "'");
      // An empty value has no place of its own (yaml-cpp marks the next line): use the key's.
      const Loc valueLoc = valueNode.IsNull() ? keyLoc : locOf(valueNode, keyLoc);
      visit(key, keyPath, keyLoc, valueNode, valueLoc);
    }
  }

  void count(const std::string& path, Loc at, int depth) {
    if (depth > kMaxDepth)
      fail(at, path, "the document nests deeper than " + std::to_string(kMaxDepth) + " levels",
           "at most " + std::to_string(kMaxDepth) + " levels of nesting", "deeper nesting");
    if (++values_ > kMaxValues)
      fail(at, path,
           "the document holds more than " + std::to_string(kMaxValues) +
               " values (aliases expanding without end?)",
           "at most " + std::to_string(kMaxValues) + " values", "more values");
  }

  Json untyped(const YAML::Node& node, const std::string& path, Loc at, int depth) {
    count(path, at, depth);
    if (node.IsMap()) {
      checkCollectionTag(node, path, at);
      Json out = Json::object();
      forEachEntry(
          node, path, at,
          [&](const std::string& key, const std::string& keyPath, Loc, const YAML::Node& value,
              Loc valueLoc) { out[key] = untyped(value, keyPath, valueLoc, depth + 1); });
      return out;
    }
    if (node.IsSequence()) {
      checkCollectionTag(node, path, at);
      Json out = Json::array();
      std::size_t index = 0;
      for (const auto& item : node) {
        out.push_back(untyped(item, appendIndex(path, index), locOf(item, at), depth + 1));
        ++index;
      }
      return out;
    }
    return resolveScalar(node, path, at);
  }

  [[noreturn]] void wrongType(const SchemaNode& schema, const YAML::Node& node, const Json* value,
                              const std::string& path, Loc at) const {
    const std::string found = value ? describeValue(*value, lastKey(path)) : kindWord(node);
    std::string problem = "expected " + schema.expected + ", found " + found;
    if (value) {
      const std::string hint = typeHint(*value, schema.kinds);
      if (!hint.empty()) problem += " (" + hint + ")";
    }
    fail(at, path, std::move(problem), schema.expected, found);
  }

  Json convert(const YAML::Node& node, const SchemaNode* schema, const std::string& path, Loc at,
               const std::string& entryName, int depth) {
    if (!schema) return untyped(node, path, at, depth);
    count(path, at, depth);
    const bool scalar = node.IsScalar() || node.IsNull();
    Json value;
    if (scalar) value = resolveScalar(node, path, at);

    switch (schema->shape) {
      case Shape::kScalar: {
        if (!scalar) wrongType(*schema, node, nullptr, path, at);
        unsigned kind = kindOf(value);
        if (kind == kInt && (schema->kinds & kFloat)) kind = kFloat;
        if (!(schema->kinds & kind)) wrongType(*schema, node, &value, path, at);
        if (value.is_string() && !schema->choices.empty())
          checkChoice(*schema, value.get_ref<const std::string&>(), path, at);
        return value;
      }
      case Shape::kList: {
        if (scalar && value.is_null()) {
          if (schema->nullIsEmpty) return Json::array();
          if (schema->kinds & kNull) return nullptr;
        }
        if (!node.IsSequence()) wrongType(*schema, node, scalar ? &value : nullptr, path, at);
        checkCollectionTag(node, path, at);
        Json out = Json::array();
        std::size_t index = 0;
        for (const auto& item : node) {
          out.push_back(convert(item, schema->element.get(), appendIndex(path, index),
                                locOf(item, at), {}, depth + 1));
          ++index;
        }
        return out;
      }
      case Shape::kDictionary: {
        if (scalar && value.is_null()) {
          if (schema->nullIsEmpty) return Json::object();
          if (schema->kinds & kNull) return nullptr;
        }
        if (!node.IsMap()) wrongType(*schema, node, scalar ? &value : nullptr, path, at);
        checkCollectionTag(node, path, at);
        Json out = Json::object();
        forEachEntry(node, path, at,
                     [&](const std::string& key, const std::string& keyPath, Loc,
                         const YAML::Node& item, Loc itemLoc) {
                       out[key] =
                           convert(item, schema->element.get(), keyPath, itemLoc, key, depth + 1);
                     });
        return out;
      }
      case Shape::kRecord: {
        if (scalar && value.is_null() && schema->nullIsEmpty)
          return record(YAML::Node(), *schema, path, at, entryName, depth);
        if (!node.IsMap()) wrongType(*schema, node, scalar ? &value : nullptr, path, at);
        checkCollectionTag(node, path, at);
        return record(node, *schema, path, at, entryName, depth);
      }
    }
    return value;
  }

  void checkChoice(const SchemaNode& schema, const std::string& text, const std::string& path,
                   Loc at) {
    for (const auto& c : schema.choices)
      if (sameChoice(text, c, schema.choicesIgnoreCase)) return;
    const std::string found = "text " + quoteValue(text);
    if (auto near = nearMiss(text, schema.choices))
      fail(at, path,
           "unknown value " + quoteValue(text) + "; did you mean '" + *near + "'? Expected " +
               schema.expected,
           schema.expected, found);
    if (schema.choicesAdvisory) {
      warn(at, path,
           "the value " + quoteValue(text) + " is not " + schema.expected +
               "; this entry has no effect");
      return;
    }
    fail(at, path, "expected " + schema.expected + ", found " + found, schema.expected, found);
  }

  // A map with known keys.  `node` is an undefined node for an empty section.
  Json record(const YAML::Node& node, const SchemaNode& schema, const std::string& path, Loc at,
              const std::string& entryName, int depth) {
    std::vector<std::string> known;
    known.reserve(schema.fields.size());
    for (const auto& f : schema.fields) known.push_back(f.key);

    Json out = Json::object();
    if (node.IsDefined() && node.IsMap()) {
      forEachEntry(node, path, at,
                   [&](const std::string& key, const std::string& keyPath, Loc keyLoc,
                       const YAML::Node& item, Loc itemLoc) {
                     for (const auto& f : schema.fields) {
                       if (f.key == key) {
                         out[key] = convert(item, f.type.get(), keyPath, itemLoc, {}, depth + 1);
                         return;
                       }
                     }
                     if (auto near = nearMiss(key, known))
                       fail(keyLoc, keyPath,
                            "unknown key '" + key + "'; did you mean '" + *near + "'?",
                            "'" + *near + "'", "'" + key + "'");
                     warn(keyLoc, keyPath,
                          "unknown key '" + key +
                              "' is not an option here; it is kept, but nothing reads it");
                     out[key] = untyped(item, keyPath, itemLoc, depth + 1);
                   });
    }

    for (const auto& f : schema.fields) {
      if (f.holdsEntryName && !entryName.empty()) {
        if (!out.contains(f.key)) {
          out[f.key] = entryName;
        } else if (out[f.key] != entryName) {
          const std::string found = describeValue(out[f.key], f.key);
          const std::string expected = "the entry's own name " + quoteValue(entryName);
          fail(fieldLoc(node, f.key, at), appendKey(path, f.key),
               "expected " + expected + " (or leave '" + f.key + "' out), found " + found, expected,
               found);
        }
        continue;
      }
      if (out.contains(f.key)) continue;
      const bool exempt = !f.notRequiredInEntry.empty() && f.notRequiredInEntry == entryName;
      if (f.required && !exempt)
        fail(at, appendKey(path, f.key), "missing required key '" + f.key + "'",
             "a key '" + f.key + "' holding " + f.type->expected, "no '" + f.key + "' key");
      if (f.defaultValue) out[f.key] = filledDefault(*f.defaultValue, *f.type);
    }

    for (const auto& rule : schema.rules) {
      if (auto violation = rule(out)) {
        const std::string found = describeValue(out[violation->field], violation->field);
        fail(fieldLoc(node, violation->field, at), appendKey(path, violation->field),
             "expected " + violation->expected + ", found " + found, violation->expected, found);
      }
    }
    return out;
  }

  // Where the value of `key` sits in the map `node` (the map's own place when not there).
  static Loc fieldLoc(const YAML::Node& node, const std::string& key, Loc at) {
    Loc loc = at;
    for (auto it = node.begin(); node.IsDefined() && it != node.end(); ++it)
      if (it->first.IsScalar() && it->first.Scalar() == key)
        loc = locOf(it->second, locOf(it->first, at));
    return loc;
  }

  // The default of an absent section is its own map of defaults.
  static Json filledDefault(const Json& value, const SchemaNode& type) {
    if (type.shape != Shape::kRecord || !value.is_object()) return value;
    Json out = value;
    for (const auto& f : type.fields)
      if (!out.contains(f.key) && f.defaultValue)
        out[f.key] = filledDefault(*f.defaultValue, *f.type);
    return out;
  }

 private:
  const std::string& file_;
  std::vector<ConfigWarning>& warnings_;
  std::size_t values_ = 0;
};

// yaml-cpp's parser messages say what is wrong but not the most common cause.
std::string syntaxHint(const std::string& text, int line) {
  std::size_t start = 0;
  for (int l = 0; l < line && start != std::string::npos; ++l) {
    start = text.find('\n', start);
    if (start != std::string::npos) ++start;
  }
  if (start == std::string::npos) return {};
  const std::size_t end = text.find('\n', start);
  const std::string_view lineText =
      std::string_view(text).substr(start, end == std::string::npos ? end : end - start);
  const std::size_t indentEnd = lineText.find_first_not_of(" \t");
  if (lineText.substr(0, indentEnd).find('\t') != std::string_view::npos)
    return " (tabs are not allowed for indentation in YAML)";
  return {};
}

}  // namespace

LoadedConfig parseConfig(const std::string& text, const std::string& file) {
  std::vector<YAML::Node> documents;
  try {
    documents = YAML::LoadAll(text);
  } catch (const YAML::Exception& e) {
    const Loc at = e.mark.is_null() ? Loc{} : Loc{e.mark.line + 1, e.mark.column + 1};
    throw ConfigError(file, at.line, at.column, {},
                      "YAML syntax error: " + e.msg + syntaxHint(text, e.mark.line),
                      "well-formed YAML", e.msg);
  }
  // A trailing "---" leaves an empty document behind; only one with content counts.
  while (!documents.empty() && documents.back().IsNull()) documents.pop_back();
  if (documents.empty())
    throw ConfigError(file, 1, 1, {}, "the configuration file is empty",
                      "a map of configuration sections starting with 'kind'", "no YAML content");
  if (documents.size() > 1) {
    const Loc at = locOf(documents[1], Loc{1, 1});
    throw ConfigError(file, at.line, at.column, {}, "the file holds more than one YAML document",
                      "exactly one document", std::to_string(documents.size()) + " documents");
  }

  const YAML::Node& root = documents.front();
  LoadedConfig result;
  Converter converter(file, result.warnings);
  const Loc rootLoc = locOf(root, Loc{1, 1});
  if (!root.IsMap()) {
    const std::string found = root.IsScalar()
                                  ? describeValue(converter.resolveScalar(root, {}, rootLoc), {})
                                  : kindWord(root);
    converter.fail(rootLoc, {}, "the top level must be a map of sections, found " + found,
                   "a map of configuration sections starting with 'kind'", found);
  }

  // The kind chooses the schema, so it is read first.
  YAML::Node kindNode;
  bool hasKind = false;
  Loc kindLoc = rootLoc;
  for (auto it = root.begin(); it != root.end(); ++it) {
    if (it->first.IsScalar() && it->first.Scalar() == "kind") {
      hasKind = true;
      kindNode = it->second;
      kindLoc = it->second.IsNull() ? locOf(it->first, rootLoc) : locOf(it->second, rootLoc);
      break;
    }
  }
  if (!hasKind)
    converter.fail(rootLoc, "kind", "missing required key 'kind' (such as 'kind: discovery')",
                   "a top-level key 'kind' naming the configuration kind", "no 'kind' key");
  const Json kind = kindNode.IsMap() || kindNode.IsSequence()
                        ? Json(kindWord(kindNode))
                        : converter.resolveScalar(kindNode, "kind", kindLoc);
  if (kindNode.IsMap() || kindNode.IsSequence() || !kind.is_string() ||
      kind.get_ref<const std::string&>().empty()) {
    const std::string found =
        kindNode.IsMap() || kindNode.IsSequence() ? kindWord(kindNode) : describeValue(kind, {});
    converter.fail(kindLoc, "kind", "expected text naming the configuration kind, found " + found,
                   "text naming the configuration kind", found);
  }
  result.label = kind.get<std::string>();

  const SchemaNode* schema = schemaFor(result.label);
  if (!schema) {
    if (auto near = nearMiss(result.label, knownKinds()))
      converter.fail(kindLoc, "kind",
                     "unknown configuration kind " + quoteValue(result.label) + "; did you mean '" +
                         *near + "'?",
                     "'" + *near + "'", "text " + quoteValue(result.label));
    converter.warn(kindLoc, "kind",
                   "no schema for the configuration kind " + quoteValue(result.label) +
                       "; its keys are not checked");
  }
  result.data = converter.convert(root, schema, {}, rootLoc, {}, 0);
  return result;
}

}  // namespace collab::config
