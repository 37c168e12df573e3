#include "collab/errors.hpp"

namespace collab {

namespace {
std::string missingKeyMessage(std::string_view key, std::string_view where) {
  std::string msg = "missing key '";
  msg.append(key);
  msg += '\'';
  if (!where.empty()) {
    msg += " in ";
    msg.append(where);
  }
  return msg;
}
}  // namespace

MissingKeyError::MissingKeyError(std::string_view key, std::string_view where)
    : std::out_of_range(missingKeyMessage(key, where)), key_(key) {}

}  // namespace collab
