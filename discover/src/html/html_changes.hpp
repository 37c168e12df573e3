#pragma once
// The "changes since" section of the HTML report: what `kx-discover diff` would list between
// an earlier report and the one the page shows, grouped the same way, for reviewers who
// approved the earlier plan.
#include "diff/report_diff.hpp"
#include "html/html_report.hpp"

namespace kxdiscover {

/// The section listing `diff`'s changes (every text escaped), headed by what was compared.
HtmlSection changesSection(const ReportDiff& diff);

}  // namespace kxdiscover
