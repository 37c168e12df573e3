#include "report/log_reading.hpp"

#include <algorithm>
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

std::optional<std::string> noneAsAbsent(std::string_view text) {
  if (text == "None") return std::nullopt;
  return std::string(text);
}

}  // namespace

std::optional<RouteLine> parseRouteLine(std::string_view text) {
  if (!startsWith(text, "    ")) return std::nullopt;
  const std::string_view rest = text.substr(kIndent);
  if (rest.empty() || rest.front() == ' ') return std::nullopt;

  // The hop type starts at column 25, or right after a prefix that fills its column; it is
  // padded to 30 and followed by the IP.  The first place where one of Azure's hop types
  // stands so is the split: a prefix from outside may hold blanks (escaped control
  // characters too), so the columns cannot be split at blanks.
  for (std::size_t at = kPrefixColumn; at < rest.size(); ++at) {
    if (at > kPrefixColumn && rest[at - 1] == ' ') continue;
    for (std::string_view type : kHopTypes) {
      if (rest.substr(at, type.size()) != type) continue;
      const std::size_t ip = at + kTypeColumn;
      if (ip >= rest.size() || rest[ip] == ' ') continue;
      if (rest.find_first_not_of(' ', at + type.size()) != ip) continue;
      std::string_view prefix = rest.substr(0, at);
      prefix.remove_suffix(prefix.size() - (prefix.find_last_not_of(' ') + 1));
      return RouteLine{std::string(prefix), std::string(type), noneAsAbsent(rest.substr(ip))};
    }
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
  std::string_view text = line.text;
  text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
  if (startsWith(text, "**Alert**")) return Finding::Alert;
  if (startsWith(text, "**Error**")) return Finding::Error;
  return line.level >= spdlog::level::err ? Finding::Error : Finding::None;
}

}  // namespace kxdiscover
