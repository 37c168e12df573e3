#pragma once
// The shape a configuration file must have: a tree of schema nodes, one per value, that the
// converter (config_convert.cpp) walks beside the YAML tree.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collab/json.hpp"

namespace collab::config {

/// The kinds of value a YAML node resolves to, as bits so that a node can allow several.
enum ValueKind : unsigned {
  kNull = 1u << 0,
  kBool = 1u << 1,
  kInt = 1u << 2,
  kFloat = 1u << 3,
  kText = 1u << 4,
  kList = 1u << 5,
  kMap = 1u << 6,
};

struct SchemaNode;
using SchemaPtr = std::shared_ptr<const SchemaNode>;

/// One key of a record.
struct FieldSpec {
  std::string key;
  SchemaPtr type;
  bool required = false;
  /// Stored when the key is absent.  Keys without a default stay absent.
  std::optional<Json> defaultValue;
  /// For entries of a named map: the entry name for which a required key may be left out
  /// (the "corvanta" credential entry has no subscription list).
  std::string notRequiredInEntry;
  /// For entries of a named map: the key holds the entry's own name.  It is filled with that
  /// name when absent, and a different value is an error, so the key and the name never
  /// disagree (a VNet entry's `vnet_name`).
  bool holdsEntryName = false;
  /// For a required key: when set, the key is required only when this answers a reason for
  /// the record at hand (converted so far), and the reason, when not empty, is added to the
  /// message ("arm_auth_method 'client-certificate' needs it").
  std::function<std::optional<std::string>(const Json& record)> requiredWhen;
};

/// A rule across the fields of one record, run after the fields are converted.  Returns the
/// field at fault and what was expected of it, or nothing when the record is sound.
struct RuleViolation {
  std::string field;
  std::string expected;
};
using RecordRule = std::function<std::optional<RuleViolation>(const Json& record)>;

enum class Shape {
  kScalar,      ///< a scalar of the kinds in `kinds`
  kList,        ///< a list whose items follow `element`
  kRecord,      ///< a map with the known keys `fields`
  kDictionary,  ///< a map from free names to values that follow `element`
};

struct SchemaNode {
  Shape shape = Shape::kScalar;
  /// Scalar kinds allowed (for kScalar); kNull also allows an empty value for the other shapes.
  unsigned kinds = 0;
  /// What the node needs, for messages: "a boolean (true or false)".
  std::string expected;
  /// For lists, records and dictionaries: an empty value stands for an empty list or map
  /// (a section whose lines are all commented out), and is stored as such.
  bool nullIsEmpty = false;
  std::vector<FieldSpec> fields;
  SchemaPtr element;
  std::vector<RecordRule> rules;
  /// For text: the values allowed.  Strict choices reject any other value; advisory ones
  /// reject only a near miss of a choice and warn about the rest.
  std::vector<std::string> choices;
  bool choicesIgnoreCase = false;
  bool choicesAdvisory = false;
};

/// The schema of a configuration kind, or null for a kind this system has no schema for.
const SchemaNode* schemaFor(std::string_view kind);
/// The kinds that have a schema, in a stable order.
const std::vector<std::string>& knownKinds();
/// The known key paths of a schema (see configSchemaKeys).
std::vector<std::string> schemaKeyPaths(const SchemaNode& schema);

}  // namespace collab::config
