#include "collab/azure/management_clients.hpp"

#include <utility>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_parse.hpp"
#include "collab/errors.hpp"
#include "url_text.hpp"

namespace collab::azure {

namespace {

std::shared_ptr<ArmPipeline> makePipeline(std::shared_ptr<TokenCredential> credential,
                                          ArmPipelineOptions options,
                                          std::shared_ptr<Transport> transport) {
  return std::make_shared<ArmPipeline>(std::move(credential), std::move(options),
                                       std::move(transport));
}

// Path segments are encoded whole: resource group names may hold "(", ")" and other
// characters a path must not carry raw.
std::string segment(const std::string& text) { return detail::percentEncode(text); }

std::string subscriptionPath(const std::string& subscriptionId) {
  return "/subscriptions/" + segment(subscriptionId);
}

std::string apiVersion(const char* version) { return std::string("api-version=") + version; }

// Reads every page of a listing into one vector, with one parser for all pages.  A page the
// parser cannot read becomes an ArmError naming the request.
//
// Each page is read into a vector of its own and the pages are joined at the end, moving every
// object once: the objects are not nothrow-movable (their ordered maps hold a std::deque), so a
// vector growing page by page would copy everything read so far at each reallocation.
template <class T>
std::vector<T> collectPages(
    ArmPipeline& arm, const std::string& first,
    std::optional<std::string> (ArmPageParser::*readPage)(PageBody, std::vector<T>&)) {
  std::vector<std::vector<T>> pages;
  std::size_t total = 0;
  ArmPageParser parser;
  arm.forEachPage(first, [&](std::string_view url, HttpResponse&& page) {
    std::vector<T> items;
    std::optional<std::string> next;
    try {
      next = (parser.*readPage)(page.body, items);
    } catch (const MalformedResponseError& error) {
      throw ArmError("GET", url, page, "InvalidResponseBody", error.what());
    }
    total += items.size();
    pages.push_back(std::move(items));
    return next;
  });
  if (pages.size() == 1) return std::move(pages.front());
  std::vector<T> all;
  all.reserve(total);
  for (auto& items : pages) {
    for (auto& item : items) all.push_back(std::move(item));
  }
  return all;
}

}  // namespace

// ---- network ------------------------------------------------------------------------------

RouteTablesOperations::RouteTablesOperations(std::shared_ptr<ArmPipeline> pipeline,
                                             std::string subscriptionId)
    : pipeline_(std::move(pipeline)), subscriptionId_(std::move(subscriptionId)) {}

std::vector<RouteTable> RouteTablesOperations::list_all() {
  return collectPages(*pipeline_,
                      subscriptionPath(subscriptionId_) +
                          "/providers/Microsoft.Network/routeTables?" +
                          apiVersion(kNetworkApiVersion),
                      &ArmPageParser::parseRouteTablePage);
}

VirtualNetworksOperations::VirtualNetworksOperations(std::shared_ptr<ArmPipeline> pipeline,
                                                     std::string subscriptionId)
    : pipeline_(std::move(pipeline)), subscriptionId_(std::move(subscriptionId)) {}

std::vector<VirtualNetwork> VirtualNetworksOperations::list_all() {
  return collectPages(*pipeline_,
                      subscriptionPath(subscriptionId_) +
                          "/providers/Microsoft.Network/virtualNetworks?" +
                          apiVersion(kNetworkApiVersion),
                      &ArmPageParser::parseVirtualNetworkPage);
}

VirtualNetworkGatewaysOperations::VirtualNetworkGatewaysOperations(
    std::shared_ptr<ArmPipeline> pipeline, std::string subscriptionId)
    : pipeline_(std::move(pipeline)), subscriptionId_(std::move(subscriptionId)) {}

std::vector<VirtualNetworkGateway> VirtualNetworkGatewaysOperations::list(
    const std::string& resource_group_name) {
  return collectPages(
      *pipeline_,
      subscriptionPath(subscriptionId_) + "/resourceGroups/" + segment(resource_group_name) +
          "/providers/Microsoft.Network/virtualNetworkGateways?" + apiVersion(kNetworkApiVersion),
      &ArmPageParser::parseVirtualNetworkGatewayPage);
}

NetworkManagementClient::NetworkManagementClient(std::shared_ptr<TokenCredential> credential,
                                                 std::string subscriptionId,
                                                 ArmPipelineOptions options,
                                                 std::shared_ptr<Transport> transport)
    : NetworkManagementClient(
          makePipeline(std::move(credential), std::move(options), std::move(transport)),
          std::move(subscriptionId)) {}

NetworkManagementClient::NetworkManagementClient(std::shared_ptr<ArmPipeline> pipeline,
                                                 std::string subscriptionId)
    : route_tables(pipeline, subscriptionId),
      virtual_networks(pipeline, subscriptionId),
      virtual_network_gateways(pipeline, subscriptionId) {}

// ---- compute ------------------------------------------------------------------------------

VirtualMachineSizesOperations::VirtualMachineSizesOperations(std::shared_ptr<ArmPipeline> pipeline,
                                                             std::string subscriptionId)
    : pipeline_(std::move(pipeline)), subscriptionId_(std::move(subscriptionId)) {}

std::vector<VirtualMachineSize> VirtualMachineSizesOperations::list(const std::string& location) {
  return collectPages(*pipeline_,
                      subscriptionPath(subscriptionId_) +
                          "/providers/Microsoft.Compute/locations/" + segment(location) +
                          "/vmSizes?" + apiVersion(kComputeApiVersion),
                      &ArmPageParser::parseVirtualMachineSizePage);
}

ComputeManagementClient::ComputeManagementClient(std::shared_ptr<TokenCredential> credential,
                                                 std::string subscriptionId,
                                                 ArmPipelineOptions options,
                                                 std::shared_ptr<Transport> transport)
    : virtual_machine_sizes(
          makePipeline(std::move(credential), std::move(options), std::move(transport)),
          std::move(subscriptionId)) {}

// ---- resources ----------------------------------------------------------------------------

ResourceGroupsOperations::ResourceGroupsOperations(std::shared_ptr<ArmPipeline> pipeline,
                                                   std::string subscriptionId)
    : pipeline_(std::move(pipeline)), subscriptionId_(std::move(subscriptionId)) {}

std::vector<ResourceGroup> ResourceGroupsOperations::list() {
  return collectPages(
      *pipeline_,
      subscriptionPath(subscriptionId_) + "/resourcegroups?" + apiVersion(kResourcesApiVersion),
      &ArmPageParser::parseResourceGroupPage);
}

ResourceManagementClient::ResourceManagementClient(std::shared_ptr<TokenCredential> credential,
                                                   std::string subscriptionId,
                                                   ArmPipelineOptions options,
                                                   std::shared_ptr<Transport> transport)
    : resource_groups(makePipeline(std::move(credential), std::move(options), std::move(transport)),
                      std::move(subscriptionId)) {}

// ---- Resource Graph -----------------------------------------------------------------------

ResourceGraphClient::ResourceGraphClient(std::shared_ptr<TokenCredential> credential,
                                         ArmPipelineOptions options,
                                         std::shared_ptr<Transport> transport)
    : pipeline_(makePipeline(std::move(credential), std::move(options), std::move(transport))) {}

QueryResponse ResourceGraphClient::resources(const QueryRequest& request) {
  const std::string target = std::string("/providers/Microsoft.ResourceGraph/resources?") +
                             apiVersion(kResourceGraphApiVersion);
  // A query is a read, so the pipeline may repeat it after a throttled or failed attempt.
  HttpResponse answer = pipeline_->post(target, serializeQueryRequest(request));
  try {
    return ArmPageParser().parseQueryResponse(answer.body);
  } catch (const MalformedResponseError& error) {
    throw ArmError("POST", pipeline_->resolve(target), answer, "InvalidResponseBody", error.what());
  }
}

// ---- quota --------------------------------------------------------------------------------

QuotaOperations::QuotaOperations(std::shared_ptr<ArmPipeline> pipeline)
    : pipeline_(std::move(pipeline)) {}

QuotaResult QuotaOperations::get(const std::string& subscription_id, const std::string& provider_id,
                                 const std::string& location, const std::string& resource_name) {
  // With an empty name Azure serves the collection (the SDK's ".../serviceLimits/" lands
  // there too); asking for the collection itself also lets its pages be followed.
  std::string target = subscriptionPath(subscription_id) +
                       "/providers/Microsoft.Capacity/resourceProviders/" + segment(provider_id) +
                       "/locations/" + segment(location) + "/serviceLimits";
  if (!resource_name.empty()) target += "/" + segment(resource_name);
  target += "?" + apiVersion(kCapacityApiVersion);

  QuotaResult result;
  result.additional_properties["value"] = Json::array();
  ArmPageParser parser;
  pipeline_->forEachPage(target, [&](std::string_view url, HttpResponse&& page) {
    try {
      return parser.parseQuotaPage(page.body, result);
    } catch (const MalformedResponseError& error) {
      throw ArmError("GET", url, page, "InvalidResponseBody", error.what());
    }
  });
  return result;
}

AzureReservationAPI::AzureReservationAPI(std::shared_ptr<TokenCredential> credential,
                                         ArmPipelineOptions options,
                                         std::shared_ptr<Transport> transport)
    : quota(makePipeline(std::move(credential), std::move(options), std::move(transport))) {}

}  // namespace collab::azure
