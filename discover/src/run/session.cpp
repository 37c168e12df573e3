#include "run/session.hpp"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>

#include "basekit/common.hpp"
#include "collab/azure/azure_cli_credential.hpp"
#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/client_assertion_credential.hpp"
#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/managed_identity_credential.hpp"
#include "collab/azure/replay_transport.hpp"
#include "collab/errors.hpp"
#include "collab/text_form.hpp"
#include "common/atomic_file.hpp"
#include "run/interrupt.hpp"

namespace kxdiscover {

namespace az = collab::azure;
using collab::Json;

namespace {

namespace keys = az::credential_keys;

// For tests only: the instance metadata service at a loopback URL instead of its link-local
// address (nothing else is accepted, so it can never send a request elsewhere in clear text).
constexpr const char* kTestMetadataEndpoint = "KX_TEST_IMDS_ENDPOINT";

// A process that holds secrets, tokens and private keys leaves no core dump: the system writes
// none for a process that is not dumpable, and none of any size for a limit of 0.
void keepSecretsOutOfCoreDumps() {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

std::string envValue(const std::string& name) {
  const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
  return value ? value : "";
}

// A text field of a subscription record; "" when absent or null.
std::string field(const Json& record, const char* name) {
  auto it = record.find(name);
  return it == record.end() || it->is_null() ? std::string() : collab::textForm(*it);
}

// The record field that holds a credential key of the configuration.
const char* recordFieldOf(std::string_view key) {
  if (key == keys::kSecretEnv) return "secret_env";
  if (key == keys::kApplicationId) return "app_id";
  if (key == keys::kDirectoryId) return "dir_id";
  if (key == keys::kCertificatePath) return "certificate_path";
  return "";
}

// A replay reads no secret, file or environment and runs nothing.  Recorded token requests are
// matched with their secrets and assertions redacted, so any text stands in for them; a managed
// identity or the Azure CLI left no request in the cassette and gets a placeholder token.
std::shared_ptr<az::TokenCredential> replayedSignIn(const Json& record, az::SignInMethod method) {
  const std::string tenant = field(record, "dir_id");
  const std::string app = field(record, "app_id");
  switch (method) {
    case az::SignInMethod::ClientSecret:
      return std::make_shared<az::ClientSecretCredential>(tenant, app, "replayed-without-secret");
    case az::SignInMethod::ClientCertificate:
    case az::SignInMethod::WorkloadIdentity:
      return std::make_shared<az::ClientAssertionCredential>(
          tenant, app, [](const std::string&, std::chrono::system_clock::time_point) {
            return std::string("replayed-without-assertion");
          });
    case az::SignInMethod::ManagedIdentity:
    case az::SignInMethod::AzureCli:
      break;
  }
  return std::make_shared<az::StaticTokenCredential>(az::kRedactedToken);
}

// The value of the environment variable a record field names; absent when the field is empty.
// @throws CredentialError when it names one that is unset or empty.
std::optional<std::string> namedVariable(const Json& record, const char* fieldName,
                                         const char* configKey, const char* holds) {
  const std::string variable = field(record, fieldName);
  if (variable.empty()) return std::nullopt;
  std::string value = envValue(variable);
  if (value.empty())
    throw CredentialError("the environment variable " + variable + " (" + configKey +
                          " of azure_cred entry '" + field(record, "apps") +
                          "') is not set or empty; it must hold " + holds);
  return value;
}

// Signs the entry in the way `method` does, reading what it needs of the record and the
// environment.
// @throws CredentialError naming what is missing or unusable.
std::shared_ptr<az::TokenCredential> liveSignIn(const Json& record, az::SignInMethod method) {
  const std::string entry = field(record, "apps");
  for (std::string_view key : az::requiredCredentialKeys(method)) {
    if (field(record, recordFieldOf(key)).empty())
      throw CredentialError("azure_cred entry '" + entry + "' has no " + std::string(key) +
                            ", which the " + std::string(az::signInMethodName(method)) +
                            " sign-in needs");
  }
  const std::string tenant = field(record, "dir_id");
  const std::string app = field(record, "app_id");
  try {
    switch (method) {
      case az::SignInMethod::ClientSecret:
        return std::make_shared<az::ClientSecretCredential>(
            tenant, app,
            *namedVariable(record, "secret_env", "arm_application_secret_env",
                           "the application secret"));
      case az::SignInMethod::ClientCertificate: {
        const auto password =
            namedVariable(record, "certificate_password_env", "arm_client_certificate_password_env",
                          "the password of the certificate's private key");
        return std::make_shared<az::ClientAssertionCredential>(
            tenant, app,
            az::certificateAssertions(
                az::ClientCertificate::load(field(record, "certificate_path"), password), app));
      }
      case az::SignInMethod::WorkloadIdentity: {
        std::string file = field(record, "federated_token_file");
        if (file.empty()) file = envValue("AZURE_FEDERATED_TOKEN_FILE");
        if (file.empty())
          throw CredentialError("azure_cred entry '" + entry +
                                "' names no federated token file: set arm_federated_token_file, "
                                "or AZURE_FEDERATED_TOKEN_FILE in the environment");
        return std::make_shared<az::ClientAssertionCredential>(tenant, app,
                                                               az::federatedTokenFile(file));
      }
      case az::SignInMethod::ManagedIdentity: {
        az::ManagedIdentityOptions identity;
        if (const std::string id = field(record, "managed_identity_client_id"); !id.empty())
          identity.clientId = id;
        if (const std::string endpoint = envValue("IDENTITY_ENDPOINT"); !endpoint.empty()) {
          identity.identityEndpoint = endpoint;
          identity.identityHeader = envValue("IDENTITY_HEADER");
        }
        if (const std::string test = envValue(kTestMetadataEndpoint); !test.empty()) {
          if (!test.starts_with("http://") || !az::isLoopbackHost(urlHost(test)))
            throw CredentialError(std::string(kTestMetadataEndpoint) +
                                  " is for tests and takes an http URL of a loopback host only");
          identity.metadataEndpoint = test;
        }
        return std::make_shared<az::ManagedIdentityCredential>(std::move(identity));
      }
      case az::SignInMethod::AzureCli: {
        az::AzureCliOptions cli;
        if (!tenant.empty()) cli.tenantId = tenant;
        return std::make_shared<az::AzureCliCredential>(std::move(cli));
      }
    }
  } catch (const az::CredentialUnavailableError& e) {
    throw CredentialError(e.what());
  }
  throw CredentialError("azure_cred entry '" + entry + "': unknown sign-in method");
}

}  // namespace

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
  if (options.auth) {
    auth_ = az::parseSignInMethod(*options.auth);
    if (!auth_) throw UsageError("--auth " + *options.auth + ": not a sign-in method");
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
    keepSecretsOutOfCoreDumps();
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

az::SignInMethod AzureSession::methodOf(const Json& record) const {
  if (auth_) return *auth_;
  // The loader and the subscription map have checked the name already.
  return az::parseSignInMethod(field(record, "auth_method"))
      .value_or(az::SignInMethod::ClientSecret);
}

bool AzureSession::methodChosen(const Json& record) const {
  return auth_ || !field(record, "auth_method").empty();
}

std::string AzureSession::describe(const Json& record) const {
  return "azure_cred entry '" + field(record, "apps") + "' (" +
         std::string(az::signInMethodName(methodOf(record))) + ")";
}

az::AzureCredential AzureSession::credentialFor(const Json& record,
                                                const std::string& subscriptionId) {
  const std::string entry = field(record, "apps");
  auto known = credentials_.find(entry);
  if (known == credentials_.end()) {
    const az::SignInMethod method = methodOf(record);
    known = credentials_
                .emplace(entry, SignIn{method, replaying_ ? replayedSignIn(record, method)
                                                          : liveSignIn(record, method)})
                .first;
  }
  return az::AzureCredential(subscriptionId, known->second.source, known->second.source);
}

void AzureSession::signInUpFront(const Json& subscriptionMap,
                                 const std::vector<std::string>& subscriptionIds) {
  // A replay needs no credential, so there is nothing to check.
  if (replaying_) return;
  std::set<std::string> done;
  for (const auto& id : subscriptionIds) {
    const std::optional<Json> record = basekit::Common::getSubscription(subscriptionMap, id);
    // A subscription without credentials is reported in its turn.
    if (!record || !methodChosen(*record)) continue;
    if (!done.insert(field(*record, "apps")).second) continue;
    try {
      credentialFor(*record, id).getCSC()->getToken();
    } catch (const std::exception& e) {
      az::closeIdleConnections();
      throw SignInError("sign-in failed for " + describe(*record) + ": " + e.what());
    }
  }
  az::closeIdleConnections();
  // (Only when an entry signed in here: otherwise there is nothing new to save, and the
  // cassette, which may be a pipe, is written once at the end.)
  // The token requests are in the cassette now; with worker processes, which record the rest
  // in parts of their own, nothing is left for this recorder to write over the joined parts.
  if (recorder_ && !done.empty()) {
    try {
      recorder_->save();
    } catch (const std::exception&) {
      // Written again at the end of the run, which reports a file that cannot be written.
    }
  }
}

void AzureSession::adoptSignIns(const AzureSession& parent) {
  for (const auto& [entry, signIn] : parent.credentials_) {
    if (signIn.method == az::SignInMethod::ManagedIdentity ||
        signIn.method == az::SignInMethod::AzureCli)
      credentials_.emplace(entry, signIn);
  }
}

}  // namespace kxdiscover
