#pragma once
// The client layer set up for one run: endpoints, the transport every client and credential
// uses (live, recording or replaying, always counted), and the subscriptions' credentials.
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "collab/azure/azure_credential.hpp"
#include "collab/azure/recording_transport.hpp"
#include "collab/azure/replay_transport.hpp"
#include "collab/json.hpp"
#include "run/counting_transport.hpp"
#include "run/options.hpp"

namespace kxdiscover {

class AzureSession {
 public:
  /// Points the client layer at the endpoints of `options` and routes it through a counting
  /// transport over curl (with --ca-file trusted), a recorder of curl (--record) or a replay
  /// (--replay).  `onRequest` gets the request count after each request.
  /// A worker process passes the cassette its parent read (`replayed`), so that it is read
  /// once per run, not once per worker.
  /// @throws UsageError when the CA file or the cassette to replay cannot be read.
  AzureSession(const RunOptions& options, std::function<void(std::size_t)> onRequest,
               std::shared_ptr<collab::azure::ReplayTransport> replayed = nullptr);
  /// Puts the public-cloud endpoints and the plain default transport back.
  ~AzureSession();
  AzureSession(const AzureSession&) = delete;
  AzureSession& operator=(const AzureSession&) = delete;

  bool replaying() const noexcept { return replaying_; }
  /// The cassette being replayed; null when not replaying.
  std::shared_ptr<collab::azure::ReplayTransport> replayed() const { return replayed_; }
  std::size_t requests() const { return counter_->requests(); }
  std::size_t retries() const { return counter_->retries(); }
  /// Writes the cassette (as every output of the command: atomic_file.hpp) when recording;
  /// does nothing otherwise.
  /// @throws std::runtime_error when the file cannot be written.
  void saveCassette();

 private:
  bool replaying_ = false;
  std::shared_ptr<collab::azure::ReplayTransport> replayed_;
  std::shared_ptr<collab::azure::RecordingTransport> recorder_;
  std::string recordPath_;
  std::shared_ptr<CountingTransport> counter_;
};

/// Writes the cassette at `path` from the parts the run's worker processes recorded, their
/// exchanges in the order of `parts`, in the format a single recorder writes; one part is held
/// in memory at a time.
/// @throws std::runtime_error when a part cannot be read or the file cannot be written.
void writeCassetteOfParts(const std::vector<std::string>& parts, const std::string& path);

/// A credential problem of one subscription; the message names the setting, never a secret.
class CredentialError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The credential of `subscriptionId` from its subscription record (`secret_env`, `app_id`,
/// `dir_id`, `apps`): the application secret is read from the environment variable the record
/// names.  A replay needs no secret (the recorded token request is matched with secrets
/// redacted), so then a missing variable is no error.
/// @throws CredentialError naming the variable when it is unset or empty.
collab::azure::AzureCredential credentialFor(const collab::Json& record,
                                             const std::string& subscriptionId, bool replaying);

}  // namespace kxdiscover
