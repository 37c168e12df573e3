#pragma once
// Escaping for the HTML report: every text of a report (names, tags, log lines, paths) comes
// from Azure or the operator and may hold markup, so none reaches the page, or a Graphviz
// label, without passing through one of these.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "collab/json.hpp"

namespace kxdiscover::html {

/// `text` as HTML element content or a quoted attribute value: `&`, `<`, `>`, `"` and `'`
/// become character references; control characters other than tab and newline, which HTML
/// does not allow, become U+FFFD.
std::string escape(std::string_view text);

/// `text` inside a Graphviz HTML-like label (`label=<...>`): XML-escaped, and each backslash
/// doubled, because Graphviz substitutes `\N`, `\G`, `\L`... in label text even there; line
/// breaks become spaces.  An `&` that begins something like a character reference ("&amp;")
/// is followed by an invisible U+2060, since Graphviz's SVG writer would pass it through.
std::string dotLabelText(std::string_view text);

/// `text` as the inside of a quoted DOT attribute that Graphviz substitutes escapes in
/// (`tooltip`): the DOT reader turns `\\` into `\` and `\"` into `"`, the substitution then
/// takes `\\` as one backslash, so a backslash is written four times and a quote once escaped;
/// an `&` as in dotLabelText.
std::string dotQuoted(std::string_view text);

/// A fragment id made of [a-z0-9-] from parts that are already plain (numbers, fixed words).
std::string anchor(std::string_view prefix, std::size_t a, std::size_t b = SIZE_MAX,
                   std::size_t c = SIZE_MAX);

/// A report's member as text, or "" when it is missing, null or not text: the page and its
/// pictures are drawn from whatever a report holds, so a later shape still renders.
std::string textOf(const collab::Json& object, const char* key);
/// A report's member as a list; an empty one when it is missing or not a list.
const collab::Json& listOf(const collab::Json& object, const char* key);

}  // namespace kxdiscover::html
