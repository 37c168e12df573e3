#include "collab/azure/arm_requests.hpp"

#include <utility>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/learned_routes.hpp"
#include "collab/azure/token_credential.hpp"
#include "collab/errors.hpp"
#include "text_util.hpp"

namespace collab::azure {

namespace {

// The body of a 2xx answer that must hold JSON.
Json jsonBody(std::string_view method, std::string_view url, const HttpResponse& answer,
              std::string_view what) {
  Json doc = Json::parse(answer.body, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) {
    std::string content(detail::trimBlank(answer.body));
    throw ArmError(
        method, url, answer, "InvalidResponseBody",
        std::string(what) + " is not JSON: " +
            (content.empty() ? std::string("(empty body)") : detail::oneLine(content, 200)));
  }
  return doc;
}

const std::string& textMember(const Json& map, const char* key, const char* where) {
  auto it = map.is_object() ? map.find(key) : map.end();
  if (it == map.end()) throw MissingKeyError(key, where);
  if (!it->is_string()) {
    throw WrongTypeError(std::string("'") + key + "' of the " + where + " is a JSON " +
                         it->type_name() + ", expected text");
  }
  return it->get_ref<const std::string&>();
}

}  // namespace

Json requestSubscriptions(const std::string& accessToken, ArmPipelineOptions options,
                          std::shared_ptr<Transport> transport) {
  ArmPipeline arm(std::make_shared<StaticTokenCredential>(accessToken), std::move(options),
                  std::move(transport));
  Json entries = Json::array();
  arm.forEachPage(
      std::string("/subscriptions/?api-version=") + kSubscriptionsApiVersion,
      [&](std::string_view url, HttpResponse&& page) -> std::optional<std::string> {
        Json doc = jsonBody("GET", url, page, "subscription list");
        auto value = doc.is_object() ? doc.find("value") : doc.end();
        if (value == doc.end()) throw MissingKeyError("value", "subscription list");
        if (!value->is_array()) {
          throw WrongTypeError(std::string("'value' of the subscription list is a JSON ") +
                               value->type_name() + ", expected a list");
        }
        for (auto& entry : *value) entries.push_back(std::move(entry));
        return ArmPipeline::nextLinkOf(doc);
      });
  return entries;
}

std::optional<Json> requestLearnedRoutes(const std::string& accessToken,
                                         const std::string& subscriptionId,
                                         const std::string& resourceGroup,
                                         const std::string& gatewayName, ArmPipelineOptions options,
                                         std::shared_ptr<Transport> transport) {
  ArmPipeline arm(std::make_shared<StaticTokenCredential>(accessToken), std::move(options),
                  std::move(transport));
  const std::string target = learnedRoutesPath(subscriptionId, resourceGroup, gatewayName);
  // An action rather than a read: only a throttled attempt, which Azure refused before doing
  // anything, is repeated.
  HttpResponse answer = arm.send("POST", target, std::nullopt, /*repeatable=*/false);
  // Accepted: the result would have to be polled for, and nothing of it is read.
  if (answer.status == 202 || answer.status == 204) return std::nullopt;
  return jsonBody("POST", arm.resolve(target), answer, "learned-routes answer");
}

std::optional<Json> requestLearnedRoutes(const Json& credential, const std::string& resourceGroup,
                                         const std::string& gatewayName) {
  const char* where = "learned-routes credential";
  const std::string& subscriptionId = textMember(credential, "subscription_id", where);
  const std::string& accessToken = textMember(credential, "accessToken", where);
  return requestLearnedRoutes(accessToken, subscriptionId, resourceGroup, gatewayName);
}

}  // namespace collab::azure
