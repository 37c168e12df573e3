#pragma once
// The operator's YAML configuration: loading, the loaded document and the run's context.
//
// A document carries a label (its kind, such as the discovery configuration) and its content
// as nested ordered JSON maps and lists with YAML 1.2 core-schema scalars.
//
// A configuration file names its kind in the required top-level key `kind` ("discovery" for
// the discovery configuration); that text is the document's label.  The loader checks the file
// against the schema of its kind, fills in the defaults of absent keys and reports what it
// cannot use as a ConfigError.  docs/configuration.md describes every key.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collab/config_error.hpp"
#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab {

class COLLAB_EXPORT ConfigDocument {
 public:
  ConfigDocument(std::string label, Json data, std::string path = {});
  /// A loaded document together with what the loader warned about.
  ConfigDocument(std::string label, Json data, std::string path,
                 std::vector<ConfigWarning> warnings);

  /// The document's kind.
  const std::string& getLabel() const noexcept { return label_; }
  /// The content as nested maps and lists.
  const Json& data() const noexcept { return data_; }
  /// The file it was read from (empty when built in memory).
  const std::string& path() const noexcept { return path_; }
  /// Top-level lookup. @throws MissingKeyError naming the key and the file.
  const Json& operator[](std::string_view key) const;
  /// What the loader accepted but warned about (unknown keys and the like), in file order.
  const std::vector<ConfigWarning>& warnings() const noexcept { return warnings_; }

 private:
  std::string label_;
  Json data_;
  std::string path_;
  std::vector<ConfigWarning> warnings_;
};

/// The kind of the discovery configuration, the value of its top-level `kind` key.
inline constexpr std::string_view kDiscoveryConfigKind = "discovery";

/// Reads and checks a YAML configuration file.  Unknown keys are kept in the data; each one is
/// a warning on the document (also logged at warning level through the "basekit" logger),
/// except one that is a near miss of a known key, which is an error.
/// @throws ConfigError (see config_error.hpp) naming file, line, column and key path.
COLLAB_EXPORT ConfigDocument load_from_yaml(const std::filesystem::path& path);

/// Every key the schema of `kind` knows, as paths in document order: `[]` stands for any list
/// position and `*` for any name of a map of named entries, e.g.
/// `account_info[].vnets.*.turbo`.  Empty for a kind without a schema.
COLLAB_EXPORT std::vector<std::string> configSchemaKeys(std::string_view kind);

/// The document's content as nested maps and lists, in document order.
COLLAB_EXPORT Json dump_to_dict(const ConfigDocument& config);

/// The one configuration context of the run, set once the configuration is loaded.
class COLLAB_EXPORT YamlContext {
 public:
  /// The run's context.
  static YamlContext& get();

  void set(ConfigDocument document);
  bool isSet() const noexcept { return document_.has_value(); }
  /// @throws std::logic_error when no configuration has been set.
  const ConfigDocument& document() const;
  const std::string& getLabel() const { return document().getLabel(); }

  /// For a naming key (configure_route_table_name, configure_shared_route_table_name,
  /// configure_main_route_table_prefix): its transform list, a JSON array of
  /// {"key": ..., "value": ...} entries, empty when the configuration has none.
  Json getGlobalContext(std::string_view key) const;

 private:
  std::optional<ConfigDocument> document_;
};

}  // namespace collab
