#pragma once
// The summary a run prints on standard output when it ends.
#include <string>
#include <string_view>

#include "report.hpp"

namespace kxdiscover {

/// A few aligned lines: the outcome (`status`: completed, failed or interrupted), the figures
/// and where the outputs are.
std::string summaryText(std::string_view status, const RunFigures& figures,
                        const RunOutputs& outputs);

}  // namespace kxdiscover
