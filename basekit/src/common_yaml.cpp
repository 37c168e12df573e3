// Loading the configuration file, kept apart from the other operations: it is the only one
// that needs the YAML loader itself.
#include <filesystem>

#include "basekit/common.hpp"
#include "collab/config.hpp"

namespace basekit {

collab::Json Common::convert_yaml_to_json(const std::string& file_path) {
  return collab::dump_to_dict(collab::load_from_yaml(std::filesystem::path(file_path)));
}

}  // namespace basekit
