#pragma once
// The checks a run makes of its files before it sends anything to Azure: no output replaces
// an input or another output, and no name from the configuration leads a Terraform file out
// of `terraform_output`.
#include <optional>
#include <string>
#include <vector>

#include "collab/json.hpp"
#include "common/output_paths.hpp"
#include "report/report.hpp"
#include "run/options.hpp"

namespace kxdiscover {

/// The inputs (configuration, --replay, --previous, --ca-file) and outputs (--json, --html,
/// --record) the command line names.
/// @throws UsageError when an output is the same file as an input or another output.
OutputPaths commandLineFiles(const RunOptions& options);

/// Adds the log files to `files`.
/// @throws OutputPathError when a log file is the same file as another input or output.
void addLogFiles(OutputPaths& files, const RunOutputs& outputs);

/// Why a name of the configuration cannot name a Terraform folder, for the first one that
/// cannot, or absent: each account's folder name (`account_name` with `account_folder`
/// "name", the subscription id otherwise).  A VNet's name is checked where its file is
/// written: one that cannot name a file fails that VNet alone.
std::optional<std::string> terraformNameProblem(const collab::Json& data,
                                                const std::vector<const collab::Json*>& accounts);

/// The extension of the Terraform files.
inline constexpr std::string_view kTerraformExtension = ".tfvars";

}  // namespace kxdiscover
