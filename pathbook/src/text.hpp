#pragma once
// Small text helpers of the route-table model.
#include <string>
#include <string_view>

#include "collab/json.hpp"

namespace pathbook::detail {

/// `text` without leading and trailing white space, white space being what Python's
/// str.strip() removes: ASCII blanks and controls \t \n \v \f \r \x1c-\x1f, and the Unicode
/// spaces (U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000)
/// in their UTF-8 form.
std::string_view strip(std::string_view text) noexcept;

/// The text form of a configuration value as the tool prints it: a text unchanged, true and
/// false as True and False, null as None, numbers in decimal, anything else as JSON.
std::string textForm(const collab::Json& value);

}  // namespace pathbook::detail
