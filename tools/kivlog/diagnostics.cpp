#include "diagnostics.h"

#include <algorithm>
#include <sstream>

#include "commands.h"

namespace kivlog {

void SourceMap::SetText(const std::string& text) {
  text_ = text;
  line_starts_.assign(1, 0);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') line_starts_.push_back(i + 1);
  }
}

size_t SourceMap::Locate(const std::string& field) const {
  // "records[N]" and what follows it, else a member of the root object.
  static const std::string kRecords = "records[";
  if (field.rfind(kRecords, 0) == 0) {
    const size_t close = field.find(']');
    size_t index = 0;
    try {
      index = std::stoul(field.substr(kRecords.size(), close - kRecords.size()));
    } catch (...) {
      return root_.count("records") ? root_.at("records") : 0;
    }
    if (index >= records_.size()) return root_.count("records") ? root_.at("records") : 0;
    const RecordPlace& place = records_[index];
    if (close + 1 >= field.size()) return place.object;
    const std::string rest = field.substr(close + 2);  // after "]."
    // The field itself, else the one holding it ("saved" for "saved.time").
    for (std::string want = rest;;) {
      for (const auto& [name, offset] : place.fields) {
        if (name == want) return offset;
      }
      const size_t dot = want.rfind('.');
      if (dot == std::string::npos) return place.object;
      want.resize(dot);
    }
  }
  const std::string key = field.substr(0, field.find_first_of(".["));
  auto it = root_.find(key);
  return it == root_.end() ? 0 : it->second;
}

std::pair<size_t, size_t> SourceMap::LineColumn(size_t offset) const {
  if (line_starts_.empty()) return {1, 1};
  offset = std::min(offset, text_.size());
  const auto after = std::upper_bound(line_starts_.begin(), line_starts_.end(), offset);
  const size_t line = static_cast<size_t>(after - line_starts_.begin());
  const size_t start = line_starts_[line - 1];
  // Columns count characters: UTF-8 continuation bytes are not counted.
  size_t column = 1;
  for (size_t i = start; i < offset; ++i) {
    if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) ++column;
  }
  return {line, column};
}

std::string DiagnosticLine(const std::string& label, size_t line, size_t column,
                           const Diagnostic& d, bool warning_as_error) {
  std::string text;
  if (line > 0) {
    text = label + "(" + std::to_string(line) + "," + std::to_string(column) + "): ";
  } else {
    text = "kivlog: " + label + ": ";
  }
  const bool error = d.severity == Severity::kError || warning_as_error;
  text += error ? "error" : "warning";
  if (!d.id.empty()) text += " " + d.id;
  text += ": ";
  if (!d.field.empty()) text += d.field + ": ";
  text += d.message;
  if (!d.hint.empty()) text += "; " + d.hint;
  if (d.severity == Severity::kWarning && warning_as_error) text += " [--werror]";
  return text;
}

void Report::Add(const std::string& label, const SourceMap* map, Diagnostic d) {
  if (d.severity == Severity::kWarning) {
    if (policy_.silenced.count(d.id)) return;
    ++warnings_;
  }
  Entry e{label, std::move(d)};
  if (map) {
    const size_t offset = e.d.offset ? *e.d.offset : map->Locate(e.d.field);
    e.d.offset = offset;
    std::tie(e.line, e.column) = map->LineColumn(offset);
  }
  entries_.push_back(std::move(e));
}

void Report::Absorb(std::ostringstream& captured, const char* id) {
  std::istringstream lines(captured.str());
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    Entry e;
    e.d = {Severity::kError, id, "", line, std::nullopt, {}};
    e.raw = true;
    entries_.push_back(std::move(e));
  }
  captured.str("");
  captured.clear();
}

bool Report::HasErrors() const {
  for (const auto& e : entries_) {
    if (e.d.severity == Severity::kError) return true;
  }
  return false;
}

int Report::Finish(std::ostream& out, std::ostream& err, nlohmann::ordered_json extra) {
  const bool failed = HasErrors() || FailsOnWarnings();
  if (!policy_.json) {
    for (const auto& e : entries_) {
      err << (e.raw ? e.d.message : DiagnosticLine(e.label, e.line, e.column, e.d, policy_.as_errors))
          << '\n';
    }
    return failed ? kExitFailed : kExitOk;
  }
  nlohmann::ordered_json doc = nlohmann::ordered_json::object();
  doc["ok"] = !failed;
  doc["errors"] = 0;
  doc["warnings"] = 0;
  for (auto& [key, value] : extra.items()) doc[key] = value;
  doc["diagnostics"] = nlohmann::ordered_json::array();
  size_t errors = 0, warnings = 0;
  for (const auto& e : entries_) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    const bool warning = e.d.severity == Severity::kWarning;
    (warning ? warnings : errors)++;
    j["severity"] = warning ? (policy_.as_errors ? "error" : "warning") : "error";
    j["id"] = e.d.id.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(e.d.id);
    j["file"] = e.label;
    if (e.line > 0) {
      j["line"] = e.line;
      j["column"] = e.column;
    }
    j["field"] = e.d.field.empty() ? nlohmann::ordered_json(nullptr)
                                   : nlohmann::ordered_json(e.d.field);
    // A helper's line: "kivlog: FILE: what", told as FILE and what.
    std::string message = e.d.message;
    if (e.raw && message.rfind("kivlog: ", 0) == 0) message.erase(0, 8);
    j["message"] = message;
    if (!e.d.hint.empty()) j["hint"] = e.d.hint;
    doc["diagnostics"].push_back(std::move(j));
  }
  doc["errors"] = errors;
  doc["warnings"] = warnings;
  out << doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
  return failed ? kExitFailed : kExitOk;
}

}  // namespace kivlog
