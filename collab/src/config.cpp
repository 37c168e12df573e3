#include "collab/config.hpp"

#include <stdexcept>
#include <utility>

#include "collab/errors.hpp"

namespace collab {

ConfigDocument::ConfigDocument(std::string label, Json data, std::string path)
    : label_(std::move(label)), data_(std::move(data)), path_(std::move(path)) {}

const Json& ConfigDocument::operator[](std::string_view key) const {
  if (data_.is_object()) {
    if (auto it = data_.find(key); it != data_.end()) return *it;
  }
  throw MissingKeyError(key, path_.empty() ? std::string("configuration") : path_);
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
