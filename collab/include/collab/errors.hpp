#pragma once
// Failure conventions shared by every library.
//
// Four kinds of failure run through the whole system, each with one exception type built on
// the standard hierarchy, so a caller may catch either ours or the standard base:
//
//   MissingKeyError    a map, record or configuration lacks a key it must have
//                      (std::out_of_range); the message names the key.
//   InvalidValueError  a value has the right type but cannot be used, such as a network
//                      text that does not parse (std::invalid_argument); names the value.
//   WrongTypeError     a value or pair of values is of the wrong kind, such as networks of
//                      two IP versions compared (std::invalid_argument); names both sides.
//   IndexRangeError    a position outside a list (std::out_of_range).
//
// "Absent" is never an exception and never a sentinel text: a value that may be absent is a
// std::optional (or a JSON null inside configuration and option maps), and the discovery log
// prints it as None.
//
// Failures of other subsystems (configuration files, HTTP transport, Azure Resource Manager
// answers) have their own types derived from std::runtime_error, declared beside the code
// that raises them.
#include <stdexcept>
#include <string>
#include <string_view>

#include "collab/export.hpp"

namespace collab {

class COLLAB_EXPORT MissingKeyError : public std::out_of_range {
 public:
  /// `key` is the key that was looked up; `where` optionally names the map or record.
  explicit MissingKeyError(std::string_view key, std::string_view where = {});
  const std::string& key() const noexcept { return key_; }

 private:
  std::string key_;
};

class COLLAB_EXPORT InvalidValueError : public std::invalid_argument {
 public:
  explicit InvalidValueError(const std::string& message) : std::invalid_argument(message) {}
};

class COLLAB_EXPORT WrongTypeError : public std::invalid_argument {
 public:
  explicit WrongTypeError(const std::string& message) : std::invalid_argument(message) {}
};

class COLLAB_EXPORT IndexRangeError : public std::out_of_range {
 public:
  explicit IndexRangeError(const std::string& message) : std::out_of_range(message) {}
};

}  // namespace collab
