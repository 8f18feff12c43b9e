// ParseManifest: every record type read into the writer's fields, and a
// table of faults, each named by its field path.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "manifest.h"

namespace kivlog {
namespace {

using Json = nlohmann::json;
using kiv::RecordType;

std::string WithRecord(const Json& record) {
  return Json{{"display_name", "Example App"}, {"records", Json::array({record})}}.dump();
}

std::string Repeat(size_t n) { return std::string(n, 'x'); }

TEST(ParseManifest, ReadsEveryRecordTypeInOrder) {
  const char* text = R"({
    "display_name": "Example App",
    "records": [
      {"type": "directory", "path": "C:\\App"},
      {"type": "file", "path": "C:\\App\\a.txt"},
      {"type": "file", "path": "C:\\App\\b.txt",
       "saved": {"content_file": "saved/b.txt", "time": "2020-01-01T00:00:00Z"}},
      {"type": "file", "path": "C:\\App\\c.txt", "saved": {"content_file": "c", "time": 5}},
      {"type": "file", "path": "C:\\App\\d.txt", "saved": {"content_file": "d"}},
      {"type": "ini", "file": "win.ini", "section": "[Kiv]", "key": "k", "prior": "<null>",
       "value": "v", "flag": true},
      {"type": "registry", "root": "hkey_local_machine", "path": "Software\\Kiv\\V", "data": "1"},
      {"type": "registry", "root": "HKEY_USERS", "path": "S\\V", "data": null},
      {"type": "registry", "root": "HKEY_USERS", "path": "S\\W"},
      {"type": "unused5"},
      {"type": "font", "name": "Sample Sans", "file": "sample.ttf"},
      {"type": "shell_item", "group": "Kiv", "item": "Kiv App"},
      {"type": "shell_group", "group": "Kiv"}
    ]})";
  ManifestResult result = ParseManifest(text, DisplayName::kRequired);
  ASSERT_TRUE(result.manifest) << result.error.field << ": " << result.error.message;
  const Manifest& m = *result.manifest;
  EXPECT_EQ(m.display_name, "Example App");
  ASSERT_EQ(m.records.size(), 13u);
  const auto& r = m.records;
  EXPECT_EQ(r[0].type, RecordType::kDirectory);
  EXPECT_EQ(r[0].path, "C:\\App");
  EXPECT_EQ(r[1].type, RecordType::kFile);
  EXPECT_FALSE(r[1].saved);
  ASSERT_TRUE(r[2].saved);
  EXPECT_EQ(r[2].saved->content_file, "saved/b.txt");
  EXPECT_EQ(r[2].saved->time, 132223104000000000ull);
  EXPECT_EQ(r[3].saved->time, 5u);
  EXPECT_EQ(r[4].saved->time, std::nullopt);  // the content file's own time, later
  EXPECT_EQ(r[5].type, RecordType::kIniEntry);
  EXPECT_EQ(r[5].file + "|" + r[5].section + "|" + r[5].key + "|" + r[5].prior + "|" + r[5].value,
            "win.ini|[Kiv]|k|<null>|v");
  EXPECT_TRUE(r[5].flag);
  EXPECT_EQ(r[6].type, RecordType::kRegistryValue);
  EXPECT_EQ(r[6].root, "hkey_local_machine");  // kept as written: the stub ignores case
  EXPECT_EQ(r[6].data, "1");
  EXPECT_EQ(r[7].data, std::nullopt);
  EXPECT_EQ(r[8].data, std::nullopt);
  EXPECT_EQ(r[9].type, RecordType::kUnused5);
  EXPECT_EQ(r[10].type, RecordType::kFont);
  EXPECT_EQ(r[10].name + "|" + r[10].file, "Sample Sans|sample.ttf");
  EXPECT_EQ(r[11].type, RecordType::kShellItem);
  EXPECT_EQ(r[11].group + "|" + r[11].item, "Kiv|Kiv App");
  EXPECT_EQ(r[12].type, RecordType::kShellGroup);
  EXPECT_EQ(r[12].group, "Kiv");
}

TEST(ParseManifest, StringsComeOutInTheNamedCodePage) {
  auto result =
      ParseManifest(R"({"display_name": "Caf\u00e9 Suite", "code_page": 1252, "records": []})",
                    DisplayName::kRequired);
  ASSERT_TRUE(result.manifest);
  EXPECT_EQ(result.manifest->display_name, "Caf\xE9 Suite");
  EXPECT_TRUE(result.manifest->records.empty());
}

TEST(ParseManifest, DisplayNameIsOptionalOnlyWhenAsked) {
  const char* text = R"({"records": [{"type": "directory", "path": "C:\\App"}]})";
  auto optional = ParseManifest(text, DisplayName::kOptional);
  ASSERT_TRUE(optional.manifest);
  EXPECT_EQ(optional.manifest->display_name, std::nullopt);
  auto required = ParseManifest(text, DisplayName::kRequired);
  EXPECT_FALSE(required.manifest);
  EXPECT_EQ(required.error.field, "display_name");
  EXPECT_EQ(required.error.message, "missing");
}

// Each limit holds its NUL: a field of exactly limit - 1 bytes fits.
TEST(ParseManifest, FieldsThatExactlyFitTheirLimits) {
  const Json kRows[] = {
      {{"type", "directory"}, {"path", "C:\\" + Repeat(252)}},
      {{"type", "registry"},
       {"root", "HKEY_USERS"},
       {"path", Repeat(1023)},
       {"data", Repeat(1023)}},
      {{"type", "font"}, {"name", Repeat(244)}, {"file", Repeat(255)}},
      {{"type", "ini"},
       {"file", "A"},
       {"section", "S"},
       {"key", "K"},
       {"prior", ""},
       {"value", Repeat(255)},
       {"flag", false}},
  };
  for (const auto& record : kRows) {
    auto result = ParseManifest(WithRecord(record), DisplayName::kRequired);
    EXPECT_TRUE(result.manifest) << record.dump().substr(0, 60) << " -> " << result.error.field
                                 << ": " << result.error.message;
  }
  auto name = ParseManifest(Json{{"display_name", Repeat(255)}, {"records", Json::array()}}.dump(),
                            DisplayName::kRequired);
  EXPECT_TRUE(name.manifest);
}

struct BadRow {
  const char* name;
  std::string text;
  const char* field;
  const char* message;
};

TEST(ParseManifest, NamesTheFieldAtFault) {
  const Json dir = {{"type", "directory"}, {"path", "C:\\App"}};
  const BadRow kRows[] = {
      {"not_json", "{\"records\": [", "", nullptr},
      {"not_an_object", "[]", "", "not a JSON object"},
      {"number_too_large", R"({"display_name": "A", "code_page": 1e999, "records": []})", "",
       "not valid JSON: number overflow parsing '1e999'"},
      {"unknown_top_field", R"({"display_name": "A", "records": [], "name": "A"})", "name",
       "unknown field"},
      {"records_missing", R"({"display_name": "A"})", "records", "missing"},
      {"records_not_array", R"({"display_name": "A", "records": {}})", "records", "not an array"},
      {"record_not_object", R"({"display_name": "A", "records": ["dir"]})", "records[0]",
       "not an object"},
      {"type_missing", WithRecord({{"path", "C:\\App"}}), "records[0].type", "missing"},
      {"type_not_string", WithRecord({{"type", 1}}), "records[0].type", "not a string"},
      {"unknown_type", WithRecord({{"type", "folder"}, {"path", "C:\\App"}}), "records[0].type",
       "unknown record type \"folder\""},
      {"end_of_log_not_writable", WithRecord({{"type", "end_of_log"}}), "records[0].type",
       "unknown record type \"end_of_log\""},
      {"unknown_field", WithRecord({{"type", "directory"}, {"path", "C:\\A"}, {"Path", "C:\\A"}}),
       "records[0].Path", "unknown field"},
      {"path_missing", WithRecord({{"type", "file"}}), "records[0].path", "missing"},
      {"ini_flag_missing",
       WithRecord({{"type", "ini"},
                   {"file", "a"},
                   {"section", "s"},
                   {"key", "k"},
                   {"prior", "p"},
                   {"value", "v"}}),
       "records[0].flag", "missing"},
      {"ini_flag_not_bool",
       WithRecord({{"type", "ini"},
                   {"file", "a"},
                   {"section", "s"},
                   {"key", "k"},
                   {"prior", "p"},
                   {"value", "v"},
                   {"flag", 1}}),
       "records[0].flag", "not true or false"},
      {"path_not_string", WithRecord({{"type", "directory"}, {"path", 7}}), "records[0].path",
       "not a string"},
      {"path_over_limit", WithRecord({{"type", "directory"}, {"path", Repeat(256)}}),
       "records[0].path",
       "longer than 255 bytes; only a file that names its code page (\"code_page\", with "
       "\"code_page_record\" not false) may hold a path of up to 1023 bytes"},
      {"registry_path_over_limit",
       WithRecord({{"type", "registry"}, {"root", "HKEY_USERS"}, {"path", Repeat(1024)}}),
       "records[0].path", "longer than 1023 bytes"},
      {"registry_data_over_limit",
       WithRecord(
           {{"type", "registry"}, {"root", "HKEY_USERS"}, {"path", "a"}, {"data", Repeat(1024)}}),
       "records[0].data", "longer than 1023 bytes"},
      {"font_name_over_limit", WithRecord({{"type", "font"}, {"name", Repeat(245)}, {"file", "f"}}),
       "records[0].name", "longer than 244 bytes"},
      {"display_name_over_limit",
       Json{{"display_name", Repeat(256)}, {"records", Json::array()}}.dump(), "display_name",
       "longer than 255 bytes"},
      {"display_name_empty", R"({"display_name": "", "records": []})", "display_name", "empty"},
      {"display_name_backslash", R"({"display_name": "A\\B", "records": []})", "display_name",
       "holds a backslash, which a registry key name cannot"},
      {"embedded_nul",
       R"({"display_name": "A", "records": [{"type": "directory", "path": "C:\u0000x"}]})",
       "records[0].path", "holds a NUL character"},
      {"abbreviated_root", WithRecord({{"type", "registry"}, {"root", "HKLM"}, {"path", "a"}}),
       "records[0].root",
       "not one of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS"},
      {"root_with_suffix",
       WithRecord({{"type", "registry"}, {"root", "HKEY_USERS2"}, {"path", "a"}}),
       "records[0].root",
       "not one of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS"},
      {"saved_not_object", WithRecord({{"type", "file"}, {"path", "a"}, {"saved", "b"}}),
       "records[0].saved", "not an object"},
      {"saved_without_content",
       WithRecord({{"type", "file"}, {"path", "a"}, {"saved", Json::object()}}),
       "records[0].saved.content_file", "missing"},
      {"saved_unknown_field",
       WithRecord(
           {{"type", "file"}, {"path", "a"}, {"saved", {{"content_file", "c"}, {"mtime", 1}}}}),
       "records[0].saved.mtime", "unknown field"},
      {"saved_time_local",
       WithRecord({{"type", "file"},
                   {"path", "a"},
                   {"saved", {{"content_file", "c"}, {"time", "2020-01-02 03:04:05"}}}}),
       "records[0].saved.time", "not a UTC time like 2020-01-02T03:04:05Z (years 1601 to 9999)"},
      {"saved_time_negative",
       WithRecord(
           {{"type", "file"}, {"path", "a"}, {"saved", {{"content_file", "c"}, {"time", -1}}}}),
       "records[0].saved.time", "not a FILETIME integer or a UTC time string"},
      {"saved_time_fraction",
       WithRecord(
           {{"type", "file"}, {"path", "a"}, {"saved", {{"content_file", "c"}, {"time", 1.5}}}}),
       "records[0].saved.time", "not a FILETIME integer or a UTC time string"},
      {"saved_time_top_bit",
       WithRecord({{"type", "file"},
                   {"path", "a"},
                   {"saved", {{"content_file", "c"}, {"time", 9223372036854775808ull}}}}),
       "records[0].saved.time", "above 9223372036854775807, the last FILETIME"},
      {"code_page_unknown", R"({"display_name": "A", "code_page": 437, "records": []})",
       "code_page",
       "not a Windows ANSI code page this tool knows (874, 932, 936, 949, 950, 1250 to 1258 or "
       "65001)"},
      {"non_ascii_without_code_page", R"({"display_name": "Caf\u00e9", "records": []})",
       "display_name",
       "holds '\xC3\xA9' (U+00E9) at character 4, which is not ASCII; name the target's code page "
       "in \"code_page\""},
      {"not_in_code_page", R"({"display_name": "\u0141", "code_page": 1252, "records": []})",
       "display_name",
       "holds '\xC5\x81' (U+0141) at character 1, which code page 1252 cannot hold"},
      {"shell_group_empty", WithRecord({{"type", "shell_group"}, {"group", ""}}),
       "records[0].group", "empty, or holds a quote or a control character"},
      {"shell_item_unquoted_parenthesis",
       WithRecord({{"type", "shell_item"}, {"group", "G (x86)"}, {"item", "a)][DeleteGroup(G"}}),
       "records[0].item",
       "empty, or holds a quote, parenthesis, bracket, comma or control character"},
      {"duplicate_top_key", R"({"display_name": "A", "records": [], "display_name": "B"})",
       "display_name", "given twice"},
      {"duplicate_key_in_second_record",
       R"({"display_name": "A", "records": [{"type": "directory", "path": "C:\\A"},
           {"type": "directory", "path": "C:\\A", "path": "C:\\B"}]})",
       "records[1].path", "given twice"},
      {"duplicate_key_in_saved",
       R"({"display_name": "A", "records": [[], {"type": "file", "path": "C:\\A",
           "saved": {"content_file": "a", "time": 1, "time": 2}}]})",
       "records[1].saved.time", "given twice"},
      {"time_string_too_large",
       WithRecord({{"type", "file"},
                   {"path", "C:\\a"},
                   {"saved", {{"content_file", "a"}, {"time", "9223372036854775808"}}}}),
       "records[0].saved.time", "above 9223372036854775807, the last FILETIME"},
      {"second_record_at_fault",
       Json{{"display_name", "A"}, {"records", Json::array({dir, {{"type", "shell_group"}}})}}
           .dump(),
       "records[1].group", "missing"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    ManifestResult result = ParseManifest(row.text, DisplayName::kRequired);
    ASSERT_FALSE(result.manifest);
    EXPECT_EQ(result.error.field, row.field);
    if (row.message) {
      EXPECT_EQ(result.error.message, row.message);
    } else {
      EXPECT_EQ(result.error.message.rfind("not valid JSON: parse error at line 1", 0), 0u)
          << result.error.message;
    }
  }
}

TEST(ParseManifest, LimitsCountBytesAfterConversion) {
  // 127 two-byte characters are 254 bytes of UTF-8 but 127 bytes in 1252.
  std::string e_acute = "C:\\";
  for (int i = 0; i < 127; ++i) e_acute += "\xC3\xA9";
  const Json record = {{"type", "directory"}, {"path", e_acute}};
  Json manifest = {{"display_name", "A"}, {"records", Json::array({record})}};
  manifest["code_page"] = 1252;
  EXPECT_TRUE(ParseManifest(manifest.dump(), DisplayName::kRequired).manifest);
  manifest["code_page"] = 65001;
  manifest["code_page_record"] = false;  // no record: paths keep 255 bytes
  auto utf8 = ParseManifest(manifest.dump(), DisplayName::kRequired);
  ASSERT_FALSE(utf8.manifest);
  EXPECT_EQ(utf8.error.message.substr(0, 21), "longer than 255 bytes");
}


// A directory's or file's path past 255 bytes: only in a file that names its
// code page (a build with the record, an append to a marked file), up to
// 1,023 bytes, and only as the system reads it as written.
TEST(ParseManifest, TakesALongPathOnlyWhereTheFileNamesItsCodePage) {
  std::string nest = "C:\\";
  while (nest.size() < 700) nest += nest.size() % 10 == 5 ? '\\' : 'd';
  const struct {
    const char* name;
    std::string path;
    bool code_page;  // the manifest names 1252
    bool record;     // "code_page_record"
    Target target;
    const char* id;  // null: taken
  } kRows[] = {
      {"build_marked", nest, true, true, Target::kNewFile, nullptr},
      {"build_1023_bytes", nest + std::string(323, 'x'), true, true, Target::kNewFile, nullptr},
      {"build_1024_bytes", nest + std::string(324, 'x'), true, true, Target::kNewFile,
       error_id::kTooLong},
      {"build_without_code_page", nest, false, true, Target::kNewFile, error_id::kTooLong},
      {"build_without_the_record", nest, true, false, Target::kNewFile, error_id::kTooLong},
      {"append_to_a_marked_file", nest, false, true, Target::kMarkedFile, nullptr},
      {"append_to_an_unmarked_file", nest, true, true, Target::kUnmarkedFile, error_id::kTooLong},
      {"dot_dot_part", nest + "\\..\\x", true, true, Target::kNewFile, error_id::kLongPathForm},
      {"forward_slash", nest + "/x", true, true, Target::kNewFile, error_id::kLongPathForm},
      {"part_ending_in_a_dot", nest + ".\\x", true, true, Target::kNewFile,
       error_id::kLongPathForm},
      {"short_dot_dot_stays_fine", "C:\\a\\..\\b", false, true, Target::kNewFile, nullptr},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    Json manifest = {{"display_name", "A"},
                     {"records", Json::array({{{"type", "file"}, {"path", row.path}}})}};
    if (row.code_page) manifest["code_page"] = 1252;
    if (!row.record) manifest["code_page_record"] = false;
    const auto result = ParseManifest(manifest.dump(), DisplayName::kRequired,
                                      row.target == Target::kMarkedFile ? 1252 : 0, row.target);
    if (row.id == nullptr) {
      ASSERT_TRUE(result.manifest) << result.error.message;
      EXPECT_EQ(result.manifest->records[0].path, row.path);
    } else {
      ASSERT_FALSE(result.manifest);
      EXPECT_STREQ(result.error.id, row.id);
      EXPECT_EQ(result.error.field, "records[0].path");
    }
  }
}

}  // namespace
}  // namespace kivlog

namespace kivlog {
namespace {

TEST(ParseManifest, SharedAndKeptFilesAreFilesOfTheirOwnKind) {
  const char* text = R"({"display_name": "A", "records": [
      {"type": "file", "path": "C:\\Windows\\System32\\kivshared.dll", "shared": true},
      {"type": "file", "path": "C:\\App\\app.ini", "keep_if_changed": true, "size": 12,
       "crc32": 4294967295},
      {"type": "file", "path": "C:\\App\\view.cfg", "keep_if_changed": true,
       "local_copy": "files/view.cfg"},
      {"type": "file", "path": "C:\\App\\a.txt", "shared": false, "keep_if_changed": false}]})";
  ManifestResult result = ParseManifest(text, DisplayName::kRequired);
  ASSERT_TRUE(result.manifest) << result.error.field << ": " << result.error.message;
  const auto& r = result.manifest->records;
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].type, RecordType::kSharedFile);
  EXPECT_EQ(r[0].path, "C:\\Windows\\System32\\kivshared.dll");
  EXPECT_EQ(r[1].type, RecordType::kKeptFile);
  EXPECT_EQ(r[1].content_size, 12u);
  EXPECT_EQ(r[1].content_crc32, 0xFFFFFFFFu);
  EXPECT_FALSE(r[1].local_copy);
  EXPECT_EQ(r[2].type, RecordType::kKeptFile);
  EXPECT_EQ(r[2].local_copy, "files/view.cfg");  // read by build, not here
  EXPECT_EQ(r[3].type, RecordType::kFile);
}

TEST(ParseManifest, SharedAndKeptFilesNameTheFieldAtFault) {
  const Json file = {{"type", "file"}, {"path", "C:\\App\\app.ini"}};
  const auto with = [&](const Json& more) {
    Json record = file;
    record.update(more);
    return WithRecord(record);
  };
  const BadRow kRows[] = {
      {"both_kinds", with({{"shared", true}, {"keep_if_changed", true}, {"size", 1}, {"crc32", 1}}),
       "records[0].keep_if_changed",
       "with \"shared\": a shared file's content is not this product's to judge; give one"},
      {"shared_not_a_flag", with({{"shared", "yes"}}), "records[0].shared", "not true or false"},
      {"no_content_given", with({{"keep_if_changed", true}}), "records[0].local_copy",
       "missing: give \"local_copy\" (a copy of the file as installed) or its \"size\" and "
       "\"crc32\""},
      {"content_given_twice",
       with({{"keep_if_changed", true}, {"local_copy", "a"}, {"size", 1}, {"crc32", 1}}),
       "records[0].local_copy",
       "with \"size\" or \"crc32\": give the local copy or its size and checksum, not both"},
      {"crc_without_size", with({{"keep_if_changed", true}, {"crc32", 1}}), "records[0].size",
       "missing"},
      {"crc_past_32_bits", with({{"keep_if_changed", true}, {"size", 1}, {"crc32", 4294967296}}),
       "records[0].crc32", "not a whole number from 0 to 4294967295"},
      {"size_on_a_shared_file", with({{"shared", true}, {"size", 1}}), "records[0].size",
       "only with \"keep_if_changed\": true"},
      {"saved_with_a_kind",
       with({{"shared", true}, {"saved", {{"content_file", "old.dll"}}}}), "records[0].saved",
       "unknown field"},
      {"relative_path", WithRecord({{"type", "file"}, {"path", "app.dll"}, {"shared", true}}),
       "records[0].path", nullptr},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    ManifestResult result = ParseManifest(row.text, DisplayName::kRequired);
    ASSERT_FALSE(result.manifest);
    EXPECT_EQ(result.error.field, row.field);
    if (row.message) EXPECT_EQ(result.error.message, row.message);
  }
}

}  // namespace
}  // namespace kivlog
