// kivlog list and check: the records as the uninstall undoes them, and the
// stub's verdict on the file with every fault the build rules find.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "code_page.h"
#include "command_common.h"
#include "commands.h"
#include "file_ops.h"
#include "diagnostics.h"
#include "lint.h"
#include "json_stream.h"
#include "listing.h"
#include "rules.h"
#include "screen_text.h"
#include "stream_source.h"
#include "stub_rules.h"

namespace kivlog {

namespace {

using kiv::RecordType;
using OrderedJson = nlohmann::ordered_json;

std::string Dump(const OrderedJson& doc) {
  return doc.dump(2, ' ', false, OrderedJson::error_handler_t::replace);
}

// A string for the table: control bytes and quotes as \xNN, the rest as is.
// The C1 controls U+0080 to U+009F (UTF-8 C2 80 to C2 9F) show the same
// way, as the byte of the same value: Windows-1252 leaves 0x81, 0x8D, 0x8F,
// 0x90 and 0x9D unassigned and decodes them so. Bidirectional controls and
// characters of no width show as \uNNNN: raw, they would reorder or hide
// what the table shows.
std::string Quoted(const std::string& utf8) {
  std::string out = "\"";
  const auto escape = [&](uint8_t value) {
    char esc[8];
    snprintf(esc, sizeof(esc), "\\x%02X", value);
    out += esc;
  };
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto b = static_cast<uint8_t>(utf8[i]);
    if (b < 0x20 || b == 0x7F || b == '"') {
      escape(b);
    } else if (b == 0xC2 && i + 1 < utf8.size() && static_cast<uint8_t>(utf8[i + 1]) >= 0x80 &&
               static_cast<uint8_t>(utf8[i + 1]) <= 0x9F) {
      escape(static_cast<uint8_t>(utf8[++i]));
    } else if (b >= 0xC0) {
      size_t next = i;
      const uint32_t c = NextCodePoint(utf8, &next);
      if (HiddenCharacterName(c)) {
        char esc[8];
        snprintf(esc, sizeof(esc), "\\u%04X", c);
        out += esc;
      } else {
        out.append(utf8, i, next - i);
      }
      i = next - 1;
    } else {
      out += utf8[i];
    }
  }
  return out + "\"";
}

// One field of the table: key=value.
std::string ShownField(const std::string& key, const OrderedJson& value) {
  if (key == "saved" && value.is_object()) {
    std::string when = value["time_utc"].is_string() ? value["time_utc"].get<std::string>()
                                                     : value["time"].get<std::string>();
    return "saved=" + std::to_string(value["length"].get<uint32_t>()) + " bytes @ " + when;
  }
  if (value.is_null()) return key + "=none";
  if (value.is_boolean()) return key + (value.get<bool>() ? "=true" : "=false");
  return key + "=" + Quoted(value.get<std::string>());
}

std::string PadLeft(const std::string& s, size_t width) {
  return std::string(width > s.size() ? width - s.size() : 0, ' ') + s;
}

std::string PadRight(const std::string& s, size_t width) {
  return s + std::string(width > s.size() ? width - s.size() : 0, ' ');
}

void PrintTable(kiv::LogReader& reader, const ListingHead& head, std::ostream& out) {
  out << "Display name: " << Quoted(head.display_name) << '\n';
  if (head.named_code_page != 0) out << "Code page: " << head.named_code_page << '\n';
  out << head.undo << (head.undo == 1 ? " record" : " records") << " to undo, last written first:\n\n";
  const size_t offset_width = std::max<size_t>(6, std::to_string(head.highest_offset).size());
  size_t type_width = 4;
  for (uint16_t type = 0; type < 32; ++type) {
    if (head.types & (1u << type)) {
      type_width = std::max(type_width, strlen(RecordTypeName(static_cast<RecordType>(type))));
    }
  }
  out << PadLeft("OFFSET", offset_width) << "  " << PadRight("TYPE", type_width) << "  FIELDS\n";
  WalkListing(reader, head, true, [&](const ListedRecord& r) {
    std::string fields;
    for (const auto& [key, value] : r.fields.items()) {
      fields += (fields.empty() ? "" : "  ") + ShownField(key, value);
    }
    std::string line = PadLeft(std::to_string(r.offset), offset_width) + "  " +
                       PadRight(RecordTypeName(r.type), type_width);
    if (!fields.empty()) line += "  " + fields;
    // Records with no fields leave trailing blanks from the padding.
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << '\n';
  });
}

// Written as the records are read: a listing of millions of records is
// never held whole.
void PrintJson(kiv::LogReader& reader, const ListingHead& head, std::ostream& out) {
  OrderedJson doc = OrderedJson::object();
  doc["display_name"] = head.display_name;
  doc["size"] = head.size;
  // Only a file that names its code page says one: the text of any other is
  // in the code page of the system that runs it.
  if (head.named_code_page != 0) doc["code_page"] = head.named_code_page;
  StreamedArray records(OrderedJson::error_handler_t::replace);
  out << records.Open(doc, "records");
  OrderedJson tail = OrderedJson::object();
  WalkListing(reader, head, true, [&](const ListedRecord& r) {
    if (r.type == RecordType::kEndOfLog) {
      tail["end_of_log"] = r.offset;
      return;
    }
    OrderedJson record = OrderedJson::object();
    record["offset"] = r.offset;
    record["type"] = RecordTypeName(r.type);
    for (const auto& [key, value] : r.fields.items()) record[key] = value;
    out << records.Add(record);
  });
  out << records.Close(tail) << '\n';
}

// What the build rules find in a sound file, as lines and as JSON.
struct Faults {
  std::vector<std::string> lines;
  OrderedJson json = OrderedJson::array();
};

void DisplayNameFaults(const kiv::LogReader& reader, const ListingHead& head, Faults* faults) {
  if (auto fault = DisplayNameFault(head.display_name)) {
    const uint32_t at = reader.name_offset();
    faults->lines.push_back("display name at " + Offset(at) + ": " + *fault);
    faults->json.push_back({{"field", "display_name"}, {"offset", at}, {"message", *fault}});
  }
}

// r is records[index], numbered as in the manifest: in the order written.
void RecordFaultsOf(const ListedRecord& r, size_t index, uint32_t code_page, Faults* faults) {
  for (const ManifestError& fault : RecordFaults(r.raw, code_page)) {
    faults->lines.push_back("records[" + std::to_string(index) + "]." + fault.field + " (" +
                            RecordTypeName(r.type) + " at " + Offset(r.offset) +
                            "): " + fault.message + (fault.hint.empty() ? "" : "; " + fault.hint));
    OrderedJson j = {{"record", index},
                     {"type", RecordTypeName(r.type)},
                     {"offset", r.offset},
                     {"field", fault.field},
                     {"id", fault.id},
                     {"message", fault.message}};
    if (!fault.hint.empty()) j["hint"] = fault.hint;
    faults->json.push_back(std::move(j));
  }
}

// The warning pass's findings as lines and JSON; where: each warned
// record's type and offset, by its index.
OrderedJson ShowWarnings(const std::string& path, const std::vector<Warning>& warnings,
                         const std::map<size_t, std::pair<RecordType, uint32_t>>& where,
                         const WarningPolicy& policy, std::vector<std::string>* lines) {
  OrderedJson found = OrderedJson::array();
  for (const Warning& w : warnings) {
    if (policy.silenced.count(w.id)) continue;
    Diagnostic d{Severity::kWarning, w.id, w.field, w.message, std::nullopt, w.hint};
    OrderedJson j = OrderedJson::object();
    j["id"] = w.id;
    if (w.record) {
      const auto& [type, offset] = where.at(*w.record);
      d.field = "records[" + std::to_string(*w.record) + "]" + (w.field.empty() ? "" : "." + w.field) +
                " (" + RecordTypeName(type) + " at " + Offset(offset) + ")";
      j["record"] = *w.record;
      j["type"] = RecordTypeName(type);
      j["offset"] = offset;
    }
    j["field"] = w.field;
    j["message"] = w.message;
    if (!w.hint.empty()) j["hint"] = w.hint;
    found.push_back(std::move(j));
    lines->push_back(DiagnosticLine(path, 0, 0, d, policy.as_errors));
  }
  return found;
}

// Enough of the image for its headers and resources: a stub is some 36 KB.
constexpr uint32_t kStubReadLimit = 1u << 20;

OrderedJson NameOrNull(const char* name) {
  return name[0] == '\0' ? OrderedJson(nullptr) : OrderedJson(name);
}

// A stub warning about the record of that type at offset, numbered and placed as the faults are.
void ShowStubWarning(const StubWarning& w, RecordType type, uint32_t offset, Faults* found) {
  found->lines.push_back("records[" + std::to_string(w.record) + "]." + w.field + " (" +
                         RecordTypeName(type) + " at " + Offset(offset) + "): " + w.message);
  found->json.push_back({{"record", w.record},
                         {"type", RecordTypeName(type)},
                         {"offset", offset},
                         {"field", w.field},
                         {"message", w.message}});
}

// Where the log lies against the file's signature: its name in --json, and
// what the text says (empty for an unsigned file, which reads as before).
// fault: the signature does not hold, and the file is not fit to ship.
struct SignatureVerdict {
  const char* name;
  std::string line;
  bool fault;
};

// log_start: where the log's type-0 record lies.
SignatureVerdict JudgeSignature(const std::string& path, kiv::RandomSource& file, uint64_t size,
                                uint32_t log_start) {
  kiv::SignaturePart part;
  const SignedLog where = WhereSignedLogLies(file, size, &part);
  // Anything between the signature and the log (a second certificate) is
  // left out of the temporary copy, which is the signed stub alone.
  if (where != SignedLog::kUnsigned && where != SignedLog::kUnsound &&
      log_start != part.signed_end) {
    const std::string what =
        log_start > part.signed_end
            ? "its certificate table holds " + std::to_string(log_start - part.signed_end) +
                  " bytes between its first certificate and the log (a second signature?), "
                  "which the uninstall's temporary copy leaves out"
            : std::string("its signature reaches into the log");
    return {"unsound", what + "; build it again from a stub signed once", true};
  }
  switch (where) {
    case SignedLog::kUnsigned: return {"unsigned", "", false};
    case SignedLog::kInside:
      return {"inside", "signed; the log lies inside the signature part, which holds", false};
    case SignedLog::kLengthsDisagree:
    case SignedLog::kOutside:
      if ((size - part.table_offset) % kiv::kCertificateAlignment == 0) {
        return {"inconsistent",
                "signed, but the signature part's lengths do not reach the end of the file (an "
                "append was stopped); the records are sound. Run 'kivlog append " + path +
                    " EMPTY' with EMPTY a manifest of no records ({\"records\": []}) to set "
                    "them again",
                true};
      }
      return {"outside",
              "signed, but the log lies after the signature part, where no check accepts it; "
              "build it again with this kivlog from the signed stub",
              true};
    case SignedLog::kUnsound:
      return {"unsound",
              "its signature part (security directory and certificate table) cannot be read "
              "soundly; build it again from a stub signed again",
              true};
  }
  return {"unsound", "", true};
}

// A damaged file, or one that cannot be opened: one line on the error
// stream, or the verdict as JSON.
int ReportUnsound(const std::string& path, const std::string& line, bool json, std::ostream& out,
                  std::ostream& err) {
  if (!json) {
    Error(err, line);
    return kExitFailed;
  }
  OrderedJson doc = OrderedJson::object();
  doc["file"] = path;
  doc["sound"] = false;
  doc["damage"] = line.substr(path.size() + 2);
  doc["faults"] = OrderedJson::array();
  doc["warnings"] = OrderedJson::array();
  out << Dump(doc) << '\n';
  return kExitFailed;
}

}  // namespace

int List(const std::string& path, bool json, uint32_t code_page, std::ostream& out,
         std::ostream& err) {
  if (!RefuseIrregular(path, err)) return kExitFailed;
  StreamSource source(path);
  kiv::LogReader reader(source, LeadByteTestFor(code_page));
  kiv::ChainVerdict verdict;
  if (!OpenSound(path, reader, &verdict, err)) return kExitFailed;
  const ListingHead head = ReadListingHead(reader, code_page);
  if (json) {
    PrintJson(reader, head, out);
  } else {
    PrintTable(reader, head, out);
  }
  return kExitOk;
}

int Check(const std::string& path, uint32_t code_page, const WarningPolicy& policy,
          std::ostream& out, std::ostream& err) {
  const bool json = policy.json;
  std::string why;
  // With --json every outcome is a JSON document, a file that is missing too.
  if (!RegularFileSize(path, &why)) {
    return ReportUnsound(path, path + ": cannot open: " + why, json, out, err);
  }
  StreamSource source(path);
  kiv::LogReader reader(source, LeadByteTestFor(code_page));
  if (!reader.has_stream()) {
    return ReportUnsound(path, path + ": cannot open: " + ErrnoText(), json, out, err);
  }
  const kiv::ChainVerdict verdict = reader.CheckChain();
  if (verdict.damage != kiv::Damage::kNone) {
    return ReportUnsound(path, DamageLine(path, reader, verdict), json, out, err);
  }
  // Sound; now what the stub would mishandle though it takes the file. The
  // records are read one at a time, twice: the warning pass first notes
  // where each name first appears, then judges each record.
  const ListingHead head = ReadListingHead(reader, code_page);
  const size_t undo = head.undo;  // without the type-0 record
  const uint32_t image_size = head.end_of_log;
  const auto each_record = [&](const std::function<void(const ListedRecord&, size_t)>& visit) {
    size_t j = 0;
    WalkListing(reader, head, false, [&](const ListedRecord& r) {
      if (r.type != RecordType::kEndOfLog) visit(r, undo - 1 - j++);
    });
  };
  WarningPass pass(0, head.display_name_bytes, true, head.code_page);
  pass.Expect(undo, (head.types >> static_cast<int>(RecordType::kFont)) & 1);
  each_record([&](const ListedRecord& r, size_t index) { pass.Note(index, r.raw); });
  pass.Seal();

  const StubKind stub = ReadStubKindOfFile(path, std::min<uint32_t>(image_size, kStubReadLimit));
  const bool stub_rules = !policy.silenced.count(warning_id::kStubCannotUndo);
  const StubRules rules(stub);
  Faults faults;
  DisplayNameFaults(reader, head, &faults);
  struct StubFound {
    StubWarning warning;
    RecordType type;
    uint32_t offset;
  };
  std::vector<StubFound> stub_found;
  std::vector<StubWarning> stub_warnings;
  each_record([&](const ListedRecord& r, size_t index) {
    RecordFaultsOf(r, index, head.code_page, &faults);
    pass.Read(index, r.raw);
    if (!stub_rules) return;
    rules.Record(index, r.raw, &stub_warnings);
    for (StubWarning& w : stub_warnings) stub_found.push_back({std::move(w), r.type, r.offset});
    stub_warnings.clear();
  });
  const std::vector<Warning> found = pass.Take();
  // Where each warned record lies: read again only when there are any.
  std::map<size_t, std::pair<RecordType, uint32_t>> warned;
  for (const Warning& w : found) {
    if (w.record) warned.emplace(*w.record, std::pair<RecordType, uint32_t>());
  }
  if (!warned.empty()) {
    each_record([&](const ListedRecord& r, size_t index) {
      auto it = warned.find(index);
      if (it != warned.end()) it->second = {r.type, r.offset};
    });
  }

  const SignatureVerdict signature = JudgeSignature(path, source, reader.size(), image_size);
  // An unsigned file's temporary copy takes its stub's image as the headers
  // tell; a signed file's copy is the signed stub, however long, and one
  // whose signature part is not sound gets none (its verdict says why).
  const std::string image_fault = signature.name == std::string("unsigned")
                                      ? ImageFaultOfFile(source, reader.size(), image_size)
                                      : std::string();
  std::vector<std::string> warning_lines;
  const OrderedJson warnings = ShowWarnings(path, found, warned, policy, &warning_lines);
  // An unsigned file whose image the copy cannot take whole never starts its
  // copy: a fault, as build refuses it.
  if (!image_fault.empty()) {
    faults.lines.push_back(std::string("error ") + error_id::kStubImage + ": " + image_fault);
    faults.json.push_back(
        {{"field", "image"}, {"id", error_id::kStubImage}, {"message", image_fault}});
  }
  // In the manifest's order, as build gives them.
  std::stable_sort(stub_found.begin(), stub_found.end(),
                   [](const auto& a, const auto& b) { return a.warning.record < b.warning.record; });
  Faults disagreements;
  for (const auto& f : stub_found) ShowStubWarning(f.warning, f.type, f.offset, &disagreements);
  for (auto& j : disagreements.json) j["id"] = warning_id::kStubCannotUndo;
  const bool failed = !faults.lines.empty() || signature.fault ||
                      (policy.as_errors && (!warning_lines.empty() || !disagreements.lines.empty()));
  if (json) {
    OrderedJson doc = OrderedJson::object();
    doc["file"] = path;
    doc["sound"] = true;
    doc["records"] = undo;
    doc["faults"] = faults.json;
    doc["warnings"] = warnings;
    doc["warning"] = image_fault.empty() ? OrderedJson(nullptr) : OrderedJson(image_fault);
    doc["stub"] = {{"machine", NameOrNull(MachineName(stub.machine))},
                   {"execution_level", NameOrNull(LevelName(stub.level))}};
    doc["stub_warnings"] = disagreements.json;
    doc["signature"] = signature.name;
    if (!signature.line.empty()) doc["signature_note"] = signature.line;
    out << Dump(doc) << '\n';
    return failed ? kExitFailed : kExitOk;
  }
  for (const auto& line : warning_lines) err << line << '\n';
  for (const auto& line : faults.lines) Error(err, path + ": " + line);
  for (const auto& line : disagreements.lines) {
    err << "kivlog: " << path << ": " << (policy.as_errors ? "error " : "warning ")
        << warning_id::kStubCannotUndo << ": " << line
        << (policy.as_errors ? " [--werror]" : "") << '\n';
  }
  if (signature.fault) Error(err, path + ": " + signature.line);
  if (failed) return kExitFailed;
  if (!signature.line.empty()) out << signature.line << '\n';
  out << "ok: " << undo << (undo == 1 ? " record" : " records") << '\n';
  return kExitOk;
}

}  // namespace kivlog
