#include "pathbook/network.hpp"

#include <array>
#include <bit>
#include <charconv>

#include "collab/errors.hpp"

namespace pathbook {

namespace {

constexpr bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal octet: 1 to 3 ASCII digits, no leading zero unless it is "0", at most 255.
bool parseOctet(std::string_view s, std::uint32_t& out) noexcept {
  if (s.empty() || s.size() > 3) return false;
  std::uint32_t v = 0;
  for (char c : s) {
    if (!isDigit(c)) return false;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (s.size() > 1 && s[0] == '0') return false;
  if (v > 255) return false;
  out = v;
  return true;
}

// Exactly four octets separated by ".".
bool parseV4(std::string_view s, std::uint32_t& out) noexcept {
  if (s.empty()) return false;
  std::uint32_t value = 0;
  int octets = 0;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = s.find('.', start);
    std::string_view part =
        s.substr(start, dot == std::string_view::npos ? s.size() - start : dot - start);
    std::uint32_t o;
    if (++octets > 4 || !parseOctet(part, o)) return false;
    value = (value << 8) | o;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (octets != 4) return false;
  out = value;
  return true;
}

// A prefix length: one or more ASCII digits (leading zeros allowed) with a value <= max.
bool parsePrefixDigits(std::string_view s, int max, int& out) noexcept {
  if (s.empty()) return false;
  int v = 0;
  for (char c : s) {
    if (!isDigit(c)) return false;
    v = v * 10 + (c - '0');
    if (v > 1000) v = 1000;  // saturate: anything this large is refused anyway
  }
  if (v > max) return false;
  out = v;
  return true;
}

// The prefix length of a 32-bit mask of the form 1*0* (netmask), or -1.
int prefixFromMask32(std::uint32_t m) noexcept {
  if (m == 0) return 0;
  int trailing = std::countr_zero(m);
  int prefix = 32 - trailing;
  std::uint64_t leadingOnes = static_cast<std::uint64_t>(m) >> trailing;
  std::uint64_t allOnes = (std::uint64_t{1} << prefix) - 1;
  return leadingOnes == allOnes ? prefix : -1;
}

// An IPv4 mask in dotted form: tried as a netmask first (so all-ones and all-zeros are
// netmasks), then as a hostmask.
bool parseV4Mask(std::string_view s, int& out) noexcept {
  std::uint32_t m;
  if (!parseV4(s, m)) return false;
  int p = prefixFromMask32(m);
  if (p < 0) p = prefixFromMask32(~m);
  if (p < 0) return false;
  out = p;
  return true;
}

// One hex group: 1 to 4 hex digits.
bool parseHextet(std::string_view s, std::uint32_t& out) noexcept {
  if (s.empty() || s.size() > 4) return false;
  std::uint32_t v = 0;
  for (char c : s) {
    int h = hexValue(c);
    if (h < 0) return false;
    v = (v << 4) | static_cast<std::uint32_t>(h);
  }
  out = v;
  return true;
}

// An IPv6 address without scope id, following the rules of Python's
// _BaseV6._ip_int_from_string step by step.
bool parseV6(std::string_view s, std::uint64_t& hi, std::uint64_t& lo) noexcept {
  if (s.empty()) return false;
  constexpr int kMaxParts = 9;  // 8 groups plus the extra empty part of a leading/trailing "::"
  struct Part {
    std::string_view text;
    int value;  // >= 0 for the two groups made from an IPv4 tail
  };
  std::array<Part, kMaxParts + 1> parts;
  int n = 0;
  std::size_t start = 0;
  for (;;) {
    std::size_t colon = s.find(':', start);
    if (n == kMaxParts) return false;  // more than 9 parts can never be valid
    parts[n++] = {
        s.substr(start, colon == std::string_view::npos ? s.size() - start : colon - start), -1};
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (n < 3) return false;

  if (parts[n - 1].text.find('.') != std::string_view::npos) {
    std::uint32_t v4;
    if (!parseV4(parts[n - 1].text, v4)) return false;
    parts[n - 1] = {{}, static_cast<int>(v4 >> 16)};
    parts[n++] = {{}, static_cast<int>(v4 & 0xffff)};
  }
  if (n > kMaxParts) return false;

  auto isEmpty = [&](int i) { return parts[i].value < 0 && parts[i].text.empty(); };

  int skipIndex = -1;
  for (int i = 1; i < n - 1; ++i) {
    if (isEmpty(i)) {
      if (skipIndex >= 0) return false;  // at most one "::"
      skipIndex = i;
    }
  }

  int partsHi, partsLo;
  if (skipIndex >= 0) {
    partsHi = skipIndex;
    partsLo = n - skipIndex - 1;
    if (isEmpty(0) && --partsHi != 0) return false;      // leading ":" only as part of "::"
    if (isEmpty(n - 1) && --partsLo != 0) return false;  // trailing ":" only as part of "::"
    if (8 - (partsHi + partsLo) < 1) return false;
  } else {
    if (n != 8 || isEmpty(0) || isEmpty(n - 1)) return false;
    partsHi = n;
    partsLo = 0;
  }

  std::array<std::uint32_t, 8> groups{};
  auto groupOf = [&](int i, std::uint32_t& g) {
    if (parts[i].value >= 0) {
      g = static_cast<std::uint32_t>(parts[i].value);
      return true;
    }
    return parseHextet(parts[i].text, g);
  };
  for (int i = 0; i < partsHi; ++i)
    if (!groupOf(i, groups[i])) return false;
  for (int i = 0; i < partsLo; ++i)
    if (!groupOf(n - partsLo + i, groups[8 - partsLo + i])) return false;

  hi = lo = 0;
  for (int i = 0; i < 4; ++i) hi = (hi << 16) | groups[i];
  for (int i = 4; i < 8; ++i) lo = (lo << 16) | groups[i];
  return true;
}

void appendDecimal(std::string& out, unsigned v) {
  char buf[12];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void appendAddress(std::string& out, int version, std::uint64_t hi, std::uint64_t lo) {
  if (version == 4) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      appendDecimal(out, static_cast<unsigned>((lo >> shift) & 0xff));
      if (shift) out += '.';
    }
    return;
  }
  std::array<unsigned, 8> g;
  for (int i = 0; i < 4; ++i) g[i] = static_cast<unsigned>((hi >> (48 - 16 * i)) & 0xffff);
  for (int i = 0; i < 4; ++i) g[4 + i] = static_cast<unsigned>((lo >> (48 - 16 * i)) & 0xffff);
  // Longest run of zero groups, first one on a tie; a single zero group is not compressed.
  int bestStart = -1, bestLen = 0, runStart = -1, runLen = 0;
  for (int i = 0; i < 8; ++i) {
    if (g[i] == 0) {
      if (runStart < 0) runStart = i;
      if (++runLen > bestLen) {
        bestLen = runLen;
        bestStart = runStart;
      }
    } else {
      runStart = -1;
      runLen = 0;
    }
  }
  if (bestLen < 2) {
    bestStart = -1;
    bestLen = 0;
  }
  auto appendGroup = [&](unsigned v) {
    char buf[8];
    auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
    out.append(buf, r.ptr);
  };
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      out += "::";
      i += bestLen - 1;
      continue;
    }
    if (i > 0 && i != bestStart + bestLen) out += ':';
    appendGroup(g[i]);
  }
}

}  // namespace

std::string IpAddress::toString() const {
  std::string s;
  appendTo(s);
  return s;
}

void IpAddress::appendTo(std::string& out) const { appendAddress(out, version_, hi_, lo_); }

Network::Parse Network::parseInto(std::string_view text, Network& out) {
  // At most one "/" separating the address from the mask.
  const std::size_t slash = text.find('/');
  std::string_view addr = text.substr(0, slash);
  std::optional<std::string_view> mask;
  if (slash != std::string_view::npos) {
    mask = text.substr(slash + 1);
    if (mask->find('/') != std::string_view::npos) return Parse::Invalid;
  }

  std::uint64_t hi = 0, lo = 0;
  int version, prefix;
  std::string_view scope;
  bool hasScope = false;
  std::uint32_t v4;
  if (parseV4(addr, v4)) {
    version = 4;
    lo = v4;
    prefix = 32;
    if (mask && !parsePrefixDigits(*mask, 32, prefix) && !parseV4Mask(*mask, prefix))
      return Parse::Invalid;
  } else {
    version = 6;
    if (const std::size_t pct = addr.find('%'); pct != std::string_view::npos) {
      scope = addr.substr(pct + 1);
      if (scope.empty() || scope.find('%') != std::string_view::npos) return Parse::Invalid;
      addr = addr.substr(0, pct);
      hasScope = true;
    }
    if (!parseV6(addr, hi, lo)) return Parse::Invalid;
    prefix = 128;
    if (mask && !parsePrefixDigits(*mask, 128, prefix)) return Parse::Invalid;
  }

  const Bits host = hostmask(version, prefix);
  if ((hi & host.hi) != 0 || (lo & host.lo) != 0) return Parse::HostBitsSet;
  out.hi_ = hi;
  out.lo_ = lo;
  out.version_ = version;
  out.prefix_ = prefix;
  if (hasScope)
    out.scope_.assign(scope);
  else
    out.scope_.clear();
  return Parse::Ok;
}

Network Network::parse(std::string_view text) {
  Network n;
  switch (parseInto(text, n)) {
    case Parse::Ok:
      return n;
    case Parse::HostBitsSet:
      throw collab::InvalidValueError("'" + std::string(text) + "' has host bits set");
    case Parse::Invalid:
      break;
  }
  throw collab::InvalidValueError("'" + std::string(text) +
                                  "' does not appear to be an IPv4 or IPv6 network");
}

std::optional<Network> Network::tryParse(std::string_view text) {
  std::optional<Network> n(Network{});
  if (parseInto(text, *n) != Parse::Ok) n.reset();
  return n;
}

std::string Network::toString() const {
  std::string s;
  appendTo(s);
  return s;
}

void Network::appendTo(std::string& out) const {
  appendAddress(out, version_, hi_, lo_);
  if (!scope_.empty()) {
    out += '%';
    out += scope_;
  }
  out += '/';
  appendDecimal(out, static_cast<unsigned>(prefix_));
}

void Network::throwVersionMismatch(const Network& a, const Network& b) {
  throw collab::WrongTypeError(a.toString() + " and " + b.toString() +
                               " are not of the same version");
}

}  // namespace pathbook
