#pragma once
// An insertion-ordered map from text keys to values.
//
// Writing a key that is already present replaces its value where it stands; a new key goes to
// the end.  Iteration follows insertion order.  Small maps (tags) are searched linearly; once a
// map grows past a handful of entries (a route table's routes) a hash index takes over, so
// inserting n routes stays O(n).  The index is brought up to date lazily, at the next lookup,
// so a map filled with `append` (keys known to be new) never hashes while it is filled.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "collab/errors.hpp"

namespace collab {

template <class V>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, V>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  OrderedMap() = default;
  OrderedMap(std::initializer_list<value_type> init) {
    for (const auto& [k, v] : init) set(k, v);
  }

  /// Stores `value` under `key`: in place when the key exists, at the end otherwise.
  V& set(std::string key, V value) {
    if (auto i = indexOf(key); i != npos) {
      entries_[i].second = std::move(value);
      return entries_[i].second;
    }
    return append(std::move(key), std::move(value));
  }

  /// Adds an entry whose key the caller knows is not present yet (ids it numbers itself), without
  /// searching for it first.
  V& append(std::string key, V value) {
    entries_.emplace_back(std::move(key), std::move(value));
    return entries_.back().second;
  }

  /// The value under `key`, default-constructed at the end when missing.
  V& operator[](std::string_view key) {
    if (auto i = indexOf(key); i != npos) return entries_[i].second;
    return append(std::string(key), V{});
  }

  /// @throws MissingKeyError when `key` is not present.
  const V& at(std::string_view key) const {
    if (auto i = indexOf(key); i != npos) return entries_[i].second;
    throw MissingKeyError(key);
  }
  V& at(std::string_view key) {
    if (auto i = indexOf(key); i != npos) return entries_[i].second;
    throw MissingKeyError(key);
  }

  const V* find(std::string_view key) const {
    auto i = indexOf(key);
    return i == npos ? nullptr : &entries_[i].second;
  }
  V* find(std::string_view key) {
    auto i = indexOf(key);
    return i == npos ? nullptr : &entries_[i].second;
  }
  bool contains(std::string_view key) const { return indexOf(key) != npos; }

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  void reserve(std::size_t n) { entries_.reserve(n); }
  void clear() {
    entries_.clear();
    index_.clear();
    indexed_ = 0;
  }

  iterator begin() noexcept { return entries_.begin(); }
  iterator end() noexcept { return entries_.end(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }

  friend bool operator==(const OrderedMap& a, const OrderedMap& b) { return a.entries_ == b.entries_; }

 private:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  static constexpr std::size_t kLinearLimit = 16;

  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };

  std::size_t indexOf(std::string_view key) const {
    if (entries_.size() <= kLinearLimit) {
      for (std::size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].first == key) return i;
      return npos;
    }
    if (indexed_ < entries_.size()) {
      index_.reserve(entries_.size());
      for (; indexed_ < entries_.size(); ++indexed_) index_.emplace(entries_[indexed_].first, indexed_);
    }
    auto it = index_.find(key);
    return it == index_.end() ? npos : it->second;
  }

  std::vector<value_type> entries_;
  // Key to position, covering entries_[0, indexed_); caught up by lookups only.
  mutable std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> index_;
  mutable std::size_t indexed_ = 0;
};

}  // namespace collab
