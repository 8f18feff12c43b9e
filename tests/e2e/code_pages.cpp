// A product named in the system's ANSI code page, end to end: kivlog.exe
// builds its uninstall file from a UTF-8 manifest, and the real stub, asked
// as a user would, undoes all of it and nothing else. Run twice, with the
// ANSI code page set to 932 (where the second byte of a letter can be 0x5C,
// the backslash, in every kind of name) and to 1251.
#include <windows.h>

#include <ddeml.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "e2e_config.h"
#include "handoff_scenarios.h"
#include "harness.h"

namespace kiv::e2e {
namespace {

// The names of one product, in UTF-8.
struct Names {
  UINT code_page;
  const char* product;      // the product's directory, not logged
  const char* directory;    // logged, holds the uninstall file
  const char* file;         // a new file in it
  const char* replaced;     // a file the installation replaced, in the product's directory
  const char* uninstaller;  // the uninstall file's name
  const char* display_name;
  const char* key;      // under HKEY_CURRENT_USER
  const char* value;    // created: the uninstall deletes it
  const char* changed;  // changed: the uninstall puts the old data back
  const char *ini_file, *section, *ini_key;
  const char *group, *item;
};

// 表 is 95 5C, ソ 83 5C and 能 94 5C in code page 932.
const Names kNames[] = {
    {932, "製品", "表ソ能", "ソフト表.txt", "能力表.dll", "表ソ.exe", "表示ソフト",
     "Software\\KivCodePage\\表ソ", "ソ", "表", "設定能.ini", "能", "表ソ", "表ソ", "ソフト"},
    {1251, "Продукт", "Программа", "файл.txt", "библиотека.dll", "удалить.exe",
     "Тестовая программа", "Software\\KivCodePage\\Ключ", "Значение", "Старое", "настройки.ini",
     "Раздел", "Ключ", "Группа", "Ярлык"},
};

std::wstring Wide(const std::string& text, UINT code_page) {
  const int n =
      MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide, UINT code_page) {
  const int n = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                      nullptr, nullptr);
  return text;
}

// UTF-8 to the ANSI code page, as the A functions take it, and back.
std::string Ansi(const std::string& utf8) { return Narrow(Wide(utf8, CP_UTF8), CP_ACP); }
std::string Utf8(const std::string& ansi) { return Narrow(Wide(ansi, CP_ACP), CP_UTF8); }

// The harness's path helpers split at every 0x5C byte: these take whole
// names only.
bool Write(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  CloseHandle(file);
  return ok;
}

// Runs kivlog.exe with an ANSI command line, as an installer of the era
// would; it reads its arguments from the wide one.
DWORD RunKivlog(const std::string& arguments) {
  DWORD code = 0xFFFFFFFF;
  if (!RunAndWait(std::string("\"") + KIV_KIVLOG_PATH + "\" " + arguments, 60000, &code)) {
    return 0xFFFFFFFF;
  }
  return code;
}

TEST(CodePages, AProductNamedInTheAnsiCodePageIsUndoneCompletely) {
  const Names* n = nullptr;
  for (const auto& names : kNames) {
    if (names.code_page == GetACP()) n = &names;
  }
  ASSERT_NE(n, nullptr) << "the prefix's ANSI code page is " << GetACP();

  // The installation, made with the A functions in the ANSI code page.
  const std::string base = FreshDirectory("code page " + std::to_string(n->code_page));
  const std::string root = base + "\\" + Ansi(n->product);
  const std::string dir = root + "\\" + Ansi(n->directory);
  ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr)) << GetLastError() << " " << root;
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
  const std::string file = dir + "\\" + Ansi(n->file);
  const std::string replaced = root + "\\" + Ansi(n->replaced);
  ASSERT_TRUE(Write(file, "installed"));
  ASSERT_TRUE(Write(replaced, "new version"));
  ASSERT_TRUE(Write(base + "\\old.bin", "old version"));

  const std::string key = Ansi(n->key);
  RegDeleteTree(HKEY_CURRENT_USER, "Software\\KivCodePage");
  ASSERT_TRUE(SetRegString(HKEY_CURRENT_USER, key, Ansi(n->value), "installed"));
  ASSERT_TRUE(SetRegString(HKEY_CURRENT_USER, key, Ansi(n->changed), "new"));
  ASSERT_TRUE(SetRegString(HKEY_CURRENT_USER, key, "keep", "neighbour"));

  const std::string ini = root + "\\" + Ansi(n->ini_file);
  ASSERT_TRUE(WritePrivateProfileStringA(Ansi(n->section).c_str(), Ansi(n->ini_key).c_str(),
                                         "installed", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA(Ansi(n->section).c_str(), "keep", "1", ini.c_str()));

  const std::string group_folder = ProgramsFolder() + "\\" + Ansi(n->group);
  {
    ProgramManager progman;
    ASSERT_TRUE(progman.Execute("[CreateGroup(" + Ansi(n->group) + ")]"));
    ASSERT_TRUE(progman.Execute("[AddItem(notepad.exe," + Ansi(n->item) + ")]"));
  }
  ASSERT_TRUE(DirectoryExists(group_folder));
  ASSERT_TRUE(FileExists(group_folder + "\\" + Ansi(n->item) + ".lnk"));

  const std::string name = Ansi(n->display_name);
  const std::string uninstall_file = dir + "\\" + Ansi(n->uninstaller);
  const std::string registration = kUninstallKey + name;
  ASSERT_TRUE(SetRegString(HKEY_LOCAL_MACHINE, registration, "DisplayName", name));
  ASSERT_TRUE(SetRegString(HKEY_LOCAL_MACHINE, registration, "UninstallString",
                           "\"" + uninstall_file + "\""));

  // The manifest in UTF-8, built by kivlog.exe into the ANSI code page.
  const std::string manifest =
      "{\"display_name\": " + JsonString(n->display_name) +
      ", \"code_page\": " + std::to_string(n->code_page) +
      ", \"records\": [\n"
      " {\"type\": \"directory\", \"path\": " +
      JsonString(Utf8(dir)) +
      "},\n"
      " {\"type\": \"file\", \"path\": " +
      JsonString(Utf8(file)) +
      "},\n"
      " {\"type\": \"file\", \"path\": " +
      JsonString(Utf8(replaced)) +
      ", \"saved\": {\"content_file\": \"old.bin\", \"time\": \"2020-01-02T03:04:05Z\"}},\n"
      " {\"type\": \"ini\", \"file\": " +
      JsonString(Utf8(ini)) + ", \"section\": " + JsonString(n->section) +
      ", \"key\": " + JsonString(n->ini_key) +
      ", \"prior\": \"<null>\", \"value\": \"\", \"flag\": false},\n"
      " {\"type\": \"registry\", \"root\": \"HKEY_CURRENT_USER\", \"path\": " +
      JsonString(std::string(n->key) + "\\" + n->value) +
      "},\n"
      " {\"type\": \"registry\", \"root\": \"HKEY_CURRENT_USER\", \"path\": " +
      JsonString(std::string(n->key) + "\\" + n->changed) +
      ", \"data\": \"old\"},\n"
      " {\"type\": \"shell_group\", \"group\": " +
      JsonString(n->group) +
      "},\n"
      " {\"type\": \"shell_item\", \"group\": " +
      JsonString(n->group) + ", \"item\": " + JsonString(n->item) +
      "}\n"
      "]}\n";
  ASSERT_TRUE(Write(base + "\\m.json", manifest));
  ASSERT_EQ(RunKivlog("build \"" + base + "\\m.json\" --stub \"" + KIV_STUB_PATH + "\" -o \"" +
                      uninstall_file + "\""),
            0u);
  ASSERT_EQ(RunKivlog("check --code-page " + std::to_string(n->code_page) + " \"" + uninstall_file +
                      "\""),
            0u);

  RunResult run = e2e::Run(AsUserStartsIt(uninstall_file), {IDYES});

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[0].text, Prompt(name));
  EXPECT_EQ(run.boxes[1].text, "Uninstall was succesful");
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, registration));
  // The logged directory goes with the uninstall file in it.
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(FileExists(uninstall_file));
  EXPECT_FALSE(DirectoryExists(dir));
  EXPECT_EQ(ReadFileBytes(replaced), "old version");
  EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, key, Ansi(n->value)));
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, key, Ansi(n->changed)), "old");
  char text[64] = {};
  GetPrivateProfileStringA(Ansi(n->section).c_str(), Ansi(n->ini_key).c_str(), "<gone>", text,
                           sizeof(text), ini.c_str());
  EXPECT_STREQ(text, "<gone>");
  EXPECT_FALSE(DirectoryExists(group_folder));
  // Nothing else: the product's directory with what was not logged, the
  // neighbouring value and INI key.
  EXPECT_TRUE(DirectoryExists(root));
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, key, "keep"), "neighbour");
  GetPrivateProfileStringA(Ansi(n->section).c_str(), "keep", "<gone>", text, sizeof(text),
                           ini.c_str());
  EXPECT_STREQ(text, "1");

  RegDeleteTree(HKEY_CURRENT_USER, "Software\\KivCodePage");
}

}  // namespace
}  // namespace kiv::e2e
