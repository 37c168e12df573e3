#pragma once
// The style sheet of the HTML report and the legend of its pictures: system fonts only (no
// web font), colours that survive printing in black and white by weight and dashes as well.
namespace kxdiscover::html {

inline constexpr const char* kStyle = R"css(
:root { --ink: #263238; --muted: #546e7a; --line: #cfd8dc; --alert: #c62828;
        --alert-bg: #ffebee; --cross: #6a1b9a; }
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto,
       "Helvetica Neue", Arial, sans-serif; color: var(--ink); background: #fafafa;
       overflow-wrap: anywhere; }
header, main, nav.contents { max-width: 1280px; margin: 0 auto; padding: 0 24px; }
header { padding-top: 16px; }
h1 { font-size: 24px; margin: 8px 0; }
h2 { font-size: 19px; margin: 28px 0 8px; border-bottom: 2px solid var(--line); }
h3 { font-size: 16px; margin: 0 0 6px; }
h4 { font-size: 14px; margin: 14px 0 4px; }
h5 { font-size: 13px; margin: 0 0 4px; }
code { font: 12px/1.3 ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace;
       word-break: break-all; }
a { color: #1565c0; }
.meta { color: var(--muted); margin: 4px 0; }
.none { color: var(--muted); font-style: italic; }
.badge { display: inline-block; font-size: 12px; font-weight: 600; padding: 1px 8px;
         border-radius: 10px; vertical-align: middle; background: #e0f2f1; color: #00695c; }
.badge.status-failed, .badge.status-interrupted,
.badge.status-refused, .badge.status-timed_out { background: var(--alert-bg); color: var(--alert); }
.badge.status-not_found, .badge.status-skipped { background: #eceff1; color: var(--muted); }
nav.contents h2 { font-size: 15px; }
nav.contents ul { margin: 0; padding-left: 18px; }
nav.contents ul.vnet-list { columns: 3 220px; padding-left: 18px; }
.count { background: var(--alert-bg); color: var(--alert); border-radius: 8px; padding: 0 6px;
         font-size: 12px; }
table { border-collapse: collapse; margin: 4px 0 8px; background: #fff; max-width: 100%; }
th, td { border: 1px solid var(--line); padding: 2px 8px; text-align: left; vertical-align: top; }
thead th, caption { background: #eceff1; }
caption { text-align: left; font-weight: 600; padding: 2px 8px; border: 1px solid var(--line);
          border-bottom: 0; }
table.figures th { font-weight: 600; }
dl.facts { display: grid; grid-template-columns: max-content 1fr; gap: 2px 12px; margin: 4px 0; }
dl.facts dt { color: var(--muted); }
dl.facts dd { margin: 0; }
ul.findings { list-style: none; padding: 0; margin: 6px 0; }
li.finding { padding: 3px 8px; margin: 2px 0; border-left: 4px solid #ffb300; background: #fff8e1; }
li.finding.error, li.finding.failure { border-left-color: var(--alert); background: var(--alert-bg); }
li.finding .kind { font-weight: 700; text-transform: uppercase; font-size: 11px; }
li.finding .where { font-weight: 600; }
li.finding .text { white-space: pre-wrap; }
section.subscription { margin-top: 24px; }
section.vnet { background: #fff; border: 1px solid var(--line); border-left: 6px solid #90a4ae;
               padding: 10px 14px; margin: 14px 0; }
section.vnet.flagged { border-left-color: var(--alert); }
section.route-table { border-top: 1px dashed var(--line); padding: 8px 0 0 12px; margin: 8px 0; }
td.reason { color: var(--alert); }
td.state-connected { color: #2e7d32; }
td.state-initiated, td.state-disconnected { color: var(--alert); font-weight: 600; }
.mark { padding: 0 6px; border-radius: 4px; }
.mark.gw-vpn { background: #bbdefb; }
.mark.gw-expressroute { background: #d1c4e9; }
.mark.migrated { background: #ffe0b2; }
figure.topology { margin: 10px 0; }
figure.topology .picture { overflow: auto; max-height: 85vh; background: #fff;
                           border: 1px solid var(--line); padding: 8px; }
figure.topology svg { display: block; max-width: 100%; height: auto; }
/* Graphviz sizes the boxes with Helvetica's metrics: the same, or a narrower, face. */
figure.topology svg text { font-family: Helvetica, Arial, "Liberation Sans",
                           "DejaVu Sans Condensed", sans-serif; }
figure.topology g.node a:hover polygon, figure.topology g.node a:focus polygon { fill: #e3f2fd; }
figcaption { color: var(--muted); font-size: 12px; margin-top: 4px; }
.key { display: inline-block; padding: 0 6px; border: 1px solid var(--ink); border-radius: 4px;
       margin-right: 4px; color: var(--ink); }
.key.flagged { border: 3px solid var(--alert); background: var(--alert-bg); }
.key.remote { border: 1px dashed var(--muted); color: var(--muted); font-style: italic; }
.key.vpn { background: #bbdefb; border-color: transparent; }
.key.er { background: #d1c4e9; border-color: transparent; }
.key.migrated { background: #ffe0b2; border-color: transparent; }
.line { display: inline-block; width: 28px; margin: 0 4px 3px 8px; border-top: 2px solid var(--ink); }
.line.cross { border-top: 2px dashed var(--cross); }
.line.down { border-top: 3px solid var(--alert); }
@page { margin: 12mm; }
@media print {
  body { background: #fff; font-size: 11px; }
  nav.contents, figure.topology g.node a:hover polygon { display: none; }
  header, main { max-width: none; padding: 0; }
  a { color: inherit; text-decoration: none; }
  figure.topology .picture { overflow: visible; max-height: none; border: 0; padding: 0; }
  /* Each picture on one page with its heading, scaled to fit the page. */
  figure.topology { break-inside: avoid; }
  figure.topology svg { min-width: 0 !important; max-width: 100%; max-height: 21cm;
                        width: auto; height: auto; }
  section.vnet { break-inside: avoid; border-left-width: 3px; }
  section.subscription { break-before: page; }
  h2, h3, h4, h5 { break-after: avoid; }
  table { break-inside: auto; } tr { break-inside: avoid; }
}
)css";

inline constexpr const char* kLegend =
    "<span class=\"key\">VNet</span> (name, address space, region; click for its section) "
    "<span class=\"key flagged\">with alerts or errors</span> "
    "<span class=\"key remote\">beyond the subscription</span> "
    "<span class=\"key vpn\">VPN gateway</span> "
    "<span class=\"key er\">ExpressRoute gateway</span> "
    "<span class=\"key migrated\">spoke gateway: migrated before</span> "
    "<span class=\"line\"></span>peering, with its state "
    "<span class=\"line cross\"></span>to another subscription "
    "<span class=\"line down\"></span>not Connected (each side's state at its end). "
    "A hub's many spokes hang in columns from one line; where the two sides of such a "
    "peering differ, its label gives the hub's side first.";

}  // namespace kxdiscover::html
