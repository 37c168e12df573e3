#pragma once
// The client layer set up for one run: endpoints, the transport every client and credential
// uses (live, recording or replaying, always counted), and the subscriptions' credentials.
//
// The transports, from the clients down:
//
//   snapshot (--snapshot)  answers repeated pages from the run's first reading of them
//   budgets (live runs)    keeps the run's processes inside Azure's read and Resource Graph
//                          budgets together
//   counter                counts what is sent, refuses to send once the operator stops the run
//   recorder (--record)    writes what was really fetched into the cassette
//   curl, or the replay
//
// The budgets and the snapshot's pages live in the run's shared folder
// (`RunOptions::sharedStateDir`), so that every process whose session is built on it shares
// them; without one, the budgets are kept in memory and the pages in a temporary folder removed
// with the session.
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "collab/azure/azure_credential.hpp"
#include "collab/azure/recording_transport.hpp"
#include "collab/azure/replay_transport.hpp"
#include "collab/azure/sign_in_method.hpp"
#include "collab/json.hpp"
#include "run/budget_transport.hpp"
#include "run/counting_transport.hpp"
#include "run/options.hpp"
#include "run/snapshot_transport.hpp"

namespace kxdiscover {

/// A credential problem of one subscription; the message names the setting, never a secret.
class CredentialError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Signing in failed for an azure_cred entry while the credentials were checked up front;
/// the message names the entry and its method ("sign-in failed for azure_cred entry 'prod'
/// (client-certificate): ...").
class SignInError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AzureSession {
 public:
  /// Points the client layer at the endpoints of `options` and routes it through the
  /// transports above: over curl (with --ca-file trusted), a recorder of curl (--record) or a
  /// replay (--replay).  `onRequest` gets the request count after each request.
  /// A worker process passes the cassette its parent read (`replayed`), so that it is read
  /// once per run, not once per worker.  `budgets` tunes the pacing (its defaults are Azure's
  /// documented budgets).
  /// @throws UsageError when the CA file or the cassette to replay cannot be read, or the
  ///         shared folder cannot be used.
  AzureSession(const RunOptions& options, std::function<void(std::size_t)> onRequest,
               std::shared_ptr<collab::azure::ReplayTransport> replayed = nullptr,
               BudgetOptions budgets = {});
  /// Puts the public-cloud endpoints and the plain default transport back; removes the private
  /// folder of the snapshot's pages.
  ~AzureSession();
  AzureSession(const AzureSession&) = delete;
  AzureSession& operator=(const AzureSession&) = delete;

  bool replaying() const noexcept { return replaying_; }
  /// The cassette being replayed; null when not replaying.
  std::shared_ptr<collab::azure::ReplayTransport> replayed() const { return replayed_; }
  std::size_t requests() const { return counter_->requests(); }
  std::size_t retries() const { return counter_->retries(); }
  bool snapshot() const noexcept { return snapshot_ != nullptr; }
  /// Requests of this process answered from the snapshot instead of Azure.
  std::size_t snapshotAnswers() const { return snapshot_ ? snapshot_->answered() : 0; }
  /// Writes the cassette (as every output of the command: atomic_file.hpp) when recording;
  /// does nothing otherwise.
  /// @throws std::runtime_error when the file cannot be written.
  void saveCassette();

  /// How the entry of a subscription record signs in: --auth, else the entry's
  /// arm_auth_method, else the client secret.
  collab::azure::SignInMethod methodOf(const collab::Json& record) const;
  /// True when --auth or the entry chose the method (rather than the default applying).
  bool methodChosen(const collab::Json& record) const;
  /// "azure_cred entry 'prod' (client-certificate)": the entry and method, for messages.
  std::string describe(const collab::Json& record) const;

  /// The credential of `subscriptionId` from its subscription record (`apps` names the entry;
  /// `secret_env`, `app_id`, `dir_id` and the keys of the other methods).  Subscriptions of one
  /// entry share one token source, so the entry signs in once for all of them.  A replay
  /// reads no secret, file or environment and runs nothing: the recorded token requests are
  /// matched with their secrets and assertions redacted, and a managed identity or the Azure
  /// CLI, which left no request in the cassette, gets a placeholder token.
  /// @throws CredentialError naming the setting that is missing or unusable (for the client
  ///         secret, the variable that is unset or empty).
  collab::azure::AzureCredential credentialFor(const collab::Json& record,
                                               const std::string& subscriptionId);

  /// Signs in, before anything else is asked of Azure, for every entry that serves one of
  /// `subscriptionIds` and whose method was chosen (methodChosen); an entry left to the
  /// default client secret signs in when its subscription's turn comes, as it always has.  A
  /// replay signs nothing in.  No connection is left open afterwards, so the worker processes
  /// forked next inherit none.
  /// @throws SignInError for the first entry that cannot sign in.
  void signInUpFront(const collab::Json& subscriptionMap,
                     const std::vector<std::string>& subscriptionIds);

  /// In a worker process: takes over the parent's sign-ins of a managed identity or the Azure
  /// CLI with their tokens, which leave nothing in a cassette, so that a worker does not run
  /// `az` or ask the identity endpoint again.  Other methods sign in in each worker, and their
  /// token requests are recorded and replayed there as before.
  void adoptSignIns(const AzureSession& parent);

 private:
  bool replaying_ = false;
  std::shared_ptr<collab::azure::ReplayTransport> replayed_;
  /// The snapshot's pages when no shared folder was given: removed with the session.
  std::optional<std::filesystem::path> privateFolder_;
  std::optional<collab::azure::SignInMethod> auth_;
  struct SignIn {
    collab::azure::SignInMethod method;
    std::shared_ptr<collab::azure::TokenCredential> source;
  };
  /// One token source per azure_cred entry, by entry name.
  std::map<std::string, SignIn> credentials_;
  std::shared_ptr<collab::azure::RecordingTransport> recorder_;
  std::string recordPath_;
  std::shared_ptr<CountingTransport> counter_;
  std::shared_ptr<SnapshotTransport> snapshot_;
};

/// Writes the cassette at `path` from the parts the run's worker processes recorded, their
/// exchanges in the order of `parts`, in the format a single recorder writes; one part is held
/// in memory at a time.
/// @throws std::runtime_error when a part cannot be read or the file cannot be written.
void writeCassetteOfParts(const std::vector<std::string>& parts, const std::string& path);

}  // namespace kxdiscover
