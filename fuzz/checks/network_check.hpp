#pragma once
// Network parsing: any text is either a network or refused with InvalidValueError, and a
// network's canonical text parses back to the same network and the same text.
#include <string>
#include <string_view>

#include "check.hpp"
#include "collab/errors.hpp"
#include "pathbook/network.hpp"

namespace kx::fuzz {

inline void checkNetwork(std::string_view text) {
  using pathbook::Network;
  const std::optional<Network> network = Network::tryParse(text);
  try {
    const Network parsed = Network::parse(text);
    expect(network && parsed == *network, "parse and tryParse give different answers");
  } catch (const collab::InvalidValueError&) {
    expect(!network, "parse refused a text tryParse accepts");
  }
  if (!network) return;

  const std::string canonical = network->toString();
  std::string appended = "x";
  network->appendTo(appended);
  expect(appended == "x" + canonical, "appendTo and toString differ: " + canonical);
  const std::optional<Network> again = Network::tryParse(canonical);
  expect(again.has_value(), "the canonical text does not parse: " + canonical);
  expect(*again == *network, "the canonical text is another network: " + canonical);
  expect(again->toString() == canonical, "the canonical text is not canonical: " + canonical);

  expect(network->prefixLength() >= 0 && network->prefixLength() <= network->maxPrefixLength(),
         "prefix length out of range: " + canonical);
  expect(!(network->broadcastAddress() < network->networkAddress()),
         "broadcast address below network address: " + canonical);
  expect(Network::isSubnetOf(*network, *network), "a network is not inside itself: " + canonical);
}

}  // namespace kx::fuzz
