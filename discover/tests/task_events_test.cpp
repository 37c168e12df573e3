// What a worker leaves for the parent: events read back byte for byte (a message holding
// control characters and bytes that are not UTF-8 included), a record cut short by a dying
// worker ending the reading rather than yielding garbage, and VNets through their codec.
#include "run/task_events.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "collab/azure/arm_parse.hpp"

namespace kxdiscover {
namespace {

namespace fs = std::filesystem;
namespace az = collab::azure;

TEST(TaskEventsTest, EventsReadBackExactlyAndStopAtARecordCutShort) {
  const fs::path file = fs::temp_directory_path() / ("kx-events-" + std::to_string(::getpid()));
  const std::string hostile("line\x1b[31m\r\n\xff\xfe\0tail", 19);
  const auto now = std::chrono::system_clock::now();
  const auto steady = std::chrono::steady_clock::now();
  {
    TaskEventWriter writer(file.string());
    writer.line("netscout", spdlog::level::warn, now, hostile);
    writer.step("discover_route_tables", steady);
    writer.problem("subscription s, VNet v: failed");
    writer.line("alert", spdlog::level::err, now, "");
    EXPECT_TRUE(writer.good());
  }
  const auto whole = fs::file_size(file);
  for (const std::uintmax_t cut : {whole, whole - 1}) {
    SCOPED_TRACE(cut);
    fs::resize_file(file, cut);
    TaskEventReader reader(file.string());
    const auto first = reader.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->kind, TaskEvent::Kind::Line);
    EXPECT_EQ(first->logger, "netscout");
    EXPECT_EQ(first->level, spdlog::level::warn);
    EXPECT_EQ(first->text, hostile);
    EXPECT_EQ(first->time,
              std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
    const auto step = reader.next();
    ASSERT_TRUE(step);
    EXPECT_EQ(step->kind, TaskEvent::Kind::Step);
    EXPECT_EQ(step->text, "discover_route_tables");
    const auto problem = reader.next();
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->kind, TaskEvent::Kind::Problem);
    // The last record is whole only in the whole file.
    EXPECT_EQ(reader.next().has_value(), cut == whole);
    EXPECT_FALSE(reader.next());
  }
  fs::remove(file);
  EXPECT_FALSE(TaskEventReader(file.string()).next());
}

TEST(TaskEventsTest, ResultsKeepTheirBytesAndAHalfWrittenOneIsNone) {
  const fs::path file = fs::temp_directory_path() / ("kx-result-" + std::to_string(::getpid()));
  const collab::Json result{{"message", std::string("bad \xff byte")}, {"n", 3}};
  writeTaskResult(file.string(), result);
  EXPECT_EQ(readTaskResult(file.string()), result);
  fs::resize_file(file, fs::file_size(file) - 2);
  EXPECT_FALSE(readTaskResult(file.string()));
  fs::remove(file);
  EXPECT_FALSE(readTaskResult(file.string()));
}

TEST(TaskEventsTest, VnetsTravelWhole) {
  // Real-shaped ARM VNets: optional members present and absent, both prefix forms.
  const std::string page = R"({"value": [
    {"name": "spoke-a", "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/spoke-a",
     "location": "eastus", "properties": {"addressSpace": {"addressPrefixes": ["10.1.0.0/16", "fd00::/48"]},
      "subnets": [
        {"name": "web", "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/spoke-a/subnets/web",
         "properties": {"addressPrefix": "10.1.0.0/24",
          "routeTable": {"id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/routeTables/rt"},
          "networkSecurityGroup": {"id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/networkSecurityGroups/n"},
          "delegations": [{"name": "d", "properties": {"serviceName": "Microsoft.Web/serverFarms"}}],
          "serviceEndpoints": [{"service": "Microsoft.Storage", "locations": ["eastus", "westus"]}]}},
        {"name": "multi", "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/spoke-a/subnets/multi",
         "properties": {"addressPrefixes": ["10.1.1.0/24", "10.1.2.0/24"]}}],
      "virtualNetworkPeerings": [
        {"name": "to-hub", "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/spoke-a/virtualNetworkPeerings/to-hub",
         "properties": {"peeringState": "Connected", "remoteVirtualNetwork": {"id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/hub"}}},
        {"name": "odd", "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/spoke-a/virtualNetworkPeerings/odd",
         "properties": {"remoteVirtualNetwork": {"id": "/subscriptions/t/resourceGroups/r/providers/Microsoft.Network/virtualNetworks/x"}}}]}},
    {"name": "pooled", "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/pooled",
     "location": "eastus", "properties": {
      "subnets": [{"name": "a", "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/pooled/subnets/a",
        "properties": {"delegations": [{"name": "d"}], "serviceEndpoints": [{"locations": []}]}}],
      "virtualNetworkPeerings": [{"name": "p", "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/pooled/virtualNetworkPeerings/p",
        "properties": {}}]}}]})";
  std::vector<az::VirtualNetwork> vnets;
  az::ArmPageParser parser;
  parser.parseVirtualNetworkPage(az::PageBody(page), vnets);
  ASSERT_EQ(vnets.size(), 2u);
  ASSERT_EQ(vnets[0].subnets.size(), 2u);
  ASSERT_TRUE(vnets[0].subnets[0].service_endpoints.has_value());
  // What Azure may leave out stays out on the way: no address space, no remote network, no
  // delegated service, no endpoint service.
  ASSERT_FALSE(vnets[1].address_space.address_prefixes.has_value());
  ASSERT_FALSE(vnets[1].virtual_network_peerings.at(0).remote_virtual_network.has_value());
  for (const auto& vnet : vnets) {
    SCOPED_TRACE(vnet.name);
    const auto bytes = collab::Json::to_cbor(vnetToJson(vnet));
    EXPECT_EQ(vnetFromJson(collab::Json::from_cbor(bytes)), vnet);
  }
}

}  // namespace
}  // namespace kxdiscover
