// Links every installed library and reads the installed reference data.
#include <basekit/common.hpp>
#include <collab/errors.hpp>
#include <netscout/net_scout.hpp>

#include <iostream>

int main() {
  basekit::Common::loadInputJson();  // the installed data folder
  const auto& region = basekit::Common::REGION.at("eastus");
  const auto rg = netscout::NetScout::idComponent("/subscriptions/s/resourceGroups/rg1", 4);
  std::cout << region << ' ' << rg << '\n';
  return region == "East US" && rg == "rg1" ? 0 : 1;
}
