#include "basekit/common.hpp"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "collab/errors.hpp"
#include "collab/json.hpp"

namespace basekit {

collab::OrderedMap<std::string> Common::REGION;
std::vector<std::string> Common::AZURE_SUBNET;

void Common::loadInputJson() {
  const std::string path = get_data_path() + "/azure_data/input.json";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read Azure input file " + path);

  collab::Json doc;
  try {
    doc = collab::Json::parse(in);
  } catch (const collab::Json::parse_error& e) {
    throw std::runtime_error("Azure input file " + path + " is not valid JSON: " + e.what());
  }
  if (!doc.is_object())
    throw std::runtime_error("Azure input file " + path + " is not a JSON object");

  auto member = [&](const char* name) -> const collab::Json& {
    auto it = doc.find(name);
    if (it == doc.end()) throw collab::MissingKeyError(name, "Azure input file " + path);
    return *it;
  };
  const collab::Json& regions = member("REGION");
  const collab::Json& reserved = member("AZURE_SUBNET");

  // Build both before replacing either, so a bad file leaves the old values in place.
  collab::OrderedMap<std::string> newRegions;
  if (!regions.is_object())
    throw collab::WrongTypeError("REGION in Azure input file " + path + " must be an object");
  for (const auto& [name, display] : regions.items()) {
    if (!display.is_string())
      throw collab::WrongTypeError("REGION." + name + " in Azure input file " + path +
                                   " must be a string");
    newRegions.set(name, display.get<std::string>());
  }
  std::vector<std::string> newReserved;
  if (!reserved.is_array())
    throw collab::WrongTypeError("AZURE_SUBNET in Azure input file " + path + " must be a list");
  for (const auto& name : reserved) {
    if (!name.is_string())
      throw collab::WrongTypeError("AZURE_SUBNET in Azure input file " + path +
                                   " must list strings");
    newReserved.push_back(name.get<std::string>());
  }
  REGION = std::move(newRegions);
  AZURE_SUBNET = std::move(newReserved);
}

bool Common::isAzureReservedSubnet(const std::string& subnetName) {
  return std::find(AZURE_SUBNET.begin(), AZURE_SUBNET.end(), subnetName) != AZURE_SUBNET.end();
}

}  // namespace basekit
