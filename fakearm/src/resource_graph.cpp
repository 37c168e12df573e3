#include "resource_graph.hpp"

#include <cctype>
#include <deque>
#include <optional>

#include "text.hpp"

namespace fakearm::detail {

namespace {

struct Token {
  enum class Kind { Word, Text, Symbol, Number } kind;
  std::string text;
};

bool isWordStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '!';
}
bool isWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-';
}

// One stage's tokens.  A word runs over letters, digits, "_", "." and "-" (so "mv-expand" and
// "properties.gatewayType" are one word each); texts are quoted with ' or ".
std::vector<Token> tokenize(std::string_view stage) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < stage.size()) {
    char c = stage[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '\'' || c == '"') {
      // As in KQL, a backslash escapes the next character: \\, \', \", \n, \t, \r.
      std::string text;
      std::size_t end = i + 1;
      for (; end < stage.size() && stage[end] != c; ++end) {
        if (stage[end] != '\\') {
          text += stage[end];
          continue;
        }
        if (++end == stage.size()) break;
        switch (stage[end]) {
          case '\\':
          case '\'':
          case '"':
            text += stage[end];
            break;
          case 'n':
            text += '\n';
            break;
          case 't':
            text += '\t';
            break;
          case 'r':
            text += '\r';
            break;
          default:
            throw GraphQueryError("unknown escape '\\" + std::string(1, stage[end]) + "' in '" +
                                  std::string(stage) + "'");
        }
      }
      if (end >= stage.size())
        throw GraphQueryError("unterminated text in '" + std::string(stage) + "'");
      tokens.push_back({Token::Kind::Text, std::move(text)});
      i = end + 1;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      std::size_t end = i;
      while (end < stage.size() && std::isdigit(static_cast<unsigned char>(stage[end]))) ++end;
      tokens.push_back({Token::Kind::Number, std::string(stage.substr(i, end - i))});
      i = end;
    } else if (c == '=' ||
               (c == '!' && i + 1 < stage.size() && (stage[i + 1] == '=' || stage[i + 1] == '~'))) {
      std::size_t length =
          i + 1 < stage.size() && (stage[i + 1] == '=' || stage[i + 1] == '~') ? 2 : 1;
      tokens.push_back({Token::Kind::Symbol, std::string(stage.substr(i, length))});
      i += length;
    } else if (isWordStart(c)) {
      std::size_t end = i + 1;
      while (end < stage.size() && isWordChar(stage[end])) ++end;
      tokens.push_back({Token::Kind::Word, std::string(stage.substr(i, end - i))});
      i = end;
    } else if (c == ',') {
      tokens.push_back({Token::Kind::Symbol, ","});
      ++i;
    } else {
      throw GraphQueryError("unexpected '" + std::string(1, c) + "' in '" + std::string(stage) +
                            "'");
    }
  }
  return tokens;
}

// The query split at "|" outside quotes (a quote escaped by a backslash does not end one).
std::vector<std::string> stagesOf(std::string_view text) {
  std::vector<std::string> stages(1);
  char quote = 0;
  bool escaped = false;
  for (char c : text) {
    if (quote) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '|') {
      stages.emplace_back();
      continue;
    }
    stages.back() += c;
  }
  return stages;
}

std::vector<std::string> pathOf(const std::string& word) {
  std::vector<std::string> path = split(word, '.');
  for (const auto& part : path) {
    if (part.empty() || !(std::isalpha(static_cast<unsigned char>(part[0])) || part[0] == '_')) {
      throw GraphQueryError("'" + word + "' is not a column or member path");
    }
  }
  return path;
}

std::string columnName(const std::vector<std::string>& path) {
  std::string name;
  for (const auto& part : path) name += (name.empty() ? "" : "_") + part;
  return name;
}

// Reads tokens of one stage in order.
class Cursor {
 public:
  Cursor(std::vector<Token> tokens, std::string stage)
      : tokens_(std::move(tokens)), stage_(std::move(stage)) {}
  bool done() const { return next_ == tokens_.size(); }
  const Token* peek() const { return done() ? nullptr : &tokens_[next_]; }
  const Token& take(Token::Kind kind, const char* what) {
    if (done() || tokens_[next_].kind != kind) fail(std::string("expected ") + what);
    return tokens_[next_++];
  }
  bool takeSymbol(std::string_view symbol) {
    if (!done() && tokens_[next_].kind == Token::Kind::Symbol && tokens_[next_].text == symbol) {
      ++next_;
      return true;
    }
    return false;
  }
  [[noreturn]] void fail(const std::string& problem) const {
    throw GraphQueryError(problem + " in '" + stage_ + "'");
  }

 private:
  std::vector<Token> tokens_;
  std::string stage_;
  std::size_t next_ = 0;
};

// A row while the query runs: a Resources row (or a projected one) and the names expanded
// into it so far.
struct Row {
  const Json* base;
  std::vector<std::pair<std::string, Json>> names;
};

const Json* lookup(const Row& row, const std::vector<std::string>& path) {
  const Json* value = nullptr;
  for (auto it = row.names.rbegin(); it != row.names.rend() && !value; ++it) {
    if (it->first == path[0]) value = &it->second;
  }
  if (!value) {
    auto found = row.base->find(path[0]);
    if (found == row.base->end()) return nullptr;
    value = &*found;
  }
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (!value->is_object()) return nullptr;
    auto found = value->find(path[i]);
    if (found == value->end()) return nullptr;
    value = &*found;
  }
  return value;
}

bool isAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// `needle` as whole terms of `text`, letter case ignored.
bool hasTerm(const std::string& text, const std::string& needle) {
  if (needle.empty()) return true;
  const std::string haystack = lower(text);
  const std::string wanted = lower(needle);
  for (std::size_t at = haystack.find(wanted); at != std::string::npos;
       at = haystack.find(wanted, at + 1)) {
    const std::size_t end = at + wanted.size();
    bool leftOk = !isAlnum(wanted.front()) || at == 0 || !isAlnum(haystack[at - 1]);
    bool rightOk = !isAlnum(wanted.back()) || end == haystack.size() || !isAlnum(haystack[end]);
    if (leftOk && rightOk) return true;
  }
  return false;
}

}  // namespace

GraphQuery GraphQuery::parse(std::string_view text) {
  std::vector<std::string> stages = stagesOf(text);
  GraphQuery query;
  if (tokenize(stages[0]).size() != 1 || !iequals(tokenize(stages[0])[0].text, "Resources")) {
    throw GraphQueryError("a query must start with the table 'Resources', found '" + stages[0] +
                          "'");
  }
  for (std::size_t s = 1; s < stages.size(); ++s) {
    Cursor cursor(tokenize(stages[s]), stages[s]);
    const std::string keyword = cursor.take(Token::Kind::Word, "an operator").text;
    Stage stage;
    if (keyword == "where") {
      stage.kind = Stage::Kind::Where;
      do {
        Condition condition;
        condition.path = pathOf(cursor.take(Token::Kind::Word, "a column").text);
        const Token* op = cursor.peek();
        if (!op) cursor.fail("expected a comparison");
        std::string name = op->text;
        cursor.take(op->kind, "a comparison");
        condition.negated = name.size() > 1 && name[0] == '!';
        if (condition.negated) name = name.substr(1);
        if (name == "=~" || name == "~") {
          condition.op = Op::EqualNoCase;
        } else if (name == "==" || name == "=") {
          condition.op = Op::Equal;
        } else if (name == "has") {
          condition.op = Op::Has;
        } else if (name == "contains") {
          condition.op = Op::Contains;
        } else {
          cursor.fail("unsupported comparison '" + op->text + "'");
        }
        condition.literal = cursor.take(Token::Kind::Text, "a quoted text").text;
        stage.conditions.push_back(std::move(condition));
        if (cursor.done()) break;
        if (cursor.take(Token::Kind::Word, "'and'").text != "and") cursor.fail("expected 'and'");
      } while (true);
    } else if (keyword == "mvexpand" || keyword == "mv-expand") {
      stage.kind = Stage::Kind::Expand;
      std::string first = cursor.take(Token::Kind::Word, "a name").text;
      if (cursor.takeSymbol("=")) {
        stage.expand = {first, pathOf(cursor.take(Token::Kind::Word, "a column").text)};
      } else {
        stage.expand.path = pathOf(first);
        stage.expand.name = stage.expand.path.back();
      }
    } else if (keyword == "project") {
      stage.kind = Stage::Kind::Project;
      do {
        std::string first = cursor.take(Token::Kind::Word, "a column").text;
        if (cursor.takeSymbol("=")) {
          stage.columns.push_back({first, pathOf(cursor.take(Token::Kind::Word, "a column").text)});
        } else {
          std::vector<std::string> path = pathOf(first);
          stage.columns.push_back({columnName(path), path});
        }
      } while (cursor.takeSymbol(","));
    } else if (keyword == "limit" || keyword == "take") {
      stage.kind = Stage::Kind::Limit;
      stage.limit = std::stoul(cursor.take(Token::Kind::Number, "a row count").text);
    } else {
      cursor.fail("unsupported operator '" + keyword + "'");
    }
    if (!cursor.done()) cursor.fail("unexpected '" + cursor.peek()->text + "'");
    query.stages_.push_back(std::move(stage));
  }
  return query;
}

bool GraphQuery::keepsId() const {
  for (const Stage& stage : stages_) {
    if (stage.kind != Stage::Kind::Project) continue;
    bool kept = false;
    for (const Column& column : stage.columns) kept = kept || column.name == "id";
    if (!kept) return false;
  }
  return true;
}

std::vector<Json> GraphQuery::run(const std::vector<const std::vector<Json>*>& tables) const {
  std::vector<Row> rows;
  for (const auto* table : tables) {
    for (const Json& row : *table) rows.push_back({&row, {}});
  }
  std::deque<Json> projected;  // owns the rows a projection makes; a deque keeps them in place
  for (const Stage& stage : stages_) {
    std::vector<Row> next;
    switch (stage.kind) {
      case Stage::Kind::Where:
        for (Row& row : rows) {
          bool keep = true;
          for (const Condition& condition : stage.conditions) {
            const Json* value = lookup(row, condition.path);
            bool match = false;
            if (value && !value->is_null()) {
              std::string valueText =
                  value->is_string() ? value->get<std::string>() : value->dump();
              switch (condition.op) {
                case Op::Equal:
                  match = valueText == condition.literal;
                  break;
                case Op::EqualNoCase:
                  match = iequals(valueText, condition.literal);
                  break;
                case Op::Has:
                  match = hasTerm(valueText, condition.literal);
                  break;
                case Op::Contains:
                  match = lower(valueText).find(lower(condition.literal)) != std::string::npos;
                  break;
              }
            }
            if (match == condition.negated) {
              keep = false;
              break;
            }
          }
          if (keep) next.push_back(std::move(row));
        }
        break;
      case Stage::Kind::Expand:
        for (Row& row : rows) {
          const Json* value = lookup(row, stage.expand.path);
          auto add = [&](Json element) {
            Row copy = row;
            copy.names.emplace_back(stage.expand.name, std::move(element));
            next.push_back(std::move(copy));
          };
          if (value && value->is_array()) {
            for (const Json& element : *value) add(element);
          } else if (value && value->is_object()) {
            for (const auto& [key, member] : value->items()) add(Json{{key, member}});
          } else {
            add(value ? *value : Json());
          }
        }
        break;
      case Stage::Kind::Project:
        for (const Row& row : rows) {
          Json out = Json::object();
          for (const Column& column : stage.columns) {
            const Json* value = lookup(row, column.path);
            out[column.name] = value ? *value : Json();
          }
          projected.push_back(std::move(out));
          next.push_back({&projected.back(), {}});
        }
        break;
      case Stage::Kind::Limit:
        next.assign(std::make_move_iterator(rows.begin()),
                    std::make_move_iterator(rows.begin() + std::min(rows.size(), stage.limit)));
        break;
    }
    rows = std::move(next);
  }
  std::vector<Json> out;
  out.reserve(rows.size());
  for (const Row& row : rows) {
    Json result = *row.base;
    for (const auto& [name, value] : row.names) result[name] = value;
    out.push_back(std::move(result));
  }
  return out;
}

}  // namespace fakearm::detail
