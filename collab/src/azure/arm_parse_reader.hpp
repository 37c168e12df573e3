#pragma once
// Checked access to a simdjson DOM for the Resource Manager readers.
//
// Every accessor either returns the value asked for or throws MalformedResponseError naming the
// JSON path of the member.  Paths are chains of stack-allocated nodes and are rendered to text
// only when something fails, so a successful read costs no string building.
#include <simdjson.h>

#include <array>
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
  /// The object under `key`, or nothing when the member is absent.
  std::optional<dom::object> optionalObject(dom::object o, std::string_view key,
                                            const Path& at) const;
  /// The array under `key`, or nothing when the member is absent.
  std::optional<dom::array> optionalArray(dom::object o, std::string_view key,
                                          const Path& at) const;
  std::vector<std::string> strings(dom::element e, const Path& at) const;
  /// `{"id": ...}`, as ARM embeds references to other resources.
  SubResource subResource(dom::element e, const Path& at) const;
  /// A map of text to text, in document order.
  Tags tags(dom::element e, const Path& at) const;

  /// The list body's `value` array; absent when Azure left it out, which its API reference
  /// allows for an empty list (`{}`).  A body that is an ARM error (`{"error": {"code": ...}}`)
  /// instead of a list fails, and the message carries the error code.
  std::optional<dom::array> valueArray(dom::object root) const;
  /// The `nextLink` member: absent when missing, null or "".
  std::optional<std::string> nextLink(dom::object root) const;

  /// A faithful copy into the system's JSON type, keeping member order.
  static Json toJson(dom::element e);
  static Json toJson(dom::object o);

 private:
  const char* kind_;
};

/// Several members of one object, found in a single walk over it.  Each name takes the first
/// member of that name, as a lookup by name finds it; the accessors check and report exactly as
/// the Reader's own.  Reading an object's members one lookup at a time walks the object once
/// per member, and list pages hold hundreds of thousands of small objects.
template <std::size_t N>
class Members {
 public:
  /// The members of `o`; of an absent object, none (every member reads as absent).
  Members(std::optional<dom::object> o, const std::string_view (&names)[N]) {
    std::size_t left = N;
    for (std::size_t i = 0; i < N; ++i) names_[i] = names[i];
    if (!o) return;
    for (dom::key_value_pair kv : *o) {
      for (std::size_t i = 0; i < N; ++i) {
        if (!found_[i] && kv.key == names_[i]) {
          found_[i] = true;
          values_[i] = kv.value;
          --left;
          break;
        }
      }
      if (left == 0) break;
    }
  }

  /// Member `i`; absent when missing or JSON null.
  std::optional<dom::element> find(std::size_t i) const {
    if (!found_[i] || values_[i].is_null()) return std::nullopt;
    return values_[i];
  }
  /// Member `i` of the object at `at`; fails when missing or null.
  dom::element require(const Reader& r, std::size_t i, const Path& at) const {
    if (!found_[i]) r.fail(at.member(names_[i]), "required member is missing");
    if (values_[i].is_null()) r.fail(at.member(names_[i]), "required member is null");
    return values_[i];
  }
  std::string requireString(const Reader& r, std::size_t i, const Path& at) const {
    return std::string(r.string(require(r, i, at), at.member(names_[i])));
  }
  std::optional<std::string> optionalString(const Reader& r, std::size_t i, const Path& at) const {
    auto e = find(i);
    if (!e) return std::nullopt;
    return std::string(r.string(*e, at.member(names_[i])));
  }
  dom::object requireObject(const Reader& r, std::size_t i, const Path& at) const {
    return r.object(require(r, i, at), at.member(names_[i]));
  }
  std::optional<dom::object> optionalObject(const Reader& r, std::size_t i, const Path& at) const {
    auto e = find(i);
    if (!e) return std::nullopt;
    return r.object(*e, at.member(names_[i]));
  }
  std::optional<dom::array> optionalArray(const Reader& r, std::size_t i, const Path& at) const {
    auto e = find(i);
    if (!e) return std::nullopt;
    return r.array(*e, at.member(names_[i]));
  }
  std::string_view name(std::size_t i) const { return names_[i]; }

 private:
  std::array<std::string_view, N> names_{};
  std::array<dom::element, N> values_{};
  std::array<bool, N> found_{};
};

}  // namespace collab::azure::arm_parse_detail
