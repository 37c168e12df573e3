#pragma once
// Writing text into HCL (Terraform) quoted strings.
//
// Inside an HCL quoted string a double quote, a backslash and control characters must be
// escaped, and the template introducers "${" and "%{" must be doubled ("$${", "%%{") so that a
// name such as "app-${env}" stays literal text instead of becoming an interpolation.  Every
// renderer of route tables and routes goes through these helpers, so names, tag keys and tag
// values with such characters still produce a document an HCL parser reads back unchanged.
// Text without any of these characters is copied byte for byte; bytes >= 0x80 (UTF-8) are
// never touched.
#include <ostream>
#include <string>
#include <string_view>

#include "collab/export.hpp"

namespace collab {

/// Appends `text` escaped for the inside of an HCL quoted string (without the quotes):
/// `"` -> `\"`, `\` -> `\\`, LF -> `\n`, CR -> `\r`, TAB -> `\t`, other control characters
/// (U+0000..U+001F, U+007F) -> `\uNNNN`, `${` -> `$${`, `%{` -> `%%{`.
COLLAB_EXPORT void appendHclEscaped(std::string& out, std::string_view text);

/// `text` escaped as appendHclEscaped does it.
COLLAB_EXPORT std::string hclEscape(std::string_view text);

/// Appends `text` as a complete HCL quoted string: `"` + escaped text + `"`.
inline void appendHclQuoted(std::string& out, std::string_view text) {
  out += '"';
  appendHclEscaped(out, text);
  out += '"';
}

}  // namespace collab
