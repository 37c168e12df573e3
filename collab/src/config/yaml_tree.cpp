#include "config/yaml_tree.hpp"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/mark.h>
#include <yaml-cpp/parser.h>

#include <algorithm>
#include <istream>
#include <streambuf>
#include <unordered_map>
#include <utility>

#include "config/config_text.hpp"
#include "config/flow_scan.hpp"

namespace collab::config {

namespace {

Loc locOf(const YAML::Mark& mark) {
  if (mark.is_null() || mark.line < 0) return {};
  return {mark.line + 1, mark.column + 1};
}

// A limit of the loader, told apart from the other errors when a truncated text is read.
class LimitError : public ConfigError {
 public:
  using ConfigError::ConfigError;
};

// Hands the text to yaml-cpp without copying it.  The get area is only ever read.
class TextBuffer : public std::streambuf {
 public:
  explicit TextBuffer(std::string_view text) {
    char* begin = const_cast<char*>(text.data());
    setg(begin, begin, begin + text.size());
  }
};

}  // namespace

// Builds a YamlTree from parser events, counting values and nesting as they arrive.
class TreeBuilder final : public YAML::EventHandler {
 public:
  TreeBuilder(YamlTree& tree, const std::string& file) : tree_(tree), file_(file) {
    tree_.tags_ = {"", "?", "!"};
  }

  void OnDocumentStart(const YAML::Mark&) override {}
  void OnDocumentEnd() override {}

  void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    leaf(YamlTree::Kind::kNull, mark, {}, anchor, {});
  }
  void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                const std::string& value) override {
    leaf(YamlTree::Kind::kScalar, mark, tag, anchor, value);
  }
  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    const bool key = nextIsKey();
    const std::uint32_t index = add(YamlTree::Kind::kAlias, mark, {}, {});
    const Anchor* target = anchor < anchors_.size() ? &anchors_[anchor] : nullptr;
    if (!target || !target->defined) return;  // yaml-cpp refuses unknown anchors itself
    tree_.nodes_[index].target = target->index;
    noteChildHeight(target->height);
    if (key) return;  // a key must be a name; the converter says so
    const Loc at = tree_.nodes_[index].loc;
    if (!target->complete)
      fail(at,
           "the document nests deeper than " + std::to_string(kMaxDepth) + " levels: the alias '*" +
               target->name + "' repeats a collection that holds it, without end",
           "an alias to a value defined before it", "an alias inside its own anchor");
    if (depth() + target->height > kMaxDepth) tooDeep(at);
    aliasValues_ += target->weight;
    if (values_ + target->weight > kMaxValues) tooMany(at);
    values_ += target->weight;
  }
  void OnSequenceStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    open(YamlTree::Kind::kSequence, mark, tag, anchor);
  }
  void OnSequenceEnd() override { close(); }
  void OnMapStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    open(YamlTree::Kind::kMap, mark, tag, anchor);
  }
  void OnMapEnd() override { close(); }
  void OnAnchor(const YAML::Mark&, const std::string& name) override { anchorName_ = name; }

 private:
  struct Frame {
    std::uint32_t index;
    bool isMap;
    std::uint32_t children = 0;
    std::uint32_t lastKey = 0;  // the key of the value being read, in a map
    std::size_t valuesAtOpen = 0;
    int childHeight = -1;  // the highest child's height; -1 while there is none
    YAML::anchor_t anchor = 0;
  };
  struct Anchor {
    bool defined = false;
    bool complete = false;
    std::uint32_t index = 0;
    std::size_t weight = 1;  // the values it stands for, itself included
    int height = 0;          // levels of nesting below it
    std::string name;
  };

  int depth() const { return static_cast<int>(stack_.size()); }
  bool nextIsKey() const {
    return !stack_.empty() && stack_.back().isMap && stack_.back().children % 2 == 0;
  }

  std::uint32_t tagIndex(const std::string& tag) {
    for (std::uint32_t i = 0; i < 3; ++i)
      if (tree_.tags_[i] == tag) return i;
    auto [it, fresh] = tagIndex_.emplace(tag, static_cast<std::uint32_t>(tree_.tags_.size()));
    if (fresh) tree_.tags_.push_back(tag);
    return it->second;
  }

  // Appends a node as the next child of the open collection.
  std::uint32_t add(YamlTree::Kind kind, const YAML::Mark& mark, const std::string& tag,
                    std::string_view text) {
    const auto index = static_cast<std::uint32_t>(tree_.nodes_.size());
    Loc at = locOf(mark);
    if (!stack_.empty()) {
      Frame& parent = stack_.back();
      const bool key = parent.isMap && parent.children % 2 == 0;
      if (key) parent.lastKey = index;
      // An empty value has no place of its own (yaml-cpp marks the next token): use the key's.
      if (!key && parent.isMap && kind == YamlTree::Kind::kNull)
        at = tree_.nodes_[parent.lastKey].loc;
      ++parent.children;
    }
    tree_.nodes_.push_back(YamlTree::Node{kind, tagIndex(tag), at, index + 1, index,
                                          static_cast<std::uint32_t>(tree_.texts_.size()),
                                          static_cast<std::uint32_t>(text.size())});
    tree_.texts_.append(text);
    return index;
  }

  // Counts a value that is not a key and checks both limits at it.
  void count(std::uint32_t index) {
    const Loc at = tree_.nodes_[index].loc;
    if (depth() > kMaxDepth) tooDeep(at);
    if (++values_ > kMaxValues) tooMany(at);
  }

  void registerAnchor(YAML::anchor_t anchor, std::uint32_t index, bool complete) {
    if (anchor == YAML::NullAnchor) return;
    if (anchors_.size() <= anchor) anchors_.resize(anchor + 1);
    anchors_[anchor] = Anchor{true, complete, index, 1, 0, std::exchange(anchorName_, {})};
  }

  void noteChildHeight(int height) {
    if (!stack_.empty()) stack_.back().childHeight = std::max(stack_.back().childHeight, height);
  }

  void leaf(YamlTree::Kind kind, const YAML::Mark& mark, const std::string& tag,
            YAML::anchor_t anchor, std::string_view text) {
    const bool key = nextIsKey();
    const std::uint32_t index = add(kind, mark, tag, text);
    registerAnchor(anchor, index, true);
    noteChildHeight(0);
    if (!key) count(index);
  }

  void open(YamlTree::Kind kind, const YAML::Mark& mark, const std::string& tag,
            YAML::anchor_t anchor) {
    const bool key = nextIsKey();
    const std::uint32_t index = add(kind, mark, tag, {});
    if (!key) count(index);
    registerAnchor(anchor, index, false);
    stack_.push_back(Frame{index, kind == YamlTree::Kind::kMap, 0, 0, values_, -1, anchor});
  }

  void close() {
    const Frame frame = stack_.back();
    stack_.pop_back();
    tree_.nodes_[frame.index].end = static_cast<std::uint32_t>(tree_.nodes_.size());
    const int height = frame.childHeight + 1;
    noteChildHeight(height);
    if (frame.anchor != YAML::NullAnchor) {
      Anchor& a = anchors_[frame.anchor];
      a.complete = true;
      a.height = height;
      a.weight = values_ - frame.valuesAtOpen + 1;
    }
  }

  // The key path of the node read last, from the open collections.
  std::string path() const {
    std::string out;
    for (const Frame& f : stack_) {
      if (!f.isMap) {
        out = appendIndex(out, f.children - 1);
        continue;
      }
      const YamlTree::Node* key = &tree_.nodes_[f.lastKey];
      if (key->kind == YamlTree::Kind::kAlias) key = &tree_.nodes_[key->target];
      out = appendKey(out, key->kind == YamlTree::Kind::kScalar
                               ? std::string_view(tree_.texts_).substr(key->textAt, key->textLen)
                               : std::string_view("?"));
    }
    return out;
  }

  [[noreturn]] void fail(Loc at, std::string problem, std::string expected, std::string found) {
    throw LimitError(file_, at.line, at.column, path(), std::move(problem), std::move(expected),
                     std::move(found));
  }
  [[noreturn]] void tooDeep(Loc at) {
    fail(at, "the document nests deeper than " + std::to_string(kMaxDepth) + " levels",
         "at most " + std::to_string(kMaxDepth) + " levels of nesting", "deeper nesting");
  }
  [[noreturn]] void tooMany(Loc at) {
    std::string problem = "the document holds more than " + std::to_string(kMaxValues) + " values";
    if (aliasValues_ > 0)
      problem += " once its aliases are expanded (" + std::to_string(aliasValues_) +
                 " of them come from aliases, each repeating all the values of its anchor)";
    fail(at, std::move(problem), "at most " + std::to_string(kMaxValues) + " values",
         "more values");
  }

  YamlTree& tree_;
  const std::string& file_;
  std::vector<Frame> stack_;
  std::vector<Anchor> anchors_;
  std::unordered_map<std::string, std::uint32_t> tagIndex_;
  std::string anchorName_;
  std::size_t values_ = 0;
  std::size_t aliasValues_ = 0;
};

namespace {

// The text of line `line` (0-based) and where it starts.
std::pair<std::string_view, std::size_t> lineAt(std::string_view text, int line) {
  std::size_t start = 0;
  for (int l = 0; l < line && start != std::string_view::npos; ++l) {
    start = text.find('\n', start);
    if (start != std::string_view::npos) ++start;
  }
  if (start == std::string_view::npos) return {{}, text.size()};
  const std::size_t end = text.find('\n', start);
  return {text.substr(start, end == std::string_view::npos ? end : end - start), start};
}

// yaml-cpp says what is wrong but not the most common causes: tabs indenting a line, and a key
// past YAML's length limit for keys (which it reads as a stray ':').
[[noreturn]] void syntaxError(const YAML::Exception& e, std::string_view text,
                              const std::string& file) {
  Loc at = locOf(e.mark);
  const auto [lineText, lineStart] = lineAt(text, e.mark.line);
  const std::size_t indentEnd = std::min(lineText.find_first_not_of(" \t"), lineText.size());
  std::string hint;
  if (lineText.substr(0, indentEnd).find('\t') != std::string_view::npos)
    hint = " (tabs are not allowed for indentation in YAML)";
  if (e.msg == YAML::ErrorMsg::MAP_VALUE && e.mark.pos >= 0) {
    // The key starts after the indentation and any "- " entries in front of it.
    std::size_t keyStart = indentEnd;
    while (lineText.substr(keyStart, 2) == "- ") keyStart += 2;
    const std::size_t colon = static_cast<std::size_t>(e.mark.pos) - lineStart;
    const std::size_t keyEnd =
        std::min(lineText.find_last_not_of(' ', colon == 0 ? 0 : colon - 1) + 1, lineText.size());
    if (colon <= lineText.size() && keyEnd > keyStart && keyEnd - keyStart > kMaxKeyLength) {
      const std::string_view key = lineText.substr(keyStart, keyEnd - keyStart);
      // yaml-cpp counts bytes; the operator counts characters.
      const auto characters =
          static_cast<std::size_t>(std::count_if(key.begin(), key.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
          }));
      std::string size = std::to_string(characters) + " characters";
      if (characters != key.size()) size += " (" + std::to_string(key.size()) + " bytes)";
      const std::string limit =
          std::to_string(kMaxKeyLength) + (characters != key.size() ? " bytes" : " characters");
      throw ConfigError(
          file, at.line, static_cast<int>(keyStart) + 1, {},
          "the key is too long: it has " + size + ", and YAML reads a key of at most " + limit,
          "a key of at most " + limit, "a key of " + size);
    }
  }
  throw ConfigError(file, at.line, at.column, {}, "YAML syntax error: " + e.msg + hint,
                    "well-formed YAML", e.msg);
}

[[noreturn]] void strayToken(std::string_view text, Loc at, const std::string& file) {
  const std::string_view line = lineAt(text, at.line - 1).first;
  const auto column = static_cast<std::size_t>(std::max(at.column - 1, 0));
  std::size_t length = 1;  // the whole UTF-8 character
  while (column + length < line.size() &&
         (static_cast<unsigned char>(line[column + length]) & 0xC0) == 0x80)
    ++length;
  const std::string token =
      column < line.size() ? quoteValue(line.substr(column, length)) : std::string("this");
  throw ConfigError(file, at.line, at.column, {}, "YAML syntax error: unexpected " + token,
                    "well-formed YAML", token);
}

}  // namespace

YamlTree YamlTree::read(std::string_view text, const std::string& file) {
  if (const auto prefix = flowLimitPrefix(text, kMaxDepth, kMaxValues)) {
    // The text is past a limit within the prefix: the tree stops at the exact value there,
    // and yaml-cpp never holds more than the prefix.
    try {
      (void)readDocuments(*prefix, file);
    } catch (const LimitError&) {
      throw;
    } catch (const ConfigError&) {
      // The quick scan misjudged the text (see flow_scan.hpp): read all of it.
    }
  }
  return readDocuments(text, file);
}

YamlTree YamlTree::readDocuments(std::string_view text, const std::string& file) {
  TextBuffer buffer(text);
  std::istream in(&buffer);
  YamlTree tree;
  // Each document's place, and whether it is empty: a trailing "---" leaves an empty document
  // behind, and only one with content counts.
  struct Document {
    bool empty;
    Loc at;
  };
  std::vector<Document> documents;
  try {
    YAML::Parser parser(in);
    TreeBuilder builder(tree, file);
    if (!parser.HandleNextDocument(builder) || tree.nodes_.empty())
      throw ConfigError(file, 1, 1, {}, "the configuration file is empty",
                        "a map of configuration sections starting with 'kind'", "no YAML content");
    documents.push_back({tree.nodes_[0].kind == Kind::kNull, tree.nodes_[0].loc});
    // Later documents are read only to tell an empty one from one with content.
    while (true) {
      YamlTree scratch;
      TreeBuilder next(scratch, file);
      if (!parser.HandleNextDocument(next) || scratch.nodes_.empty()) break;
      const Document document{scratch.nodes_[0].kind == Kind::kNull, scratch.nodes_[0].loc};
      // On a token no document can start with (a stray ',' at the top), yaml-cpp hands out
      // empty documents without end, each at that token.
      if (document.empty && documents.back().empty &&
          document.at.line == documents.back().at.line &&
          document.at.column == documents.back().at.column)
        strayToken(text, document.at, file);
      documents.push_back(document);
      if (!documents.back().empty) break;
    }
  } catch (const YAML::Exception& e) {
    syntaxError(e, text, file);
  }
  while (!documents.empty() && documents.back().empty) documents.pop_back();
  if (documents.empty())
    throw ConfigError(file, 1, 1, {}, "the configuration file is empty",
                      "a map of configuration sections starting with 'kind'", "no YAML content");
  if (documents.size() > 1) {
    const Loc at = documents[1].at.line > 0 ? documents[1].at : Loc{1, 1};
    throw ConfigError(file, at.line, at.column, {}, "the file holds more than one YAML document",
                      "exactly one document",
                      "a second document at line " + std::to_string(at.line));
  }
  return tree;
}

}  // namespace collab::config
