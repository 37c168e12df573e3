#pragma once
// The HTML report: one self-contained page made from a run's JSON report (docs/report.md),
// for people to look at before a migration.  The page loads nothing (no script, font, image or
// style from elsewhere; its Content-Security-Policy forbids it), prints readably, and shows
// per subscription a Graphviz picture of the VNets and their peerings, then per VNet its
// findings, subnets, peerings, gateways and the route tables to re-create with the routes
// kept and refused.
#include <stdexcept>
#include <string>
#include <vector>

#include "collab/json.hpp"

namespace kxdiscover {

/// A section the caller adds after the summary (for example the changes since an earlier
/// report).  The renderer escapes `title`; `body` is HTML its maker has escaped already.
struct HtmlSection {
  std::string id;  ///< fragment id, made of [a-z0-9-]
  std::string title;
  std::string body;
};

struct HtmlReportOptions {
  std::vector<HtmlSection> extraSections;
};

/// The report is not one this renderer knows (no `schema` member naming a
/// kx-discover-report shape, or not an object).
class HtmlReportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The page for `report`.  Lenient about members a report lacks (an empty list or no text),
/// so reports of later shapes that only add members still render.
/// @throws HtmlReportError for a document that is not a kx-discover report, std::runtime_error
///         when Graphviz cannot lay out a picture.
std::string renderHtmlReport(const collab::Json& report, const HtmlReportOptions& options = {});

}  // namespace kxdiscover
