#include "collab/config.hpp"

#include <stdexcept>
#include <utility>

#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "config/config_load.hpp"
#include "config/config_schema.hpp"

namespace collab {

namespace {

std::string locationText(const std::string& file, int line, int column) {
  std::string out = file;
  if (line > 0) {
    out += ":" + std::to_string(line);
    if (column > 0) out += ":" + std::to_string(column);
  }
  return out;
}

std::string diagnosticText(const std::string& file, int line, int column,
                           const std::string& keyPath, const std::string& message) {
  std::string out = locationText(file, line, column) + ": ";
  if (!keyPath.empty()) out += "'" + keyPath + "': ";
  return out + message;
}

}  // namespace

ConfigError::ConfigError(std::string file, int line, int column, std::string keyPath,
                         std::string problem, std::string expected, std::string found)
    : std::runtime_error(diagnosticText(file, line, column, keyPath, problem)),
      file_(std::move(file)),
      line_(line),
      column_(column),
      keyPath_(std::move(keyPath)),
      problem_(std::move(problem)),
      expected_(std::move(expected)),
      found_(std::move(found)) {}

std::string ConfigWarning::text() const {
  return diagnosticText(file, line, column, keyPath, message);
}

ConfigDocument::ConfigDocument(std::string label, Json data, std::string path)
    : label_(std::move(label)), data_(std::move(data)), path_(std::move(path)) {}

ConfigDocument::ConfigDocument(std::string label, Json data, std::string path,
                               std::vector<ConfigWarning> warnings)
    : label_(std::move(label)),
      data_(std::move(data)),
      path_(std::move(path)),
      warnings_(std::move(warnings)) {}

const Json& ConfigDocument::operator[](std::string_view key) const {
  if (data_.is_object()) {
    if (auto it = data_.find(key); it != data_.end()) return *it;
  }
  throw MissingKeyError(key, path_.empty() ? std::string("configuration") : path_);
}

ConfigDocument load_from_yaml(const std::filesystem::path& path) {
  const std::string file = path.string();
  config::LoadedConfig loaded = config::parseConfig(config::readConfigFile(path, file), file);
  // Only a document that loaded completely has its warnings reported.
  auto logger = getLogger("basekit");
  for (const auto& warning : loaded.warnings) logger->warn("{}", warning.text());
  return ConfigDocument(std::move(loaded.label), std::move(loaded.data), file,
                        std::move(loaded.warnings));
}

Json dump_to_dict(const ConfigDocument& config) { return config.data(); }

std::vector<std::string> configSchemaKeys(std::string_view kind) {
  const config::SchemaNode* schema = config::schemaFor(kind);
  return schema ? config::schemaKeyPaths(*schema) : std::vector<std::string>{};
}

YamlContext& YamlContext::get() {
  static YamlContext context;
  return context;
}

void YamlContext::set(ConfigDocument document) { document_ = std::move(document); }

const ConfigDocument& YamlContext::document() const {
  if (!document_) throw std::logic_error("no configuration has been loaded into the context");
  return *document_;
}

Json YamlContext::getGlobalContext(std::string_view key) const {
  // The naming transform lists are global options under `config`.
  const Json& data = document().data();
  if (auto config = data.find("config"); config != data.end() && config->is_object()) {
    if (auto list = config->find(key); list != config->end() && list->is_array()) return *list;
  }
  return Json::array();
}

}  // namespace collab
