#pragma once
// The Resource Manager page readers: any body is read or refused with MalformedResponseError;
// a refused page leaves the caller's vector as it was; and one parser reading the same page
// twice (its buffers reused) gives the same answer both times.
//
// The first byte of the input picks the reader, the rest is the page body.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "collab/azure/arm_parse.hpp"

namespace kx::fuzz {

namespace detail {

struct Reading {
  bool ok = false;
  std::optional<std::string> nextLink;
  std::string error;
};

// Reads `body` into `out` with `read`, keeping the outcome instead of the exception.
template <class Read, class Out>
Reading readPage(Read read, collab::azure::ArmPageParser& parser, std::string_view body, Out& out) {
  const Out before = out;
  Reading reading;
  try {
    reading.nextLink = std::invoke(read, parser, body, out);
    reading.ok = true;
    expect(!reading.nextLink || !reading.nextLink->empty(), "an empty nextLink was handed back");
  } catch (const collab::azure::MalformedResponseError& error) {
    reading.error = error.what();
    expect(out == before, "a refused page changed the caller's items: " + reading.error);
  }
  return reading;
}

template <class Item, class Read>
void checkListReader(Read read, std::string_view body) {
  collab::azure::ArmPageParser parser;
  std::vector<Item> first;
  const Reading one = readPage(read, parser, body, first);
  std::vector<Item> second = first;
  const Reading two = readPage(read, parser, body, second);
  expect(
      one.ok == two.ok && one.error == two.error && one.nextLink == two.nextLink,
      "the same page read twice gave different answers: '" + one.error + "' / '" + two.error + "'");
  if (!one.ok) return;
  expect(second.size() == 2 * first.size() &&
             std::equal(first.begin(), first.end(), second.begin() + first.size()),
         "the second reading of a page appended other items");
}

}  // namespace detail

inline void checkArmPage(std::string_view input) {
  using namespace collab::azure;
  if (input.empty()) return;
  const std::string_view body = input.substr(1);
  switch (static_cast<unsigned char>(input[0]) % 8) {
    case 0:
      return detail::checkListReader<RouteTable>(&ArmPageParser::parseRouteTablePage, body);
    case 1:
      return detail::checkListReader<VirtualNetwork>(&ArmPageParser::parseVirtualNetworkPage, body);
    case 2:
      return detail::checkListReader<VirtualNetworkGateway>(
          &ArmPageParser::parseVirtualNetworkGatewayPage, body);
    case 3:
      return detail::checkListReader<VirtualMachineSize>(
          &ArmPageParser::parseVirtualMachineSizePage, body);
    case 4:
      return detail::checkListReader<ResourceGroup>(&ArmPageParser::parseResourceGroupPage, body);
    case 5:
      return detail::checkListReader<Subscription>(&ArmPageParser::parseSubscriptionPage, body);
    case 6: {
      // Limits are appended to additional_properties["value"], also across pages.
      struct Quota {
        QuotaResult result;
        bool operator==(const Quota& other) const {
          return result.additional_properties == other.result.additional_properties;
        }
      };
      auto read = [](ArmPageParser& p, std::string_view b, Quota& o) {
        return p.parseQuotaPage(b, o.result);
      };
      ArmPageParser parser;
      Quota quota;
      const detail::Reading one = detail::readPage(read, parser, body, quota);
      const collab::Json firstLimits =
          quota.result.additional_properties.value("value", collab::Json::array());
      const detail::Reading two = detail::readPage(read, parser, body, quota);
      expect(one.ok == two.ok && one.error == two.error && one.nextLink == two.nextLink,
             "the same quota page read twice gave different answers");
      if (one.ok) {
        const collab::Json limits =
            quota.result.additional_properties.value("value", collab::Json::array());
        expect(limits.size() == 2 * firstLimits.size(),
               "the second reading of a quota page appended another number of limits");
      }
      return;
    }
    default: {
      ArmPageParser parser;
      std::string answers[2];
      for (auto& answer : answers) {
        try {
          QueryResponse response = parser.parseQueryResponse(body);
          answer = std::to_string(response.total_records) + " " + std::to_string(response.count) +
                   " " + response.data.dump() + " " + response.skip_token.value_or("<none>") + " " +
                   std::to_string(response.result_truncated);
        } catch (const MalformedResponseError& error) {
          answer = std::string("refused: ") + error.what();
        }
      }
      expect(answers[0] == answers[1], "one query answer read twice gave different results");
    }
  }
}

}  // namespace kx::fuzz
