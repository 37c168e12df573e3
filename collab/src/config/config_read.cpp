#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

#include "config/config_load.hpp"

namespace collab::config {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fileProblem(const std::string& file, std::string problem, std::string expected,
                              std::string found) {
  throw ConfigError(file, 0, 0, {}, std::move(problem), std::move(expected), std::move(found));
}

std::string hexByte(unsigned char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string("0x") + kHex[c >> 4] + kHex[c & 0xF];
}

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not valid UTF-8
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t utf8Length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned lowest;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    lowest = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    lowest = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  unsigned cp = c & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Refuses what is not YAML text: NUL bytes and other control characters (binary files) and
// byte sequences that are not UTF-8.  Lines and columns count characters, 1-based.
void checkText(const std::string& text, const std::string& file) {
  int line = 1;
  int column = 1;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
      ++i;
      continue;
    }
    if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) {
      throw ConfigError(file, line, column, {},
                        "the file is not YAML text: it holds the control character " + hexByte(c) +
                            (c == 0 ? " (binary data?)" : ""),
                        "UTF-8 text", "the byte " + hexByte(c));
    }
    const std::size_t len = utf8Length(text, i);
    if (len == 0) {
      throw ConfigError(file, line, column, {},
                        "the file is not UTF-8 text: invalid byte " + hexByte(c) +
                            " (binary data or another encoding?)",
                        "UTF-8 text", "the byte " + hexByte(c));
    }
    i += len;
    ++column;
  }
}

}  // namespace

std::string readConfigFile(const fs::path& path, const std::string& file) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) {
    if (!ec || ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory)
      fileProblem(file, "cannot read the configuration file: no such file", "an existing YAML file",
                  "nothing at this path");
    fileProblem(file, "cannot read the configuration file: " + ec.message(), "a readable YAML file",
                ec.message());
  }
  if (fs::is_directory(status))
    fileProblem(file, "cannot read the configuration file: it is a directory", "a YAML file",
                "a directory");
  if (!fs::is_regular_file(status))
    fileProblem(file, "cannot read the configuration file: it is not a regular file", "a YAML file",
                "a device, pipe or socket");
  const std::uintmax_t size = fs::file_size(path, ec);
  if (!ec && size > kMaxConfigBytes)
    fileProblem(file,
                "the configuration file is too large (" + std::to_string(size) +
                    " bytes; at most " + std::to_string(kMaxConfigBytes) + ")",
                "a YAML file of at most " + std::to_string(kMaxConfigBytes) + " bytes",
                std::to_string(size) + " bytes");

  errno = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!in) {
    const std::string reason = errno ? std::strerror(errno) : "cannot open";
    fileProblem(file, "cannot read the configuration file: " + reason, "a readable YAML file",
                reason);
  }
  std::string text;
  char buffer[8192];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) {
    text.append(buffer, n);
    // The file may have grown since its size was taken.
    if (text.size() > kMaxConfigBytes)
      fileProblem(file, "the configuration file is too large",
                  "a YAML file of at most " + std::to_string(kMaxConfigBytes) + " bytes",
                  "more than " + std::to_string(kMaxConfigBytes) + " bytes");
  }
  if (std::ferror(in.get()))
    fileProblem(file, "cannot read the configuration file: read error", "a readable YAML file",
                "a read error");

  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  // YAML reads a carriage return alone as a line break (files from old Mac editors); yaml-cpp
  // would read such a file as one line, all of it behind the first comment.
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) text[i] = '\n';
  checkText(text, file);
  return text;
}

}  // namespace collab::config
