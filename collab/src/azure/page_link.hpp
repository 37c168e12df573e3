#pragma once
// The next link of a list page, found without parsing the page.
#include <optional>
#include <string_view>

namespace collab::azure::detail {

/// The value of the `nextLink` member that closes `body`, as Azure writes its list pages
/// (`{"value": [...], "nextLink": "..."}`); absent when the body does not end that way (the
/// link stands elsewhere, holds escaped characters, or the body is no object).  Reads only the
/// last bytes of the page and does not check the rest: whoever parses the page must still
/// compare this with the link the parse finds.
std::optional<std::string_view> trailingNextLink(std::string_view body) noexcept;

}  // namespace collab::azure::detail
