#include "run/summary.hpp"

#include <fmt/format.h>

#include <cmath>
#include <filesystem>
#include <set>

#include "collab/log_text.hpp"

namespace kxdiscover {

namespace {

// The folders that hold the Terraform files, each once, in the order first written.
std::string terraformFolders(const std::vector<std::string>& files) {
  std::set<std::string> seen;
  std::string out;
  for (const auto& file : files) {
    const std::string folder = std::filesystem::path(file).parent_path().string();
    if (!seen.insert(folder).second) continue;
    if (!out.empty()) out += ", ";
    out += folder + "/";
  }
  return out;
}

}  // namespace

std::string durationText(double seconds) {
  const long long ms = std::llround(seconds * 1000);
  if (ms < 1000) return fmt::format("{} ms", ms);
  if (ms < 59950) return fmt::format("{:.1f} s", static_cast<double>(ms) / 1000);
  const long long s = std::llround(seconds);
  if (s < 3600) return fmt::format("{} min {:02} s", s / 60, s % 60);
  return fmt::format("{} h {:02} min {:02} s", s / 3600, s / 60 % 60, s % 60);
}

std::string summaryText(std::string_view status, const RunFigures& f, const RunOutputs& o) {
  std::string out;
  auto line = [&](std::string_view label, const std::string& value) {
    out += fmt::format("  {:<16}{}\n", label, collab::escapeControls(value));
  };
  out += fmt::format("kx-discover: discovery {}\n", status);
  std::string subscriptions = std::to_string(f.subscriptions);
  if (f.subscriptionsFailed) subscriptions += fmt::format(" ({} failed)", f.subscriptionsFailed);
  line("subscriptions", subscriptions);
  std::string vnets = fmt::format("{} discovered", f.vnetsDiscovered);
  if (f.vnetsNotFound) vnets += fmt::format(", {} not found", f.vnetsNotFound);
  if (f.vnetsFailed) vnets += fmt::format(", {} failed", f.vnetsFailed);
  if (f.vnetsSkipped) vnets += fmt::format(", {} skipped", f.vnetsSkipped);
  line("VNets", vnets);
  line("route tables", std::to_string(f.routeTables));
  line("routes", fmt::format("{} kept, {} refused", f.routesKept, f.routesRefused));
  line("alerts", std::to_string(f.alerts));
  line("errors", std::to_string(f.errors));
  line("Azure requests", fmt::format("{} ({} retries)", f.requests, f.retries));
  line("time", durationText(f.seconds));
  line("logs", o.mainLog + ", " + o.alertLog);
  line("terraform", o.terraformFiles.empty()
                        ? std::string("none written")
                        : fmt::format("{} file(s) in {}", o.terraformFiles.size(),
                                      terraformFolders(o.terraformFiles)));
  if (o.report) line("report", *o.report);
  if (o.html) line("html report", *o.html);
  if (o.cassette) line("cassette", *o.cassette);
  return out;
}

}  // namespace kxdiscover
