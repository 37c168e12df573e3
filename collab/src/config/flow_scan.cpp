#include "config/flow_scan.hpp"

namespace collab::config {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool endsToken(std::string_view text, std::size_t i) {
  return i >= text.size() || isBlank(text[i]) || text[i] == '\n' || text[i] == '\r';
}

class FlowScan {
 public:
  FlowScan(std::string_view text, int maxDepth, std::size_t maxValues)
      : text_(text), maxDepth_(maxDepth), maxValues_(maxValues) {}

  std::optional<std::string> run() {
    while (i_ < text_.size() && found_ == std::string_view::npos) blockLine();
    if (found_ == std::string_view::npos) return std::nullopt;
    std::string prefix(text_.substr(0, found_));
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) prefix += *it == '[' ? ']' : '}';
    return prefix;
  }

 private:
  char at(std::size_t i) const { return i < text_.size() ? text_[i] : '\n'; }
  void skipLine() {
    while (i_ < text_.size() && text_[i_] != '\n') ++i_;
    if (i_ < text_.size()) ++i_;
  }
  void skipBlanks() {
    while (i_ < text_.size() && isBlank(text_[i_])) ++i_;
  }

  // A quoted scalar starting at i_, which may run over several lines.
  void skipQuoted() {
    const char quote = text_[i_++];
    while (i_ < text_.size()) {
      const char c = text_[i_++];
      if (quote == '"' && c == '\\') {
        ++i_;
      } else if (c == quote) {
        if (quote == '\'' && at(i_) == '\'') {
          ++i_;  // '' is a quote inside single quotes
        } else {
          return;
        }
      }
    }
  }

  // One line in block context, from its start.
  void blockLine() {
    const std::size_t lineStart = i_;
    skipBlanks();
    const std::size_t indent = i_ - lineStart;
    if (indent == 0 && at(i_) == '%') return skipLine();  // a directive
    if (indent == 0 && (text_.substr(i_, 3) == "---" || text_.substr(i_, 3) == "...") &&
        endsToken(text_, i_ + 3))
      i_ += 3;
    // Token starts: after the indentation and after "- ", "? ", ": ", anchors and tags.
    while (i_ < text_.size() && found_ == std::string_view::npos) {
      skipBlanks();
      const char c = at(i_);
      if (c == '\n') return skipLine();
      if (c == '#') return skipLine();
      if ((c == '-' || c == '?' || c == ':') && endsToken(text_, i_ + 1)) {
        ++i_;
        continue;
      }
      if (c == '&' || c == '!') {
        while (!endsToken(text_, i_)) ++i_;
        continue;
      }
      if (c == '[' || c == '{') {
        flow();
        if (!afterValue()) return;
        continue;
      }
      if (c == '"' || c == '\'') {
        skipQuoted();
        if (!afterValue()) return;
        continue;
      }
      if (c == '|' || c == '>') return blockScalar(indent);
      if (!plain()) return;
    }
  }

  // After a scalar or a flow collection in block context: a key's ':' lets another token start
  // on the line; anything else ends the line for this scan.
  bool afterValue() {
    skipBlanks();
    if (at(i_) == ':' && endsToken(text_, i_ + 1)) {
      ++i_;
      return true;
    }
    skipLine();
    return false;
  }

  // A plain scalar in block context: brackets and quotes inside it are text.  True when a key's
  // ':' ends it, so that a value follows on the line.
  bool plain() {
    while (i_ < text_.size() && text_[i_] != '\n') {
      if (text_[i_] == ':' && endsToken(text_, i_ + 1)) {
        ++i_;
        return true;
      }
      if (text_[i_] == '#' && i_ > 0 && isBlank(text_[i_ - 1])) break;
      ++i_;
    }
    skipLine();
    return false;
  }

  // The header of a block scalar ('|' or '>'), then its lines: blank ones and those indented
  // deeper than the line of the header.
  void blockScalar(std::size_t indent) {
    skipLine();
    while (i_ < text_.size()) {
      std::size_t j = i_;
      while (j < text_.size() && text_[j] == ' ') ++j;
      const bool blank = j >= text_.size() || text_[j] == '\n' || text_[j] == '\r';
      if (!blank && j - i_ <= indent) return;
      i_ = j;
      skipLine();
    }
  }

  // A flow collection from its opening bracket at i_ to its closing one.
  void flow() {
    open_.clear();
    bool tokenStart = true;
    while (i_ < text_.size()) {
      const char c = text_[i_];
      if (c == '[' || c == '{' || c == ',') {
        if (c != ',') open_ += c;
        if (open_.size() > static_cast<std::size_t>(maxDepth_) + 1) return stop();
        if (++values_ > maxValues_) return stop();
        tokenStart = true;
        ++i_;
      } else if (c == ']' || c == '}') {
        ++i_;
        open_.pop_back();
        if (open_.empty()) return;
        tokenStart = false;
      } else if (c == '#' && (i_ == 0 || isBlank(text_[i_ - 1]) || text_[i_ - 1] == '\n')) {
        skipLine();
      } else if ((c == '"' || c == '\'') && tokenStart) {
        skipQuoted();
        tokenStart = false;
      } else if ((c == ':' || c == '?') && endsToken(text_, i_ + 1)) {
        tokenStart = true;
        ++i_;
      } else {
        if (!isBlank(c) && c != '\n' && c != '\r') tokenStart = false;
        ++i_;
      }
    }
  }

  void stop() { found_ = ++i_; }

  std::string_view text_;
  int maxDepth_;
  std::size_t maxValues_;
  std::size_t i_ = 0;
  std::size_t values_ = 0;
  std::size_t found_ = std::string_view::npos;
  std::string open_;  // the opening brackets of the flow collections open at i_
};

}  // namespace

std::optional<std::string> flowLimitPrefix(std::string_view text, int maxDepth,
                                           std::size_t maxValues) {
  return FlowScan(text, maxDepth, maxValues).run();
}

}  // namespace collab::config
