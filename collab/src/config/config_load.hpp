#pragma once
// The two steps of loading a configuration file, kept apart so that the YAML step works on
// text alone: reading the file (config_read.cpp) and turning its text into a checked document
// (config_convert.cpp).  Both throw ConfigError.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "collab/config_error.hpp"
#include "collab/json.hpp"

namespace collab::config {

/// Files larger than this are refused: a configuration is a few kilobytes, and a stray path to
/// a disk image or log should fail at once rather than fill memory.
inline constexpr std::uintmax_t kMaxConfigBytes = 16u * 1024u * 1024u;

/// Reads the file as text and checks that it is UTF-8 without control characters (a byte-order
/// mark is dropped).  `file` is the name used in messages.
std::string readConfigFile(const std::filesystem::path& path, const std::string& file);

struct LoadedConfig {
  std::string label;
  Json data;
  std::vector<ConfigWarning> warnings;
};

/// Parses one YAML document, checks it against the schema of its kind and fills defaults.
LoadedConfig parseConfig(const std::string& text, const std::string& file);

}  // namespace collab::config
