#include "html/html_changes.hpp"

#include <string>

#include "html/html_text.hpp"

namespace kxdiscover {

namespace {

std::string origin(const ReportOrigin& report) {
  std::string text = report.file;
  if (!report.started.empty()) text += " (run started " + report.started + ")";
  return html::isolated(text);
}

}  // namespace

HtmlSection changesSection(const ReportDiff& diff) {
  HtmlSection section{"changes", "Changes since " + diff.older.file, {}};
  std::string& out = section.body;
  out += "<p>Compared with " + origin(diff.older) + ": ";
  if (diff.changes.empty()) {
    out += "no change.</p>";
    return section;
  }
  out += std::to_string(diff.changes.size()) + (diff.changes.size() == 1 ? " change" : " changes") +
         " (<code>+</code> new, <code>-</code> gone, <code>~</code> changed).</p>\n";
  // One table per subscription and VNet group, in the diff's own stable order.
  std::string group;
  bool open = false;
  for (const Change& change : diff.changes) {
    std::string heading = change.accountName.empty() ? change.subscription : change.accountName;
    if (!change.vnet.empty()) heading += " / " + change.vnet;
    if (!open || heading != group) {
      if (open) out += "</tbody></table>\n";
      out += "<h3>" + html::isolated(heading) + "</h3>\n<table class=\"changes\"><tbody>\n";
      group = std::move(heading);
      open = true;
    }
    const char mark = static_cast<char>(change.mark);
    const char* kind = mark == '+' ? "added" : mark == '-' ? "removed" : "changed";
    out += "<tr class=\"change " + std::string(kind) + "\"><td>" +
           html::isolated(changeLine(change)) + "</td></tr>\n";
  }
  out += "</tbody></table>";
  return section;
}

}  // namespace kxdiscover
