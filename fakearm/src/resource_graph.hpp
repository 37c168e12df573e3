#pragma once
// The part of Resource Graph's query language (KQL) that the discovery's queries use, evaluated
// over rows of the Resources table:
//
//   Resources
//   | where PATH OP 'text' [and PATH OP 'text' ...]    OP: =~ == !~ != has !has contains !contains
//   | mvexpand NAME = PATH           (also mv-expand; NAME may be left out)
//   | project [NAME =] PATH, ...     (an unnamed PATH gives the column PATH with "." as "_")
//   | limit N                        (also take)
//
// PATH is a column or an expanded name followed by member names ("ipconfig.properties.subnet.id").
// =~ compares ignoring letter case, == exactly; `contains` looks for the text anywhere
// (ignoring case; an object or list is searched in its JSON text); `has` for the text as
// whole terms: ignoring case, not glued to a letter or digit on a side where the text itself
// begins or ends with one.  A missing value matches no positive operator.  `mvexpand` gives a
// row per element of a list, a row per member of an object (as a one-member object) and keeps
// a row whose value is missing or scalar, with that value.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fakearm/estate.hpp"

namespace fakearm::detail {

/// A query outside the language above; the message says what was not understood.
class GraphQueryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class GraphQuery {
 public:
  /// @throws GraphQueryError
  static GraphQuery parse(std::string_view text);

  /// The rows the query yields from `tables` (each a list of Resources rows), in order.
  std::vector<Json> run(const std::vector<const std::vector<Json>*>& tables) const;

  /// Whether the result rows carry "id", which Resource Graph needs to page.
  bool keepsId() const;

 private:
  enum class Op { Equal, EqualNoCase, Has, Contains };
  struct Condition {
    std::vector<std::string> path;
    Op op = Op::Equal;
    bool negated = false;
    std::string literal;
  };
  struct Column {
    std::string name;
    std::vector<std::string> path;
  };
  struct Stage {
    enum class Kind { Where, Expand, Project, Limit } kind = Kind::Where;
    std::vector<Condition> conditions;
    Column expand;
    std::vector<Column> columns;
    std::size_t limit = 0;
  };
  std::vector<Stage> stages_;
};

}  // namespace fakearm::detail
