#pragma once
// The secrets and tokens of the run, so that no output of ours shows one.
//
// A credential adds what it holds or obtains (an application secret, a bearer token, a client
// assertion, a certificate password, ...) as soon as it has it; every output that may carry a
// text from outside (the log sinks, standard error, the report and the page, through
// `safeLogText` or `redact`) replaces each registered text by "REDACTED".  This matters where
// an outside text can repeat a secret: a server that echoes the Authorization header in an
// error message, a proxy that quotes the request body.
//
// One registry for the process, created on first use and never emptied while the process
// runs: a token that expired is still a secret in a log.  Thread-safe.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "collab/export.hpp"

namespace collab {

class COLLAB_EXPORT SecretRegistry {
 public:
  /// The process's registry.
  static SecretRegistry& instance();

  /// Adds `secret` (an empty text is ignored, a known one kept once).
  void add(std::string_view secret);

  /// `text` with every registered secret replaced by "REDACTED"; longer secrets first, so a
  /// secret that holds another is replaced whole.
  std::string redact(std::string_view text) const;
  /// Replaces in place; true when something was replaced.
  bool redactInPlace(std::string& text) const;

  /// How many secrets are registered.
  std::size_t size() const;

  static constexpr std::string_view kPlaceholder = "REDACTED";

 private:
  SecretRegistry() = default;

  mutable std::mutex mutex_;
  /// Longest first.
  std::vector<std::string> secrets_;
};

}  // namespace collab
