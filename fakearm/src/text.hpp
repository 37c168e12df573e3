#pragma once
// Small text helpers of the loopback Azure.
#include <string>
#include <string_view>
#include <vector>

namespace fakearm::detail {

std::string lower(std::string_view text);
/// ASCII letter case ignored, as Azure compares ids and names.
bool iequals(std::string_view a, std::string_view b);
/// `text` encoded for one URL path segment or query value (RFC 3986 unreserved kept).
std::string percentEncode(std::string_view text);
/// `text` split at every `separator`, empty pieces kept.
std::vector<std::string> split(std::string_view text, char separator);

}  // namespace fakearm::detail
