#pragma once
// The operator's YAML configuration: loading, the loaded document and the run's context.
//
// A document carries a label (its kind, such as the discovery configuration) and its content
// as nested ordered JSON maps and lists with YAML 1.2 core-schema scalars.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab {

class COLLAB_EXPORT ConfigDocument {
 public:
  ConfigDocument(std::string label, Json data, std::string path = {});

  /// The document's kind.
  const std::string& getLabel() const noexcept { return label_; }
  /// The content as nested maps and lists.
  const Json& data() const noexcept { return data_; }
  /// The file it was read from (empty when built in memory).
  const std::string& path() const noexcept { return path_; }
  /// Top-level lookup. @throws MissingKeyError naming the key and the file.
  const Json& operator[](std::string_view key) const;

 private:
  std::string label_;
  Json data_;
  std::string path_;
};

/// Reads and checks a YAML configuration file.
/// @throws ConfigError (see config_error.hpp) naming file, line, column and key path.
COLLAB_EXPORT ConfigDocument load_from_yaml(const std::filesystem::path& path);

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
