#include "config/config_text.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "config/config_schema.hpp"

namespace collab::config {

namespace {

bool isPlainWord(std::string_view key) {
  if (key.empty()) return false;
  return std::all_of(key.begin(), key.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '_' || c == '-'; });
}

std::string normalise(std::string_view word) {
  std::string out;
  out.reserve(word.size());
  for (unsigned char c : word) {
    if (c == '-' || c == ' ') c = '_';
    out += static_cast<char>(std::tolower(c));
  }
  return out;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool looksSecret(std::string_view key) {
  const std::string k = lower(key);
  for (const char* word : {"secret", "password", "passwd", "token", "credential"})
    if (k.find(word) != std::string::npos) return true;
  return false;
}

}  // namespace

std::string appendKey(const std::string& path, std::string_view key) {
  if (isPlainWord(key)) {
    if (path.empty()) return std::string(key);
    return path + "." + std::string(key);
  }
  std::string quoted = "[\"";
  for (char c : key) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += "\"]";
  return path + quoted;
}

std::string appendIndex(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

std::size_t editDistance(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  // Three rows: the one before the previous one is needed for swaps.
  std::vector<std::size_t> prev2(m + 1), prev(m + 1), cur(m + 1);
  for (std::size_t j = 0; j <= m; ++j) prev[j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        cur[j] = std::min(cur[j], prev2[j - 2] + 1);
    }
    std::swap(prev2, prev);
    std::swap(prev, cur);
  }
  return prev[m];
}

std::optional<std::string> nearMiss(std::string_view word,
                                    const std::vector<std::string>& candidates) {
  const std::string w = normalise(word);
  std::optional<std::string> best;
  std::size_t bestDistance = 0;
  for (const auto& candidate : candidates) {
    const std::string c = normalise(candidate);
    const std::size_t distance = editDistance(w, c);
    const std::size_t longer = std::max(w.size(), c.size());
    const std::size_t shorter = std::min(w.size(), c.size());
    const std::size_t limit = longer <= 4 ? 1 : 2;
    // A one-letter word is "one edit" from every other short word: no suggestion then.
    if (distance > limit || distance >= shorter) continue;
    if (!best || distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
}

std::string quoteValue(std::string_view text) {
  constexpr std::size_t kMax = 40;
  std::string out = "'";
  std::size_t shown = 0;
  for (unsigned char c : text) {
    if (shown == kMax) {
      out += "...";
      break;
    }
    // Do not cut a multi-byte character in two: continuation bytes do not count.
    if ((c & 0xC0) != 0x80) ++shown;
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += "'";
  return out;
}

std::string describeValue(const Json& value, std::string_view key) {
  const bool hide = looksSecret(key);
  switch (value.type()) {
    case Json::value_t::null:
      return "null (an empty value)";
    case Json::value_t::boolean:
      return hide ? "a boolean"
                  : std::string("the boolean ") + (value.get<bool>() ? "true" : "false");
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return hide ? "an integer" : "the integer " + value.dump();
    case Json::value_t::number_float: {
      if (hide) return "a number";
      const double d = value.get<double>();
      if (std::isnan(d)) return "the number .nan";
      if (std::isinf(d)) return d > 0 ? "the number .inf" : "the number -.inf";
      return "the number " + value.dump();
    }
    case Json::value_t::string:
      return hide ? "text (value withheld)"
                  : "text " + quoteValue(value.get_ref<const std::string&>());
    case Json::value_t::array:
      return "a list";
    case Json::value_t::object:
      return "a map";
    default:
      return "a value of another kind";
  }
}

std::string typeHint(const Json& found, unsigned expectedKinds) {
  if (found.is_string() && (expectedKinds & kBool)) {
    const std::string v = lower(found.get_ref<const std::string&>());
    for (const char* word : {"yes", "no", "on", "off", "y", "n"})
      if (v == word)
        return "YAML 1.2 reads " + quoteValue(found.get_ref<const std::string&>()) +
               " as text; write true or false";
    if (v == "true" || v == "false") return "a quoted value is text; leave out the quotes";
  }
  if (found.is_string() && (expectedKinds & (kInt | kFloat)))
    return "a quoted value is text; leave out the quotes for a number";
  if ((found.is_number() || found.is_boolean()) && (expectedKinds & kText) &&
      !(expectedKinds & (kBool | kInt | kFloat)))
    return "put the value in quotes to make it text";
  return {};
}

}  // namespace collab::config
