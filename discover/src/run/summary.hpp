#pragma once
// The summary a run prints on standard output when it ends.
#include <string>
#include <string_view>

#include "report/report.hpp"

namespace kxdiscover {

/// A run's duration as a person reads it: "42 ms" under a second, "1.9 s" under a minute,
/// then "12 min 05 s" and "1 h 02 min 05 s".
std::string durationText(double seconds);

/// A few aligned lines: the outcome (`status`: completed, failed or interrupted), the figures
/// and where the outputs are.
std::string summaryText(std::string_view status, const RunFigures& figures,
                        const RunOutputs& outputs);

}  // namespace kxdiscover
