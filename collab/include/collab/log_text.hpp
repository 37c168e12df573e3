#pragma once
// Text from outside (Azure, a replay file, the configuration) on its way into a log line, onto
// a terminal or into a report that lists log lines.
//
// A name holding a line feed would otherwise start a line of its own, one that looks like any
// other log line ("2024-05-01 ... [error] **Error** ..."); a carriage return, an escape
// sequence or a direction override would rewrite what a terminal or an editor shows.  Such
// characters are therefore written as visible escapes, so that every message stays one line
// and shows what it holds:
//
//   LF, CR, TAB                      \n  \r  \t
//   other C0 controls, DEL           \x00 .. \x1F, \x7F
//   C1 controls (U+0080..U+009F),    \u0085, \u2028, \u202E, ...
//   line and paragraph separators,
//   direction marks and overrides
//   (U+061C, U+200E, U+200F, U+2028..U+202E, U+2066..U+2069)
//   bytes that are not UTF-8         \xFF, ... (or U+FFFD, where the output must be UTF-8)
//
// Everything else, including a backslash and any other printable character, is copied as it
// is, so a clean text comes out byte for byte unchanged (the log's own line shapes never
// change).  The escaping is applied once, where a line is written (the log file sinks and the
// run's line capture both use `safeLogText`), never by the code that formats a message.  The
// HTML report shows texts the same way (html_text.hpp).
#include <string>
#include <string_view>

#include "collab/export.hpp"

namespace collab {

/// What becomes of a byte that is not UTF-8: an escape (logs, a terminal), or U+FFFD (a page,
/// which must be UTF-8 throughout).
enum class NotUtf8 { Escape, Replace };

/// Appends `text` to `out` with the characters above escaped.
COLLAB_EXPORT void appendEscapedControls(std::string& out, std::string_view text,
                                         NotUtf8 bytes = NotUtf8::Escape);

/// `text` with the characters above escaped.
COLLAB_EXPORT std::string escapeControls(std::string_view text, NotUtf8 bytes = NotUtf8::Escape);

/// True when `escapeControls(text)` would change nothing.
COLLAB_EXPORT bool isPlainText(std::string_view text) noexcept;

/// What an output of ours writes for `text`: every secret of the `SecretRegistry` replaced by
/// "REDACTED", then the characters above escaped.
COLLAB_EXPORT std::string safeLogText(std::string_view text);

}  // namespace collab
