#pragma once
// `kx-discover diff OLD.json NEW.json [--json]`: what changed between two reports.
#include <memory>

#include "common/cli.hpp"

namespace kxdiscover {

/// Exit statuses of the comparison, for a pipeline that stops before a stale plan.
enum DiffStatus : int {
  kDiffSame = 0,      ///< the reports describe the same estate
  kDiffChanged = 1,   ///< changes were listed
  kDiffUnusable = 2,  ///< usage error, or a report that cannot be read or is of another shape
};

std::unique_ptr<Command> makeDiffCommand();

}  // namespace kxdiscover
