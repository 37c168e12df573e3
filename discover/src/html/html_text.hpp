#pragma once
// Escaping for the HTML report: every text of a report (names, tags, log lines, paths) comes
// from Azure or the operator and may hold markup, control characters or direction overrides,
// so none reaches the page, or a Graphviz label or attribute, without passing through one of
// these.  What a text may never become is an attribute name, a class, an id or a link target:
// those are made from indices and fixed words only (anchor(), and the fixed class sets of the
// page and the pictures).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "collab/json.hpp"

namespace kxdiscover::html {

/// `text` with every character that would act instead of show written out as visible text:
/// C0 and C1 control characters and DEL as `\n`, `\t`, `\r` or `\xNN` / `\u0085`, the
/// characters that embed, override or isolate a direction (U+202A-U+202E, U+2066-U+2069,
/// U+200E, U+200F, U+061C) and the line and paragraph separators as `\uNNNN`; a byte that is
/// not UTF-8 becomes U+FFFD.  Everything else is kept.  The same escapes as the logs
/// (collab/log_text.hpp).
std::string visibleText(std::string_view text);

/// `text` as HTML element content or a quoted attribute value: visibleText(), then `&`, `<`,
/// `>`, `"` and `'` as character references.
std::string escape(std::string_view text);

/// `text` as HTML element content, its direction isolated from the text around it: escape()
/// inside `<bdi>` when the text holds anything beyond ASCII (a right-to-left name then cannot
/// reorder the words or addresses next to it); plain ASCII, which cannot, is left bare.
std::string isolated(std::string_view text);

/// The longest text a picture's label shows: a name longer than that is cut, with an
/// ellipsis, and shown whole in the tooltip and the page.  Azure's VNet names have at most
/// 64 characters.
inline constexpr std::size_t kLabelChars = 64;

/// `text` cut to `chars` characters (not bytes), with "…" when it was longer.
std::string shortened(std::string_view text, std::size_t chars = kLabelChars);

/// `text` inside a Graphviz HTML-like label (`label=<...>`): shortened() to `chars`, visibleText(),
/// XML-escaped, each backslash doubled (Graphviz substitutes `\N`, `\G`, `\L`... in label text
/// even there), and between the isolates U+2068 and U+2069 when it holds anything beyond
/// ASCII, as isolated() does on the page.
std::string dotLabelText(std::string_view text, std::size_t chars = kLabelChars);

/// The longest tooltip of a picture: far more than any name or id Azure gives, and short of
/// the 16,384 characters a quoted DOT string may hold.
inline constexpr std::size_t kTooltipChars = 2000;

/// `text` as the inside of a quoted DOT attribute that Graphviz substitutes escapes in and
/// writes into the SVG as an attribute (`tooltip`): shortened() to `chars`, visibleText(),
/// XML-escaped (Graphviz passes character references through, so a name holding "&amp;" needs
/// its `&` escaped), a backslash written four times (the DOT reader turns `\\` into `\`, the
/// substitution then takes `\\` as one backslash) and a quote escaped.
std::string dotQuoted(std::string_view text, std::size_t chars = kTooltipChars);

/// A fragment id made of [a-z0-9-] from parts that are already plain (numbers, fixed words).
std::string anchor(std::string_view prefix, std::size_t a, std::size_t b = SIZE_MAX,
                   std::size_t c = SIZE_MAX);

/// The class word for a report's fixed value: `value` when it is one of `known` (compared
/// without case, written as listed), else "other".  Data never names a class of its own.
std::string knownWord(std::string_view value, std::initializer_list<std::string_view> known);

/// A report's member as text, or "" when it is missing, null or not text: the page and its
/// pictures are drawn from whatever a report holds, so a later shape still renders.
std::string textOf(const collab::Json& object, const char* key);
/// A report's member as a list; an empty one when it is missing or not a list.
const collab::Json& listOf(const collab::Json& object, const char* key);

}  // namespace kxdiscover::html
