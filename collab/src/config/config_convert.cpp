// YAML text to a checked configuration document.
//
// The text is read into a YamlTree (yaml_tree.cpp, where the limits on nesting and values
// hold); this file resolves its scalars by the YAML 1.2 core schema (core_schema.cpp), walks it
// beside the schema of the document's kind, and builds the ordered JSON data with the defaults
// of absent keys appended after the keys the file gives.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "config/config_load.hpp"
#include "config/config_schema.hpp"
#include "config/config_text.hpp"
#include "config/core_schema.hpp"
#include "config/yaml_tree.hpp"

namespace collab::config {

namespace {

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";

Loc locOf(const YamlRef& node, Loc fallback) {
  const Loc at = node.loc();
  return at.line > 0 ? at : fallback;
}

// Adds an entry whose key the map does not hold yet (forEachEntry has checked): the ordered
// map's own insertion compares with every key first, which makes a large map quadratic.
void appendEntry(Json& map, std::string key, Json value) {
  map.get_ref<Json::object_t&>().emplace_back(std::move(key), std::move(value));
}

std::string kindWord(const YamlRef& node) {
  if (node.isMap()) return "a map";
  if (node.isSequence()) return "a list";
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

  Json resolveScalar(const YamlRef& node, const std::string& path, Loc at) const {
    if (node.isNull()) return nullptr;
    const std::string tag(node.tag());
    const std::string text(node.text());
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

  void checkCollectionTag(const YamlRef& node, const std::string& path, Loc at) const {
    const std::string tag(node.tag());
    if (tag.empty() || tag == "?" || tag == "!") return;
    if (node.isMap() && tag == std::string(kTagPrefix) + "map") return;
    if (node.isSequence() && tag == std::string(kTagPrefix) + "seq") return;
    fail(at, path, "unsupported YAML tag '" + tag + "'", "values without application tags",
         "the tag '" + tag + "'");
  }

  // Visits the entries of a map in document order, with the checks every map gets: keys are
  // scalars, and no key appears twice (YAML forbids it, and the second would silently win).
  template <class Visit>
  void forEachEntry(const YamlRef& map, const std::string& path, Loc at, Visit visit) {
    std::unordered_map<std::string, int> seen;
    map.forEachEntry([&](const YamlRef& keyNode, const YamlRef& valueNode) {
      const Loc keyLoc = locOf(keyNode, at);
      if (!keyNode.isScalar())
        fail(keyLoc, path, "a map key must be a name", "a text key",
             keyNode.isNull() ? "an empty key" : kindWord(keyNode));
      const std::string key(keyNode.text());
      const std::string keyPath = appendKey(path, key);
      // YAML 1.1 merge keys are not part of YAML 1.2 and yaml-cpp would keep "<<" as a plain
      // key, dropping the merged options without a word.
      if (key == "<<" && keyNode.tag() == "?")
        fail(keyLoc, keyPath, "merge keys ('<<') are not supported; write the keys out",
             "plain keys", "a merge key '<<'");
      if (auto [pos, fresh] = seen.emplace(key, keyLoc.line); !fresh)
        fail(keyLoc, keyPath,
             "the key '" + key + "' appears twice (first at line " + std::to_string(pos->second) +
                 ")",
             "each key once", "a second '" + key + "'");
      // An empty value has no place of its own (yaml-cpp marks the next line): use the key's.
      const Loc valueLoc = valueNode.isNull() ? keyLoc : locOf(valueNode, keyLoc);
      visit(key, keyPath, keyLoc, valueNode, valueLoc);
    });
  }

  // A value no schema describes (under an unknown key, or in a kind without a schema).
  Json untyped(const YamlRef& node, const std::string& path, Loc at) {
    if (node.isMap()) {
      checkCollectionTag(node, path, at);
      Json out = Json::object();
      forEachEntry(
          node, path, at,
          [&](const std::string& key, const std::string& keyPath, Loc, const YamlRef& value,
              Loc valueLoc) { appendEntry(out, key, untyped(value, keyPath, valueLoc)); });
      return out;
    }
    if (node.isSequence()) {
      checkCollectionTag(node, path, at);
      Json out = Json::array();
      std::size_t index = 0;
      node.forEachItem([&](const YamlRef& item) {
        out.push_back(untyped(item, appendIndex(path, index), locOf(item, at)));
        ++index;
      });
      return out;
    }
    return resolveScalar(node, path, at);
  }

  [[noreturn]] void wrongType(const SchemaNode& schema, const YamlRef& node, const Json* value,
                              const std::string& path, Loc at) const {
    const std::string found = value ? describeValue(*value, lastKey(path)) : kindWord(node);
    std::string problem = "expected " + schema.expected + ", found " + found;
    if (value) {
      const std::string hint = typeHint(*value, schema.kinds);
      if (!hint.empty()) problem += " (" + hint + ")";
    }
    fail(at, path, std::move(problem), schema.expected, found);
  }

  // The nesting and value limits have held while the text was read (yaml_tree.cpp), so this
  // walk is bounded too.
  Json convert(const YamlRef& node, const SchemaNode* schema, const std::string& path, Loc at,
               const std::string& entryName) {
    if (!schema) return untyped(node, path, at);
    const bool scalar = node.isScalar() || node.isNull();
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
        if (!node.isSequence()) wrongType(*schema, node, scalar ? &value : nullptr, path, at);
        checkCollectionTag(node, path, at);
        Json out = Json::array();
        std::size_t index = 0;
        node.forEachItem([&](const YamlRef& item) {
          out.push_back(
              convert(item, schema->element.get(), appendIndex(path, index), locOf(item, at), {}));
          ++index;
        });
        return out;
      }
      case Shape::kDictionary: {
        if (scalar && value.is_null()) {
          if (schema->nullIsEmpty) return Json::object();
          if (schema->kinds & kNull) return nullptr;
        }
        if (!node.isMap()) wrongType(*schema, node, scalar ? &value : nullptr, path, at);
        checkCollectionTag(node, path, at);
        Json out = Json::object();
        forEachEntry(node, path, at,
                     [&](const std::string& key, const std::string& keyPath, Loc,
                         const YamlRef& item, Loc itemLoc) {
                       appendEntry(out, key,
                                   convert(item, schema->element.get(), keyPath, itemLoc, key));
                     });
        return out;
      }
      case Shape::kRecord: {
        if (scalar && value.is_null() && schema->nullIsEmpty)
          return record(YamlRef(), *schema, path, at, entryName);
        if (!node.isMap()) wrongType(*schema, node, scalar ? &value : nullptr, path, at);
        checkCollectionTag(node, path, at);
        return record(node, *schema, path, at, entryName);
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
  Json record(const YamlRef& node, const SchemaNode& schema, const std::string& path, Loc at,
              const std::string& entryName) {
    std::vector<std::string> known;
    known.reserve(schema.fields.size());
    for (const auto& f : schema.fields) known.push_back(f.key);

    Json out = Json::object();
    if (node.isMap()) {
      forEachEntry(node, path, at,
                   [&](const std::string& key, const std::string& keyPath, Loc keyLoc,
                       const YamlRef& item, Loc itemLoc) {
                     for (const auto& f : schema.fields) {
                       if (f.key == key) {
                         appendEntry(out, key, convert(item, f.type.get(), keyPath, itemLoc, {}));
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
                     appendEntry(out, key, untyped(item, keyPath, itemLoc));
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
      std::optional<std::string> because;
      if (f.required && !exempt) because = f.requiredWhen ? f.requiredWhen(out) : std::string();
      if (because)
        fail(at, appendKey(path, f.key),
             "missing required key '" + f.key + "'" +
                 (because->empty() ? std::string() : " (" + *because + ")"),
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
  static Loc fieldLoc(const YamlRef& node, const std::string& key, Loc at) {
    Loc loc = at;
    node.forEachEntry([&](const YamlRef& k, const YamlRef& v) {
      if (k.isScalar() && k.text() == key) loc = locOf(v, locOf(k, at));
    });
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
};

}  // namespace

LoadedConfig parseConfig(const std::string& text, const std::string& file) {
  const YamlTree tree = YamlTree::read(text, file);
  const YamlRef root = tree.root();
  LoadedConfig result;
  Converter converter(file, result.warnings);
  const Loc rootLoc = locOf(root, Loc{1, 1});
  if (!root.isMap()) {
    const std::string found = root.isScalar()
                                  ? describeValue(converter.resolveScalar(root, {}, rootLoc), {})
                                  : kindWord(root);
    converter.fail(rootLoc, {}, "the top level must be a map of sections, found " + found,
                   "a map of configuration sections starting with 'kind'", found);
  }

  // The kind chooses the schema, so it is read first.
  YamlRef kindNode;
  Loc kindLoc = rootLoc;
  std::optional<std::pair<std::string, Loc>> kindMisspelt;
  root.forEachEntry([&](const YamlRef& key, const YamlRef& value) {
    if (kindNode.isDefined() || !key.isScalar()) return;
    if (key.text() == "kind") {
      kindNode = value;
      kindLoc = value.isNull() ? locOf(key, rootLoc) : locOf(value, rootLoc);
    } else if (!kindMisspelt && nearMiss(key.text(), {"kind"})) {
      kindMisspelt.emplace(std::string(key.text()), locOf(key, rootLoc));
    }
  });
  if (!kindNode.isDefined() && kindMisspelt) {
    const auto& [key, at] = *kindMisspelt;
    converter.fail(at, appendKey({}, key), "unknown key '" + key + "'; did you mean 'kind'?",
                   "'kind'", "'" + key + "'");
  }
  if (!kindNode.isDefined())
    converter.fail(rootLoc, "kind", "missing required key 'kind' (such as 'kind: discovery')",
                   "a top-level key 'kind' naming the configuration kind", "no 'kind' key");
  const bool kindIsCollection = kindNode.isMap() || kindNode.isSequence();
  const Json kind = kindIsCollection ? Json(kindWord(kindNode))
                                     : converter.resolveScalar(kindNode, "kind", kindLoc);
  if (kindIsCollection || !kind.is_string() || kind.get_ref<const std::string&>().empty()) {
    const std::string found = kindIsCollection ? kindWord(kindNode) : describeValue(kind, {});
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
  result.data = converter.convert(root, schema, {}, rootLoc, {});
  return result;
}

}  // namespace collab::config
