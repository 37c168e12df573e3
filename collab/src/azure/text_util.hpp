#pragma once
// Text helpers for error messages built from server answers.
#include <string>
#include <string_view>

namespace collab::azure::detail {

/// `text` without leading and trailing blanks (spaces, tabs, line ends).
std::string_view trimBlank(std::string_view text);

/// The first line of `text`, trimmed.
std::string firstLine(std::string_view text);

/// `text` on one line (control characters become spaces), cut to at most `limit` bytes at a
/// UTF-8 character boundary, with "..." when cut.
std::string oneLine(std::string_view text, std::size_t limit);

}  // namespace collab::azure::detail
