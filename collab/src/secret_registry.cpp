#include "collab/secret_registry.hpp"

#include <algorithm>

namespace collab {

SecretRegistry& SecretRegistry::instance() {
  static SecretRegistry registry;
  return registry;
}

void SecretRegistry::add(std::string_view secret) {
  if (secret.empty()) return;
  std::lock_guard lock(mutex_);
  if (std::find(secrets_.begin(), secrets_.end(), secret) != secrets_.end()) return;
  const auto at = std::find_if(secrets_.begin(), secrets_.end(), [&](const std::string& known) {
    return known.size() < secret.size();
  });
  secrets_.emplace(at, secret);
}

bool SecretRegistry::redactInPlace(std::string& text) const {
  std::lock_guard lock(mutex_);
  bool replaced = false;
  for (const std::string& secret : secrets_) {
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + kPlaceholder.size())) {
      text.replace(at, secret.size(), kPlaceholder);
      replaced = true;
    }
  }
  return replaced;
}

std::string SecretRegistry::redact(std::string_view text) const {
  std::string out(text);
  redactInPlace(out);
  return out;
}

std::size_t SecretRegistry::size() const {
  std::lock_guard lock(mutex_);
  return secrets_.size();
}

}  // namespace collab
