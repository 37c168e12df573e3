#include "run/run_files.hpp"

#include <algorithm>
#include <cctype>

#include "collab/log_text.hpp"
#include "collab/text_form.hpp"
#include "common/file_names.hpp"

namespace kxdiscover {

using collab::Json;

OutputPaths commandLineFiles(const RunOptions& options) {
  OutputPaths files;
  files.input("the configuration", options.config);
  const std::pair<const char*, const std::optional<std::string>*> inputs[] = {
      {"the cassette to replay (--replay)", &options.replay},
      {"the earlier report (--previous)", &options.previous},
      {"the CA file (--ca-file)", &options.caFile},
  };
  for (const auto& [what, path] : inputs)
    if (*path) files.input(what, **path);
  const std::pair<const char*, const std::optional<std::string>*> outputs[] = {
      {"the report (--json)", &options.json},
      {"the HTML report (--html)", &options.html},
      {"the cassette (--record)", &options.record},
  };
  try {
    for (const auto& [what, path] : outputs)
      if (*path) files.output(what, **path);
  } catch (const OutputPathError& e) {
    throw UsageError(e.what());
  }
  return files;
}

void addLogFiles(OutputPaths& files, const RunOutputs& outputs) {
  files.output("the log", outputs.mainLog);
  files.output("the alert log", outputs.alertLog);
}

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string shown(const std::string& text) { return "'" + collab::escapeControls(text) + "'"; }

}  // namespace

std::optional<std::string> terraformNameProblem(const Json& data,
                                                const std::vector<const Json*>& accounts) {
  // The folder is named as Common::getTargetLocation names it: by account name when
  // account_folder says "name" (in any case), by subscription id otherwise.
  const Json terraform = data.value("terraform", Json::object());
  const Json how = terraform.is_object() ? terraform.value("account_folder", Json()) : Json();
  const bool byName = !how.is_null() && lower(collab::textForm(how)) == "name";
  for (const Json* account : accounts) {
    const std::string id = collab::textForm(account->value("subscription_id", Json()));
    const char* key = byName && account->contains("account_name") ? "account_name" : nullptr;
    const std::string folder = key ? collab::textForm((*account)[key]) : id;
    if (auto problem = fileNameProblem(folder))
      return "account_info entry of subscription " + shown(id) + ": " +
             (key ? "account_name " : "subscription_id ") + shown(folder) +
             " cannot name the Terraform folder: " + *problem;
    // A VNet's name names its file only once Azure has such a VNet: a name that cannot name a
    // file fails that VNet alone, where its file would be written.
  }
  return std::nullopt;
}

}  // namespace kxdiscover
