#pragma once
// What the configuration loader reports about a file: one error that stops the load, or
// warnings that let it go on.
//
// Both name the file and, where the problem sits inside it, the 1-based line and column and the
// key path of the value concerned, written the way a reader finds it in the file:
// `account_info[0].vnets.vnet1.turbo` (list positions in brackets, names that are not plain words
// quoted: `vnets["hub.prod"]`).
#include <stdexcept>
#include <string>

#include "collab/export.hpp"

namespace collab {

/// A configuration file that cannot be used: unreadable, not YAML, or not what the schema allows.
/// The message has the form `file:line:column: 'key.path': problem`; the location parts that do
/// not apply (a missing file has no line) are left out.
class COLLAB_EXPORT ConfigError : public std::runtime_error {
 public:
  /// `line` and `column` are 1-based, 0 when the problem has no place in the file.
  /// `problem` is the sentence the message ends with; `expected` and `found` say the same
  /// in parts a program can inspect.
  ConfigError(std::string file, int line, int column, std::string keyPath, std::string problem,
              std::string expected, std::string found);

  const std::string& file() const noexcept { return file_; }
  int line() const noexcept { return line_; }
  int column() const noexcept { return column_; }
  /// Where in the document, e.g. `account_info[0].vnets.vnet1.turbo`; empty for the whole file.
  const std::string& keyPath() const noexcept { return keyPath_; }
  const std::string& problem() const noexcept { return problem_; }
  /// What the loader needed there, e.g. "a boolean (true or false)".
  const std::string& expected() const noexcept { return expected_; }
  /// What the file holds there, e.g. "text 'yes'".
  const std::string& found() const noexcept { return found_; }

 private:
  std::string file_;
  int line_;
  int column_;
  std::string keyPath_;
  std::string problem_;
  std::string expected_;
  std::string found_;
};

/// Something the loader accepted but the operator should look at, such as a key that no part of
/// the system reads.
struct COLLAB_EXPORT ConfigWarning {
  std::string file;
  int line = 0;    ///< 1-based; 0 when it has no place in the file
  int column = 0;  ///< 1-based; 0 when it has no place in the file
  std::string keyPath;
  std::string message;

  /// `file:line:column: 'key.path': message`, the form in which it is logged.
  std::string text() const;
};

}  // namespace collab
