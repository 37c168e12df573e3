#include "azure/arm_parse_reader.hpp"

#include <charconv>
#include <limits>
#include <utility>

namespace collab::azure {

namespace {
std::string malformedMessage(const std::string& kind, const std::string& path,
                             const std::string& problem) {
  std::string msg = "malformed " + kind;
  if (!path.empty()) msg += " at " + path;
  msg += ": ";
  msg += problem;
  return msg;
}
}  // namespace

MalformedResponseError::MalformedResponseError(std::string kind, std::string path,
                                               std::string problem)
    : std::runtime_error(malformedMessage(kind, path, problem)),
      kind_(std::move(kind)),
      path_(std::move(path)),
      problem_(std::move(problem)) {}

namespace arm_parse_detail {

std::string Path::text() const {
  std::vector<const Path*> chain;
  for (const Path* p = this; p != nullptr; p = p->parent) chain.push_back(p);
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const Path& step = **it;
    if (step.is_index) {
      out += '[';
      out += std::to_string(step.index);
      out += ']';
    } else if (!step.key.empty()) {
      if (!out.empty()) out += '.';
      out.append(step.key);
    }
  }
  return out;
}

const char* describe(dom::element_type type) {
  switch (type) {
    case dom::element_type::ARRAY:
      return "an array";
    case dom::element_type::OBJECT:
      return "an object";
    case dom::element_type::INT64:
    case dom::element_type::UINT64:
    case dom::element_type::DOUBLE:
      return "a number";
    case dom::element_type::STRING:
      return "a string";
    case dom::element_type::BOOL:
      return "a boolean";
    case dom::element_type::NULL_VALUE:
      return "null";
  }
  return "an unknown value";
}

namespace {
std::string expected(const char* what, dom::element e) {
  return std::string("expected ") + what + ", found " + describe(e.type());
}
}  // namespace

void Reader::fail(const Path& at, std::string problem) const {
  throw MalformedResponseError(kind_, at.text(), std::move(problem));
}

dom::object Reader::document(dom::parser& parser, PageBody body) const {
  const Path root;
  dom::element e;
  // simdjson reads up to SIMDJSON_PADDING bytes past the end of the text: a body without that
  // much room after it is copied into the parser's own padded buffer.
  const std::string_view text = body.text();
  const bool padded =
      body.readable() >= text.size() && body.readable() - text.size() >= simdjson::SIMDJSON_PADDING;
  if (auto error = parser.parse(text.data(), text.size(), !padded).get(e)) {
    fail(root, std::string("body is not valid JSON (") + simdjson::error_message(error) + ")");
  }
  return object(e, root);
}

dom::object Reader::object(dom::element e, const Path& at) const {
  dom::object o;
  if (e.get_object().get(o)) fail(at, expected("an object", e));
  return o;
}

dom::array Reader::array(dom::element e, const Path& at) const {
  dom::array a;
  if (e.get_array().get(a)) fail(at, expected("an array", e));
  return a;
}

std::string_view Reader::string(dom::element e, const Path& at) const {
  std::string_view s;
  if (e.get_string().get(s)) fail(at, expected("a string", e));
  return s;
}

bool Reader::boolean(dom::element e, const Path& at) const {
  bool b = false;
  if (e.get_bool().get(b)) fail(at, expected("a boolean", e));
  return b;
}

std::int64_t Reader::integer(dom::element e, const Path& at) const {
  switch (e.type()) {
    case dom::element_type::INT64:
      return e.get_int64().value_unsafe();
    case dom::element_type::UINT64:
      fail(at, "integer out of range");
    case dom::element_type::DOUBLE:
      fail(at, "expected an integer, found a number with a fraction or exponent");
    default:
      fail(at, expected("an integer", e));
  }
}

std::int64_t Reader::integerOrText(dom::element e, const Path& at) const {
  if (e.type() != dom::element_type::STRING) {
    if (e.type() == dom::element_type::INT64 || e.type() == dom::element_type::UINT64 ||
        e.type() == dom::element_type::DOUBLE) {
      return integer(e, at);
    }
    fail(at, expected("an integer or its decimal text", e));
  }
  std::string_view s = e.get_string().value_unsafe();
  std::int64_t v = 0;
  const char* first = s.data();
  const char* last = s.data() + s.size();
  auto [end, ec] = std::from_chars(first, last, v);
  if (s.empty() || ec != std::errc() || end != last) {
    fail(at, ec == std::errc::result_out_of_range ? "integer text out of range"
                                                  : "expected an integer or its decimal text, "
                                                    "found text that is not a decimal integer");
  }
  return v;
}

std::optional<dom::element> Reader::find(dom::object o, std::string_view key) {
  dom::element e;
  if (o.at_key(key).get(e) || e.is_null()) return std::nullopt;
  return e;
}

dom::element Reader::require(dom::object o, std::string_view key, const Path& at) const {
  dom::element e;
  if (o.at_key(key).get(e)) fail(at.member(key), "required member is missing");
  if (e.is_null()) fail(at.member(key), "required member is null");
  return e;
}

std::string Reader::requireString(dom::object o, std::string_view key, const Path& at) const {
  return std::string(string(require(o, key, at), at.member(key)));
}

std::optional<std::string> Reader::optionalString(dom::object o, std::string_view key,
                                                  const Path& at) const {
  auto e = find(o, key);
  if (!e) return std::nullopt;
  return std::string(string(*e, at.member(key)));
}

dom::object Reader::requireObject(dom::object o, std::string_view key, const Path& at) const {
  return object(require(o, key, at), at.member(key));
}

std::optional<dom::object> Reader::optionalObject(dom::object o, std::string_view key,
                                                  const Path& at) const {
  auto e = find(o, key);
  if (!e) return std::nullopt;
  return object(*e, at.member(key));
}

std::optional<dom::array> Reader::optionalArray(dom::object o, std::string_view key,
                                                const Path& at) const {
  auto e = find(o, key);
  if (!e) return std::nullopt;
  return array(*e, at.member(key));
}

std::vector<std::string> Reader::strings(dom::element e, const Path& at) const {
  dom::array a = array(e, at);
  std::vector<std::string> out;
  out.reserve(a.size());
  std::size_t i = 0;
  for (dom::element item : a) out.emplace_back(string(item, at.item(i++)));
  return out;
}

SubResource Reader::subResource(dom::element e, const Path& at) const {
  return SubResource{requireString(object(e, at), "id", at)};
}

Tags Reader::tags(dom::element e, const Path& at) const {
  Tags out;
  for (dom::key_value_pair kv : object(e, at)) {
    out.set(std::string(kv.key), std::string(string(kv.value, at.member(kv.key))));
  }
  return out;
}

std::optional<dom::array> Reader::valueArray(dom::object root) const {
  const Path top;
  if (auto e = find(root, "value")) return array(*e, top.member("value"));
  if (auto err = find(root, "error"); err && err->is_object()) {
    std::string problem = "no list, the body is an Azure Resource Manager error";
    std::string_view code;
    if (!err->get_object().value_unsafe().at_key("code").get(code)) {
      problem += ": ";
      problem.append(code);
    }
    fail(top.member("value"), std::move(problem));
  }
  return std::nullopt;
}

std::optional<std::string> Reader::nextLink(dom::object root) const {
  const Path top;
  auto link = optionalString(root, "nextLink", top);
  if (link && link->empty()) return std::nullopt;
  return link;
}

Json Reader::toJson(dom::object o) {
  Json out = Json::object();
  for (dom::key_value_pair kv : o) out[std::string(kv.key)] = toJson(kv.value);
  return out;
}

Json Reader::toJson(dom::element e) {
  switch (e.type()) {
    case dom::element_type::OBJECT:
      return toJson(e.get_object().value_unsafe());
    case dom::element_type::ARRAY: {
      Json out = Json::array();
      const dom::array items = e.get_array().value_unsafe();
      for (dom::element item : items) out.push_back(toJson(item));
      return out;
    }
    case dom::element_type::INT64:
      return e.get_int64().value_unsafe();
    case dom::element_type::UINT64:
      return e.get_uint64().value_unsafe();
    case dom::element_type::DOUBLE:
      return e.get_double().value_unsafe();
    case dom::element_type::STRING:
      return std::string(e.get_string().value_unsafe());
    case dom::element_type::BOOL:
      return e.get_bool().value_unsafe();
    case dom::element_type::NULL_VALUE:
      return nullptr;
  }
  return nullptr;
}

}  // namespace arm_parse_detail
}  // namespace collab::azure
