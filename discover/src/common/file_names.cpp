#include "common/file_names.hpp"

#include "collab/log_text.hpp"

namespace kxdiscover {

std::optional<std::string> fileNameProblem(std::string_view name, std::size_t room) {
  if (name.empty()) return "it is empty";
  if (name == "." || name == "..") return "it names a folder, not a name within it";
  if (name.find('/') != std::string_view::npos) return "it holds a '/'";
  if (!collab::isPlainText(name)) return "it holds a control character or a direction mark";
  if (name.size() > room) return "it is longer than " + std::to_string(room) + " bytes";
  return std::nullopt;
}

}  // namespace kxdiscover
