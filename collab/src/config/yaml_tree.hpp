#pragma once
// A YAML document as the configuration loader reads it: every node in document order in one
// array, built from yaml-cpp's parser events while the text is read.
//
// Reading is linear in the text's size, and the loader's limits hold while it reads: the
// first value nested deeper than kMaxDepth, or the value past kMaxValues (an alias counts as
// every value under its anchor), stops the reading with a ConfigError at that value.  So a
// hostile file costs at most about kMaxValues nodes of memory, whatever its size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "collab/config_error.hpp"

namespace collab::config {

/// Values a document may hold once its aliases are expanded: an alias repeating an anchor that
/// repeats another grows a few lines into millions of values.
inline constexpr std::size_t kMaxValues = 200000;
/// Levels of nesting below the top-level map; deeper documents are refused.
inline constexpr int kMaxDepth = 64;
/// YAML's own limit on a key written without '?': longer keys are not read as keys.
inline constexpr std::size_t kMaxKeyLength = 1024;

/// A 1-based place in the file; 0 when it has none.
struct Loc {
  int line = 0;
  int column = 0;
};

class YamlTree;

/// One node of a YamlTree; an alias stands for the node it refers to.  A default-made
/// reference is "undefined" (an absent section).
class YamlRef {
 public:
  YamlRef() = default;

  bool isDefined() const noexcept { return tree_ != nullptr; }
  bool isNull() const noexcept;
  bool isScalar() const noexcept;
  bool isSequence() const noexcept;
  bool isMap() const noexcept;
  /// The tag as yaml-cpp resolves it: "?" for a plain scalar, "!" for a quoted or block one,
  /// the full tag for an explicit one, empty for a null.
  std::string_view tag() const noexcept;
  /// A scalar's text (empty for other nodes).
  std::string_view text() const noexcept;
  /// Where the node starts; yaml-cpp places an empty value where the next token starts.
  Loc loc() const noexcept;

  /// Calls visit(item) for each item of a sequence, in order.
  template <class Visit>
  void forEachItem(Visit visit) const;
  /// Calls visit(key, value) for each entry of a map, in order.
  template <class Visit>
  void forEachEntry(Visit visit) const;

 private:
  friend class YamlTree;
  YamlRef(const YamlTree& tree, std::uint32_t index) noexcept;
  std::uint32_t end() const noexcept;

  const YamlTree* tree_ = nullptr;
  std::uint32_t index_ = 0;
};

class YamlTree {
 public:
  enum class Kind : std::uint8_t { kNull, kScalar, kSequence, kMap, kAlias };

  struct Node {
    Kind kind;
    std::uint32_t tag;  ///< index into tags_
    Loc loc;
    std::uint32_t end;     ///< one past the last node of its subtree
    std::uint32_t target;  ///< for an alias: the index of the node it repeats
    std::uint32_t textAt;  ///< a scalar's text: offset and length in texts_
    std::uint32_t textLen;
  };

  /// Reads the one document of `text`.  @throws ConfigError for a YAML syntax error, an empty
  /// text, more than one document and the limits above, naming `file`, line and column.
  static YamlTree read(std::string_view text, const std::string& file);

  /// The top-level node.
  YamlRef root() const noexcept { return YamlRef(*this, 0); }

 private:
  friend class YamlRef;
  friend class TreeBuilder;

  static YamlTree readDocuments(std::string_view text, const std::string& file);

  std::vector<Node> nodes_;
  std::string texts_;
  std::vector<std::string> tags_;
};

// ---- inline ---------------------------------------------------------------------------------

inline YamlRef::YamlRef(const YamlTree& tree, std::uint32_t index) noexcept
    : tree_(&tree),
      index_(tree.nodes_[index].kind == YamlTree::Kind::kAlias ? tree.nodes_[index].target
                                                               : index) {}

inline bool YamlRef::isNull() const noexcept {
  return tree_ && tree_->nodes_[index_].kind == YamlTree::Kind::kNull;
}
inline bool YamlRef::isScalar() const noexcept {
  return tree_ && tree_->nodes_[index_].kind == YamlTree::Kind::kScalar;
}
inline bool YamlRef::isSequence() const noexcept {
  return tree_ && tree_->nodes_[index_].kind == YamlTree::Kind::kSequence;
}
inline bool YamlRef::isMap() const noexcept {
  return tree_ && tree_->nodes_[index_].kind == YamlTree::Kind::kMap;
}
inline std::string_view YamlRef::tag() const noexcept {
  return tree_ ? std::string_view(tree_->tags_[tree_->nodes_[index_].tag]) : std::string_view();
}
inline std::string_view YamlRef::text() const noexcept {
  if (!tree_) return {};
  const auto& node = tree_->nodes_[index_];
  return std::string_view(tree_->texts_).substr(node.textAt, node.textLen);
}
inline Loc YamlRef::loc() const noexcept { return tree_ ? tree_->nodes_[index_].loc : Loc{}; }
inline std::uint32_t YamlRef::end() const noexcept { return tree_->nodes_[index_].end; }

template <class Visit>
void YamlRef::forEachItem(Visit visit) const {
  if (!isSequence()) return;
  for (std::uint32_t i = index_ + 1; i < end(); i = tree_->nodes_[i].end) visit(YamlRef(*tree_, i));
}

template <class Visit>
void YamlRef::forEachEntry(Visit visit) const {
  if (!isMap()) return;
  for (std::uint32_t k = index_ + 1; k < end();) {
    const std::uint32_t v = tree_->nodes_[k].end;
    visit(YamlRef(*tree_, k), YamlRef(*tree_, v));
    k = tree_->nodes_[v].end;
  }
}

}  // namespace collab::config
