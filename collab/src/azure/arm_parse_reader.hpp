#pragma once
// Checked access to a simdjson DOM for the Resource Manager readers.
//
// Every accessor either returns the value asked for or throws MalformedResponseError naming the
// JSON path of the member.  Paths are chains of stack-allocated nodes and are rendered to text
// only when something fails, so a successful read costs no string building.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collab/azure/arm_parse.hpp"
#include "collab/azure/route_table.hpp"
#include "collab/json.hpp"

namespace collab::azure::arm_parse_detail {

namespace dom = simdjson::dom;

/// One step of a JSON path: a member name or an array position below `parent`.  The root has
/// neither.  A step points at its parent, so the parent must outlive it: keep steps in named
/// locals or pass them straight into a call, never derive one from a temporary.
struct Path {
  const Path* parent = nullptr;
  std::string_view key;
  std::size_t index = 0;
  bool is_index = false;

  Path member(std::string_view name) const { return Path{this, name, 0, false}; }
  Path item(std::size_t i) const { return Path{this, {}, i, true}; }
  /// "value[3].properties.routes[1]"; "" for the root.
  std::string text() const;
};

/// "an object", "a string", ... for messages.
const char* describe(dom::element_type type);

class Reader {
 public:
  /// `kind` names the answer in messages ("route table list").
  explicit Reader(const char* kind) : kind_(kind) {}

  [[noreturn]] void fail(const Path& at, std::string problem) const;

  /// Parses `body` with `parser` and returns the root, which must be an object.  A body with
  /// room for the parser's padding after it is read in place, any other is copied first.
  dom::object document(dom::parser& parser, PageBody body) const;

  dom::object object(dom::element e, const Path& at) const;
  dom::array array(dom::element e, const Path& at) const;
  std::string_view string(dom::element e, const Path& at) const;
  bool boolean(dom::element e, const Path& at) const;
  std::int64_t integer(dom::element e, const Path& at) const;
  /// An integer sent either as a JSON number or as decimal text ("3599").
  std::int64_t integerOrText(dom::element e, const Path& at) const;

  /// The member `key` of `o`; absent when missing or JSON null (Azure means the same by both).
  static std::optional<dom::element> find(dom::object o, std::string_view key);
  /// The member `key` of `o` (the object at `at`); fails when missing or null.
  dom::element require(dom::object o, std::string_view key, const Path& at) const;

  std::string requireString(dom::object o, std::string_view key, const Path& at) const;
  std::optional<std::string> optionalString(dom::object o, std::string_view key,
                                            const Path& at) const;
  dom::object requireObject(dom::object o, std::string_view key, const Path& at) const;
  /// The array under `key`, or nothing when the member is absent.
  std::optional<dom::array> optionalArray(dom::object o, std::string_view key,
                                          const Path& at) const;
  std::vector<std::string> strings(dom::element e, const Path& at) const;
  /// `{"id": ...}`, as ARM embeds references to other resources.
  SubResource subResource(dom::element e, const Path& at) const;
  /// A map of text to text, in document order.
  Tags tags(dom::element e, const Path& at) const;

  /// The list body's `value` array.  When it is missing and the body is an ARM error
  /// (`{"error": {"code": ...}}`), the message carries the error code.
  dom::array valueArray(dom::object root) const;
  /// The `nextLink` member: absent when missing, null or "".
  std::optional<std::string> nextLink(dom::object root) const;

  /// A faithful copy into the system's JSON type, keeping member order.
  static Json toJson(dom::element e);
  static Json toJson(dom::object o);

 private:
  const char* kind_;
};

}  // namespace collab::azure::arm_parse_detail
