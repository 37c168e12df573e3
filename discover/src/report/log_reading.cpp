#include "report/log_reading.hpp"

#include <array>

namespace kxdiscover {

namespace {

constexpr std::size_t kIndent = 4;
constexpr std::size_t kPrefixColumn = 25;
constexpr std::size_t kTypeColumn = 30;
// Azure's next-hop types; none is the ending of another.
constexpr std::array<std::string_view, 5> kHopTypes{"VirtualNetworkGateway", "VnetLocal",
                                                    "Internet", "VirtualAppliance", "None"};
constexpr std::string_view kRouteTableLine = "  route table: ";
constexpr std::string_view kSkipped = " -- skipped";
constexpr std::string_view kRefusal = "    ** ";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}
bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t at = text.find_first_not_of(' ');
  while (at != std::string_view::npos) {
    const std::size_t end = text.find(' ', at);
    out.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    at = end == std::string_view::npos ? end : text.find_first_not_of(' ', end);
  }
  return out;
}

std::optional<std::string> noneAsAbsent(std::string_view text) {
  if (text == "None") return std::nullopt;
  return std::string(text);
}

}  // namespace

std::optional<RouteLine> parseRouteLine(std::string_view text) {
  if (!startsWith(text, "    ")) return std::nullopt;
  const std::string_view rest = text.substr(kIndent);
  if (rest.empty() || rest.front() == ' ') return std::nullopt;

  if (rest.size() > kPrefixColumn && rest[kPrefixColumn - 1] == ' ') {
    // A prefix shorter than its column: prefix, blanks up to column 25, type, blanks, IP.
    const std::size_t prefixEnd = rest.find(' ');
    if (rest.find_first_not_of(' ', prefixEnd) != kPrefixColumn) return std::nullopt;
    const auto tail = words(rest.substr(kPrefixColumn));
    if (tail.size() != 2) return std::nullopt;
    return RouteLine{std::string(rest.substr(0, prefixEnd)), std::string(tail[0]),
                     noneAsAbsent(tail[1])};
  }

  // A prefix that fills its column runs into the hop type, which is padded to 30.
  const auto all = words(rest);
  if (all.size() != 2) return std::nullopt;
  for (std::string_view type : kHopTypes) {
    if (!endsWith(all[0], type) || all[0].size() < kPrefixColumn + type.size()) continue;
    const std::size_t prefixLength = all[0].size() - type.size();
    if (rest.find_first_not_of(' ', all[0].size()) != prefixLength + kTypeColumn) continue;
    return RouteLine{std::string(all[0].substr(0, prefixLength)), std::string(type),
                     noneAsAbsent(all[1])};
  }
  return std::nullopt;
}

std::vector<RefusedRoute> refusedRoutes(const CapturedLines& lines) {
  std::vector<RefusedRoute> refused;
  std::string table;
  std::optional<RouteLine> last;
  for (const auto& line : lines) {
    if (line.logger != "netscout") continue;
    std::string_view text = line.text;
    if (startsWith(text, kRouteTableLine)) {
      // "  route table: <name>" opens a discovered table; skipped tables never list routes.
      table = text.find(" -- skipped (") != std::string_view::npos
                  ? std::string()
                  : std::string(text.substr(kRouteTableLine.size()));
      last.reset();
      continue;
    }
    if (startsWith(text, kRefusal) && endsWith(text, kSkipped)) {
      if (last && !table.empty()) {
        const std::string_view reason =
            text.substr(kRefusal.size(), text.size() - kRefusal.size() - kSkipped.size());
        refused.push_back(RefusedRoute{table, *last, std::string(reason)});
      }
      last.reset();
      continue;
    }
    if (std::optional<RouteLine> route = parseRouteLine(text)) {
      last = std::move(route);
    } else if (!startsWith(text, "    **")) {
      // Any other line ends the route list; the error line about the default route to None
      // ("    ** ... -- Failed to add ...") keeps the last route, which it does not refuse.
      last.reset();
    }
  }
  return refused;
}

GatewayReport gatewayOf(const CapturedLines& lines) {
  GatewayReport report;
  bool inSection = false;
  for (const auto& line : lines) {
    if (line.logger != "netscout") continue;
    if (line.text == "- Discover VNG") {
      inSection = true;
      report = GatewayReport{true, std::nullopt};
      continue;
    }
    if (!inSection) continue;
    inSection = false;
    // "  <name> <type> (<resource group>)", or "  VNG not found".
    const std::string_view text = line.text;
    if (text == "  VNG not found" || !startsWith(text, "  ")) continue;
    const std::size_t nameEnd = text.find(' ', 2);
    const std::size_t typeEnd =
        nameEnd == std::string_view::npos ? nameEnd : text.find(" (", nameEnd + 1);
    if (typeEnd == std::string_view::npos || !endsWith(text, ")")) continue;
    report.gateway = GatewayLine{
        std::string(text.substr(2, nameEnd - 2)),
        noneAsAbsent(text.substr(nameEnd + 1, typeEnd - nameEnd - 1)),
        std::string(text.substr(typeEnd + 2, text.size() - typeEnd - 3)),
    };
  }
  return report;
}

Finding findingOf(const CapturedLine& line) {
  const std::size_t alert = line.text.find("**Alert**");
  const std::size_t error = line.text.find("**Error**");
  if (alert != std::string::npos || error != std::string::npos)
    return alert < error ? Finding::Alert : Finding::Error;
  return line.level >= spdlog::level::err ? Finding::Error : Finding::None;
}

}  // namespace kxdiscover
