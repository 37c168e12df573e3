#pragma once
// The cross-cloud base of the configuration class: what every cloud's Common shares.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab::CrossCloudBasekit {

class COLLAB_EXPORT Common {
 public:
  /// Longest gateway name this tool derives.  Azure limits virtual machine names to 64
  /// characters and the gateway's own resources (its NIC, public IP and disk) are named by
  /// appending up to 14 characters to the gateway name, so 50 keeps all of them within limits.
  static constexpr std::size_t VPC_NAME_MAX_LENGTH = 50;

  /// The installation's data folder: the one set by setDataPath, or the folder the libraries
  /// were installed with.  Never read from the environment.
  static std::string get_data_path();
  /// Points the data folder elsewhere (the driver's --data-dir, tests).  An empty optional
  /// restores the installed default.
  static void setDataPath(std::optional<std::string> path);

  /// True when `value` is a boolean.  Otherwise logs at error, through the basekit logger,
  /// "Invalid <scope> option <key>: <value>. Valid input is a boolean" (the value in its
  /// quoted form, e.g. 'yes') and returns false.
  static bool validateBoolean(std::string_view scope, std::string_view key, const Json& value);
  /// The same for texts: "... Valid input is a string".
  static bool validateString(std::string_view scope, std::string_view key, const Json& value);

  /// The spoke gateway's name for the VNet `vnetName`.  A non-empty `spoke_gw_name` in the
  /// VNet's entry of `vnetInYaml` (the map of VNet name to VNet entry) is used as given.
  /// Otherwise the name is derived: the VNet name, with every run of characters other than
  /// ASCII letters, digits and "-" turned into one "-" and leading/trailing "-" removed,
  /// followed by "-spoke-gw".  When that exceeds `maxLength`, the VNet part is cut short and
  /// followed by "-" and four hex digits of a hash of the full VNet name, so two long names
  /// that share a beginning still give different gateways:
  ///   "hub" -> "hub-spoke-gw"
  ///   a 60-character name -> "<its first 36 characters>-1f3a-spoke-gw" (50 characters)
  /// @throws WrongTypeError when the configured name is not a text.
  /// @throws InvalidValueError when the VNet name has no usable character or `maxLength`
  ///         leaves no room for one.
  static std::string getSpokeGatewayName(const Json& vnetInYaml, const std::string& vnetName,
                                         std::size_t maxLength);
  /// The transit gateway's name: `transit_gw_name` of the VNet's entry when configured, else
  /// derived as above with the ending "-transit-gw" within VPC_NAME_MAX_LENGTH.
  static std::string getTransitGatewayName(const Json& vnetInYaml, const std::string& vnetName);
  /// The spoke gateway's tags: the map `spoke_gw_tags` of the VNet's entry (tag name to
  /// value), or an empty map when none is configured.
  /// @throws WrongTypeError when the configured tags are not a map.
  static Json getSpokeGatewayTags(const Json& vnetInYaml, const std::string& vnetName);

 protected:
  Common() = default;
};

}  // namespace collab::CrossCloudBasekit
