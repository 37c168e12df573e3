#pragma once
// The typed Azure management clients the discovery uses: network, compute, resources,
// Resource Graph and quota.
//
// Each client is meant to be built by the operation that needs it, from the credential object
// of `AzureCredential`, and dropped when that operation ends; nothing Azure answers is kept
// in a client between calls.  A client reads the endpoints (and, unless one is given, the
// default transport) in force when it is built.
//
// List operations collect the whole answer before returning: every page, following the next
// links Azure gives (on the Resource Manager endpoint only, see `ArmPipeline::forEachPage`),
// in Azure's order.  Pages are read straight into the typed objects (`ArmPageParser`).
//
// Failures:
//   - `ArmError` for a non-2xx answer (after the pipeline's retries), carrying the ARM code
//     and message; also, with code "InvalidResponseBody", for a 2xx answer that cannot be read
//     as what was asked for (the message names the member at fault);
//   - `TransportError` when no answer could be obtained;
//   - whatever the credential raises when it cannot get a token (`AuthenticationError`).
#include <memory>
#include <string>
#include <vector>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/resources.hpp"
#include "collab/azure/route_table.hpp"
#include "collab/azure/token_credential.hpp"
#include "collab/azure/transport.hpp"
#include "collab/azure/virtual_network.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// api-versions the clients speak.
inline constexpr const char* kNetworkApiVersion = "2024-05-01";
inline constexpr const char* kComputeApiVersion = "2024-07-01";
inline constexpr const char* kResourcesApiVersion = "2021-04-01";
inline constexpr const char* kResourceGraphApiVersion = "2021-03-01";
inline constexpr const char* kCapacityApiVersion = "2020-10-25";

/// `routeTables` of one subscription.
class COLLAB_EXPORT RouteTablesOperations {
 public:
  RouteTablesOperations(std::shared_ptr<ArmPipeline> pipeline, std::string subscriptionId);
  /// Every route table of the subscription.
  std::vector<RouteTable> list_all();

 private:
  std::shared_ptr<ArmPipeline> pipeline_;
  std::string subscriptionId_;
};

/// `virtualNetworks` of one subscription, with their subnets and peerings.
class COLLAB_EXPORT VirtualNetworksOperations {
 public:
  VirtualNetworksOperations(std::shared_ptr<ArmPipeline> pipeline, std::string subscriptionId);
  /// Every VNet of the subscription.
  std::vector<VirtualNetwork> list_all();

 private:
  std::shared_ptr<ArmPipeline> pipeline_;
  std::string subscriptionId_;
};

/// `virtualNetworkGateways`, which Azure lists per resource group only.
class COLLAB_EXPORT VirtualNetworkGatewaysOperations {
 public:
  VirtualNetworkGatewaysOperations(std::shared_ptr<ArmPipeline> pipeline,
                                   std::string subscriptionId);
  /// The gateways of `resource_group_name`.
  std::vector<VirtualNetworkGateway> list(const std::string& resource_group_name);

 private:
  std::shared_ptr<ArmPipeline> pipeline_;
  std::string subscriptionId_;
};

/// Microsoft.Network of one subscription.
class COLLAB_EXPORT NetworkManagementClient {
 public:
  /// A null `transport` means the default transport.
  NetworkManagementClient(std::shared_ptr<TokenCredential> credential, std::string subscriptionId,
                          ArmPipelineOptions options = {},
                          std::shared_ptr<Transport> transport = nullptr);

  RouteTablesOperations route_tables;
  VirtualNetworksOperations virtual_networks;
  VirtualNetworkGatewaysOperations virtual_network_gateways;

 private:
  NetworkManagementClient(std::shared_ptr<ArmPipeline> pipeline, std::string subscriptionId);
};

/// `vmSizes` of a location.
class COLLAB_EXPORT VirtualMachineSizesOperations {
 public:
  VirtualMachineSizesOperations(std::shared_ptr<ArmPipeline> pipeline, std::string subscriptionId);
  /// The VM sizes offered in `location` (a short region name such as "eastus").
  std::vector<VirtualMachineSize> list(const std::string& location);

 private:
  std::shared_ptr<ArmPipeline> pipeline_;
  std::string subscriptionId_;
};

/// Microsoft.Compute of one subscription.
class COLLAB_EXPORT ComputeManagementClient {
 public:
  ComputeManagementClient(std::shared_ptr<TokenCredential> credential, std::string subscriptionId,
                          ArmPipelineOptions options = {},
                          std::shared_ptr<Transport> transport = nullptr);

  VirtualMachineSizesOperations virtual_machine_sizes;
};

/// `resourcegroups` of one subscription.
class COLLAB_EXPORT ResourceGroupsOperations {
 public:
  ResourceGroupsOperations(std::shared_ptr<ArmPipeline> pipeline, std::string subscriptionId);
  /// Every resource group of the subscription.
  std::vector<ResourceGroup> list();

 private:
  std::shared_ptr<ArmPipeline> pipeline_;
  std::string subscriptionId_;
};

/// Microsoft.Resources of one subscription.
class COLLAB_EXPORT ResourceManagementClient {
 public:
  ResourceManagementClient(std::shared_ptr<TokenCredential> credential, std::string subscriptionId,
                           ArmPipelineOptions options = {},
                           std::shared_ptr<Transport> transport = nullptr);

  ResourceGroupsOperations resource_groups;
};

/// Azure Resource Graph; the subscriptions to search are named in each request.
class COLLAB_EXPORT ResourceGraphClient {
 public:
  explicit ResourceGraphClient(std::shared_ptr<TokenCredential> credential,
                               ArmPipelineOptions options = {},
                               std::shared_ptr<Transport> transport = nullptr);

  /// Runs `request` once and returns that one answer page.  A continuation is not followed:
  /// the answer's `skip_token` tells whether more rows exist, and a caller that wants them
  /// asks again with `options.skip_token` set.
  QueryResponse resources(const QueryRequest& request);

 private:
  std::shared_ptr<ArmPipeline> pipeline_;
};

/// Microsoft.Capacity service limits.
class COLLAB_EXPORT QuotaOperations {
 public:
  explicit QuotaOperations(std::shared_ptr<ArmPipeline> pipeline);
  /// The service limits of `provider_id` (e.g. "Microsoft.Compute") in `location`.  An empty
  /// `resource_name` asks for all of them (every page), a name for that one limit; either way
  /// the limits land in `additional_properties["value"]` (see `ArmPageParser::parseQuotaPage`).
  QuotaResult get(const std::string& subscription_id, const std::string& provider_id,
                  const std::string& location, const std::string& resource_name);

 private:
  std::shared_ptr<ArmPipeline> pipeline_;
};

/// The reservation API's quota interface.
class COLLAB_EXPORT AzureReservationAPI {
 public:
  explicit AzureReservationAPI(std::shared_ptr<TokenCredential> credential,
                               ArmPipelineOptions options = {},
                               std::shared_ptr<Transport> transport = nullptr);

  QuotaOperations quota;
};

}  // namespace collab::azure
