#pragma once
// Text helpers of the configuration loader: key paths, near-miss detection, and the words
// messages use to describe a value.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collab/json.hpp"

namespace collab::config {

/// `path` + `.key`; a key that is not a plain word (letters, digits, '_' and '-') is written in
/// brackets and double quotes: `vnets["hub.prod"]`.
std::string appendKey(const std::string& path, std::string_view key);
/// `path` + `[index]`.
std::string appendIndex(const std::string& path, std::size_t index);

/// Optimal-string-alignment (restricted Damerau-Levenshtein) distance: insertions, deletions,
/// substitutions and swaps of two neighbouring characters each count one.
std::size_t editDistance(std::string_view a, std::string_view b);

/// The candidate that `word` most likely misspells, if any: equal when letter case, '-' and ' '
/// versus '_' are ignored, or within an edit distance of 1 (both words of at most 4 characters)
/// or 2 (longer words).  The first of equally close candidates wins.
std::optional<std::string> nearMiss(std::string_view word,
                                    const std::vector<std::string>& candidates);

/// A text value as it appears in messages: single-quoted, cut after 40 characters, control
/// characters escaped.
std::string quoteValue(std::string_view text);

/// What a scalar value is, for the "found" part of a message: "text 'yes'", "the integer 5",
/// "the boolean true", "null (an empty value)".  Values under keys that look like they hold
/// a secret are described by kind only.
std::string describeValue(const Json& value, std::string_view key);

/// A hint to add to a type error where text was found but `expected` was needed (YAML 1.1
/// booleans such as yes/on), or where a number was found but text was needed (quote it);
/// empty when there is nothing useful to say.
std::string typeHint(const Json& found, unsigned expectedKinds);

}  // namespace collab::config
