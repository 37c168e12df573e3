#pragma once
// IPv4 and IPv6 networks: strict parsing, canonical text and containment.
//
// Parsing accepts exactly the texts that Python's ipaddress.ip_network(text) (strict) accepts,
// and the canonical text is the one Python prints, because route tables, filters and the
// configuration were written against that behaviour:
//   - no prefix length means a single address (/32 or /128);
//   - host bits set below the prefix length is an error, not a silent truncation;
//   - IPv4: four decimal octets, no leading zeros ("010" is refused); the mask may be a prefix
//     length (leading zeros allowed there, "/08"), a netmask ("/255.0.0.0") or a hostmask
//     ("/0.255.255.255");
//   - IPv6: up to four hex digits per group, one "::", an embedded IPv4 tail ("::ffff:1.2.3.4"),
//     an optional scope id after "%" (kept in the text: "fe80::%eth0/64"); the mask is a
//     prefix length only;
//   - no white space anywhere (except inside a scope id, which takes any text without "%").
// The canonical IPv6 text is lower case, without leading zeros, with the longest run of two or
// more zero groups (the first one on a tie) written "::", and never in the IPv4 tail form.
//
// Parsing does not allocate (only a scope id, when present, is stored as a string), uses no
// regular expression or stream, and tryParse reports failure without an exception, because
// every route offered to a route table is parsed.
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "pathbook/export.hpp"

namespace pathbook {

/// An IPv4 or IPv6 address as a 128-bit number (IPv4 in the low 32 bits).
class PATHBOOK_EXPORT IpAddress {
 public:
  IpAddress() = default;
  IpAddress(int version, std::uint64_t hi, std::uint64_t lo)
      : hi_(hi), lo_(lo), version_(version) {}

  int version() const noexcept { return version_; }
  std::uint64_t high() const noexcept { return hi_; }
  std::uint64_t low() const noexcept { return lo_; }

  /// Dotted decimal, or compressed IPv6 text (without scope id).
  std::string toString() const;
  void appendTo(std::string& out) const;

  /// Ordering within one version; addresses of different versions are never equal.
  friend bool operator==(const IpAddress&, const IpAddress&) = default;
  friend bool operator<(const IpAddress& a, const IpAddress& b) noexcept {
    return a.hi_ != b.hi_ ? a.hi_ < b.hi_ : a.lo_ < b.lo_;
  }

 private:
  std::uint64_t hi_ = 0;
  std::uint64_t lo_ = 0;
  int version_ = 4;
};

class PATHBOOK_EXPORT Network {
 public:
  /// @throws collab::InvalidValueError naming `text` when it is not a network in strict form.
  static Network parse(std::string_view text);
  /// The network, or nothing when `text` is not a network in strict form.
  static std::optional<Network> tryParse(std::string_view text);

  int version() const noexcept { return version_; }
  int prefixLength() const noexcept { return prefix_; }
  int maxPrefixLength() const noexcept { return version_ == 4 ? 32 : 128; }
  IpAddress networkAddress() const noexcept { return IpAddress(version_, hi_, lo_); }
  IpAddress broadcastAddress() const noexcept {
    const Bits host = hostmask(version_, prefix_);
    return IpAddress(version_, hi_ | host.hi, lo_ | host.lo);
  }
  /// The IPv6 scope id (zone) of the network address; empty when there is none.
  const std::string& scopeId() const noexcept { return scope_; }

  /// Canonical text: network address (with "%" scope id if any), "/", prefix length.
  std::string toString() const;
  void appendTo(std::string& out) const;

  /// True when `a` lies inside `b` (a network lies inside itself), compared as Python's
  /// _BaseNetwork._is_subnet_of does, scope ids included.
  /// @throws collab::WrongTypeError "<a> and <b> are not of the same version".
  static bool isSubnetOf(const Network& a, const Network& b) {
    if (a.version_ != b.version_) throwVersionMismatch(a, b);
    // b's network address <= a's: equal addresses count only with equal scope ids, as in
    // Python, where address equality includes the scope id.
    const IpAddress an = a.networkAddress(), bn = b.networkAddress();
    const bool lowerOk = bn < an || (bn == an && a.scope_ == b.scope_);
    return lowerOk && !(b.broadcastAddress() < a.broadcastAddress());
  }

  friend bool operator==(const Network&, const Network&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Network& n) { return os << n.toString(); }

 private:
  struct Bits {
    std::uint64_t hi, lo;
  };
  // The bits below the prefix length.
  static Bits hostmask(int version, int prefix) noexcept {
    if (version == 4) return {0, prefix >= 32 ? 0 : (0xffffffffULL >> prefix)};
    if (prefix >= 128) return {0, 0};
    if (prefix >= 64) return {0, ~0ULL >> (prefix - 64)};
    return {prefix == 0 ? ~0ULL : (~0ULL >> prefix), ~0ULL};
  }
  [[noreturn]] static void throwVersionMismatch(const Network& a, const Network& b);

  Network() = default;
  enum class Parse { Ok, Invalid, HostBitsSet };
  static Parse parseInto(std::string_view text, Network& out);

  std::uint64_t hi_ = 0;
  std::uint64_t lo_ = 0;
  std::string scope_;
  int version_ = 4;
  int prefix_ = 32;
};

}  // namespace pathbook
