#pragma once
// Sources of bearer tokens for Azure Resource Manager.
#include <chrono>
#include <string>

#include "collab/export.hpp"

namespace collab::azure {

struct AccessToken {
  std::string token;
  std::chrono::system_clock::time_point expiresOn;
};

/// Something that can hand out an ARM bearer token.
class COLLAB_EXPORT TokenCredential {
 public:
  virtual ~TokenCredential();
  /// A token valid for a while yet.  `forceRefresh` asks for a new one even if the current one
  /// looks valid (ARM answered 401 to it).
  virtual AccessToken getToken(bool forceRefresh = false) = 0;
};

/// A token obtained elsewhere and handed in as text; it is never refreshed.
class COLLAB_EXPORT StaticTokenCredential final : public TokenCredential {
 public:
  explicit StaticTokenCredential(std::string token);
  AccessToken getToken(bool forceRefresh = false) override;

 private:
  std::string token_;
};

}  // namespace collab::azure
