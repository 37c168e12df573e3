// Reading the reports to compare, and the text and JSON listings of their changes.

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "collab/log_text.hpp"
#include "diff/report_diff.hpp"
#include "report/report.hpp"

namespace kxdiscover {

namespace {

constexpr std::string_view kReportShapePrefix = "kx-discover-report/";

std::string textMember(const Json& body, const char* key) {
  const auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : "unknown";
}

// An argument as a shell would need it.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n'\"\\$`*?&;|<>(){}[]#~!") == std::string::npos)
    return arg;
  std::string out = "'";
  for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string commandText(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& arg : args) out += (out.empty() ? "" : " ") + quoted(arg);
  return out.empty() ? "unknown" : out;
}

Json optionalText(const std::string& text) { return text.empty() ? Json() : Json(text); }

// The parser's message quotes the whole token it stopped in ("last read: '...'"), which may be
// the whole file: the quote is cut, and what would act on a terminal is shown escaped.
std::string shortParseMessage(std::string_view message) {
  constexpr std::string_view kQuote = "last read: '";
  constexpr std::size_t kQuoted = 40;
  std::string_view kept = message;
  bool cut = false;
  if (const std::size_t at = message.find(kQuote); at != std::string_view::npos) {
    const std::size_t quoted = message.size() - (at + kQuote.size());
    if (quoted > kQuoted + 1) {
      std::size_t end = at + kQuote.size() + kQuoted;
      while (end > at && (static_cast<unsigned char>(message[end]) & 0xC0) == 0x80) --end;
      kept = message.substr(0, end);
      cut = true;
    }
  }
  const std::string out = collab::escapeControls(kept);
  return cut ? out + "...'" : out;
}

Json originJson(const ReportOrigin& origin) {
  return Json{{"file", origin.file},
              {"started", origin.started},
              {"finished", origin.finished},
              {"command_line", origin.commandLine}};
}

}  // namespace

LoadedReport reportFromJson(Json body, std::string file) {
  if (!body.is_object()) throw ReportReadError(file + ": not a kx-discover report (not an object)");
  const auto schema = body.find("schema");
  if (schema == body.end() || !schema->is_string())
    throw ReportReadError(file + ": not a kx-discover report (it has no \"schema\" member)");
  const std::string shape = schema->get<std::string>();
  if (shape != kReportSchema) {
    if (!shape.starts_with(kReportShapePrefix))
      throw ReportReadError(file + ": not a kx-discover report (its schema is \"" + shape +
                            "\", a report's is \"" + kReportSchema + "\")");
    throw ReportReadError(file + ": a report of shape " + shape + ", but this kx-discover reads " +
                          kReportSchema +
                          " only; compare it with the kx-discover version that wrote it");
  }
  ReportOrigin origin{
      std::move(file), textMember(body, "started"), textMember(body, "finished"), {}};
  if (const auto line = body.find("command_line"); line != body.end() && line->is_array()) {
    for (const Json& arg : *line)
      origin.commandLine.push_back(arg.is_string() ? arg.get<std::string>() : arg.dump());
  }
  return LoadedReport{std::move(origin), std::move(body)};
}

LoadedReport loadReport(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ReportReadError(file + ": cannot be read: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ReportReadError(file + ": cannot be read: " + std::strerror(errno));
  Json body;
  try {
    // The bound is checked as the parser goes down, before the values of a deeper level are
    // built: a file of nothing but '[' would otherwise take gigabytes before failing.
    body = Json::parse(text.str(), [](int depth, Json::parse_event_t, Json&) {
      if (depth > kMaxReportDepth)
        throw ReportReadError("nested deeper than " + std::to_string(kMaxReportDepth) + " levels");
      return true;
    });
  } catch (const Json::parse_error& e) {
    throw ReportReadError(file + ": not JSON: " + shortParseMessage(e.what()));
  } catch (const ReportReadError& e) {
    throw ReportReadError(file + ": not a kx-discover report: " + e.what());
  }
  return reportFromJson(std::move(body), file);
}

std::string changeLine(const Change& c) {
  std::string line = std::string(1, static_cast<char>(c.mark)) + " " +
                     std::string(subjectWords(c.subject)) + " " + c.name;
  switch (c.mark) {
    case ChangeMark::Added:
      if (!c.after.empty()) line += " " + c.after;
      break;
    case ChangeMark::Removed:
      if (!c.before.empty()) line += " " + c.before;
      break;
    case ChangeMark::Changed:
      line += " " + c.aspect + " " + c.before + " -> " + c.after;
      break;
  }
  return line;
}

std::string diffText(const ReportDiff& diff) {
  std::ostringstream out;
  const std::size_t n = diff.changes.size();
  out << "kx-discover diff: "
      << (n == 0 ? std::string("no change") : std::to_string(n) + (n == 1 ? " change" : " changes"))
      << "\n";
  for (const auto& [label, origin] :
       {std::pair{"old", &diff.older}, std::pair{"new", &diff.newer}}) {
    out << "  " << label << "  " << origin->file << "  started " << origin->started << "  "
        << commandText(origin->commandLine) << "\n";
  }
  const Change* previous = nullptr;
  for (const Change& c : diff.changes) {
    if (!previous || previous->subscription != c.subscription) {
      out << "subscription " << c.subscription;
      if (!c.accountName.empty()) out << " (" << c.accountName << ")";
      out << "\n";
    }
    if (!c.vnet.empty() &&
        (!previous || previous->subscription != c.subscription || previous->vnet != c.vnet))
      out << "  vnet " << c.vnet << "\n";
    out << (c.vnet.empty() ? "  " : "    ") << changeLine(c) << "\n";
    previous = &c;
  }
  return out.str();
}

Json diffJson(const ReportDiff& diff) {
  Json changes = Json::array();
  for (const Change& c : diff.changes) {
    const bool changed = c.mark == ChangeMark::Changed;
    changes.push_back(Json{{"mark", std::string(1, static_cast<char>(c.mark))},
                           {"subscription", c.subscription},
                           {"account_name", optionalText(c.accountName)},
                           {"vnet", optionalText(c.vnet)},
                           {"subject", subjectKey(c.subject)},
                           {"id", c.id},
                           {"name", c.name},
                           {"aspect", changed ? Json(c.aspect) : Json()},
                           {"before", c.mark == ChangeMark::Added ? Json() : Json(c.before)},
                           {"after", c.mark == ChangeMark::Removed ? Json() : Json(c.after)},
                           {"line", changeLine(c)}});
  }
  return Json{{"schema", kDiffSchema},
              {"old", originJson(diff.older)},
              {"new", originJson(diff.newer)},
              {"changes", std::move(changes)}};
}

}  // namespace kxdiscover
