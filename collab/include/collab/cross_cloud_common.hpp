#pragma once
// The cross-cloud base of the configuration class: what every cloud's Common shares.
#include <optional>
#include <string>

#include "collab/export.hpp"

namespace collab::CrossCloudBasekit {

class COLLAB_EXPORT Common {
 public:
  /// The installation's data folder: the one set by setDataPath, or the folder the libraries
  /// were installed with.  Never read from the environment.
  static std::string get_data_path();
  /// Points the data folder elsewhere (the driver's --data-dir, tests).  An empty optional
  /// restores the installed default.
  static void setDataPath(std::optional<std::string> path);

 protected:
  Common() = default;
};

}  // namespace collab::CrossCloudBasekit
