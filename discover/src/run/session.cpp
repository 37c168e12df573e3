#include "run/session.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/replay_transport.hpp"
#include "collab/errors.hpp"
#include "collab/text_form.hpp"
#include "common/atomic_file.hpp"
#include "run/interrupt.hpp"

namespace kxdiscover {

namespace az = collab::azure;

namespace {

// A folder of the snapshot's pages for this process alone.
std::filesystem::path makePrivateFolder() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kx-discover-snapshot-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw UsageError("--snapshot: cannot create a folder for the pages under " +
                     std::filesystem::temp_directory_path().string());
  return pattern;
}

}  // namespace

AzureSession::AzureSession(const RunOptions& options, std::function<void(std::size_t)> onRequest,
                           std::shared_ptr<az::ReplayTransport> replayed, BudgetOptions budgets)
    : replayed_(std::move(replayed)) {
  az::AzureEndpoints endpoints;
  if (options.armEndpoint) endpoints.resourceManager = *options.armEndpoint;
  if (options.loginEndpoint) {
    endpoints.login = *options.loginEndpoint;
    if (endpoints.login.back() != '/') endpoints.login += '/';
  }

  std::optional<std::filesystem::path> shared;
  if (options.sharedStateDir) {
    shared = *options.sharedStateDir;
    std::error_code error;
    std::filesystem::create_directories(*shared, error);
    if (!std::filesystem::is_directory(*shared, error))
      throw UsageError("the run's shared folder " + shared->string() + " cannot be used");
  }

  std::shared_ptr<az::Transport> inner;
  if (options.replay) {
    try {
      if (!replayed_) replayed_ = std::make_shared<az::ReplayTransport>(*options.replay);
    } catch (const std::exception& e) {
      throw UsageError("--replay " + *options.replay + ": " + e.what());
    }
    inner = replayed_;
    replaying_ = true;
  } else {
    az::CurlTransportOptions curl;
    curl.extraCaFile = options.caFile;
    // Ctrl-C abandons an answer still under way rather than waiting for it.
    curl.stop = [] { return stopRequested(); };
    std::shared_ptr<az::Transport> network;
    try {
      network = std::make_shared<az::CurlTransport>(curl);
    } catch (const collab::InvalidValueError& e) {
      throw UsageError(std::string("--ca-file: ") + e.what());
    }
    if (options.record) {
      recorder_ = std::make_shared<az::RecordingTransport>(network, *options.record);
      recordPath_ = *options.record;
      inner = recorder_;
    } else {
      inner = network;
    }
  }
  counter_ = std::make_shared<CountingTransport>(
      std::move(inner), [] { return stopRequested(); },
      [this, onRequest = std::move(onRequest)] {
        if (onRequest) onRequest(counter_->requests());
      });
  std::shared_ptr<az::Transport> top = counter_;
  // A replay sends nothing, so it spends no budget; its tokens all look alike, so its pages
  // are told apart by URL alone.
  std::shared_ptr<PrincipalBook> principals;
  if (!replaying_) {
    principals = std::make_shared<PrincipalBook>();
    auto ledger =
        shared ? std::make_shared<BudgetLedger>(*shared) : std::make_shared<BudgetLedger>();
    top = std::make_shared<BudgetTransport>(std::move(top), std::move(ledger), principals,
                                            std::move(budgets));
  }
  if (options.snapshot) {
    if (!shared) privateFolder_ = makePrivateFolder();
    snapshot_ = std::make_shared<SnapshotTransport>(
        std::move(top), std::make_shared<PageStore>(shared ? *shared : *privateFolder_),
        std::move(principals));
    top = snapshot_;
  }
  az::setEndpoints(std::move(endpoints));
  az::setDefaultTransport(std::move(top));
}

AzureSession::~AzureSession() {
  az::setDefaultTransport(nullptr);
  az::resetEndpoints();
  if (privateFolder_) {
    std::error_code error;
    std::filesystem::remove_all(*privateFolder_, error);
  }
}

void AzureSession::saveCassette() {
  if (recorder_)
    recorder_->save([&](std::string_view text) { writeFileAtomically(recordPath_, text); });
}

void writeCassetteOfParts(const std::vector<std::string>& parts, const std::string& path) {
  // The layout of RecordingTransport::save: two-space indents, the exchanges one level down.
  AtomicFile file(path);
  std::string head = collab::Json{{"format", "kx-arm-cassette"}, {"version", 1}}.dump(2);
  head.resize(head.size() - 2);  // "\n}"
  file.write(head + ",\n  \"exchanges\": [");
  bool first = true;
  for (const auto& part : parts) {
    std::ifstream in(part, std::ios::binary);
    const collab::Json cassette = collab::Json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (!cassette.is_object() || !cassette.contains("exchanges"))
      throw std::runtime_error("a worker's part of the cassette (" + part + ") is not readable");
    for (const auto& exchange : cassette["exchanges"]) {
      std::istringstream lines(
          exchange.dump(2, ' ', false, collab::Json::error_handler_t::replace));
      std::string text = first ? "\n" : ",\n";
      first = false;
      bool firstLine = true;
      for (std::string line; std::getline(lines, line); firstLine = false)
        text += (firstLine ? "    " : "\n    ") + line;
      file.write(text);
    }
  }
  file.write(first ? "]\n}\n" : "\n  ]\n}\n");
  file.commit();
}

az::AzureCredential credentialFor(const collab::Json& record, const std::string& subscriptionId,
                                  bool replaying) {
  const std::string variable = collab::textForm(record.value("secret_env", collab::Json()));
  const char* value = std::getenv(variable.c_str());
  std::string secret = value ? value : "";
  if (secret.empty()) {
    if (!replaying)
      throw CredentialError("the environment variable " + variable +
                            " (arm_application_secret_env of azure_cred entry '" +
                            collab::textForm(record.value("apps", collab::Json())) +
                            "') is not set or empty; it must hold the application secret");
    // Replayed token requests are matched with their secrets redacted.
    secret = "replayed-without-secret";
  }
  return az::AzureCredential::fromClientSecret(collab::textForm(record.value("dir_id", "")),
                                               collab::textForm(record.value("app_id", "")),
                                               std::move(secret), subscriptionId);
}

}  // namespace kxdiscover
