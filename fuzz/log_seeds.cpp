// Writes the seed uninstall files of the log_chain target into a directory:
// sound files covering every record type and the field limits, files that
// name their code page (UTF-8, 932), and damaged ones for the check's
// refusals, near misses of sound text among them. Run by hand when the format grows;
// the output is committed under fuzz/corpus/log_chain.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "uninstall_file/layout.h"
#include "uninstall_file/log_writer.h"

namespace {

class StringSink final : public kiv::ByteSink {
 public:
  // A small stand-in for the stub's image, so the chain does not start at 0.
  StringSink() : bytes("MZ" + std::string(30, '\0')) {}
  bool Write(const void* data, uint32_t size) override {
    bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  uint32_t Position() const override { return static_cast<uint32_t>(bytes.size()); }
  std::string bytes;
};

bool Save(const std::string& directory, const char* name, const StringSink& sink) {
  const std::string path = directory + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool written = fwrite(sink.bytes.data(), 1, sink.bytes.size(), f) == sink.bytes.size();
  return fclose(f) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;

  {
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.Begin() && w.Finish("Kiv App") && Save(dir, "empty_log", s);
  }
  {
    // The product of the format page's example: a directory, a new file in
    // it, a string value put back.
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.Begin() && w.AddDirectory("C:\\Tidewater") &&
         w.AddFile("C:\\Tidewater\\sketch.exe") &&
         w.AddRegistryValue("HKEY_CURRENT_USER", "Software\\Tidewater\\Grid", "8") &&
         w.Finish("Tidewater Sketch") && Save(dir, "directory_file_and_value", s);
  }
  {
    StringSink s;
    kiv::LogWriter w(s);
    const char saved[] = "[boot]\r\nshell=progman.exe\r\n";
    ok = ok && w.Begin() && w.AddDirectory("C:\\App") &&
         w.AddRestoredFile("C:\\WINDOWS\\SYSTEM.INI", 0x01D5C0E6A9B1C000ull, saved,
                           sizeof(saved) - 1) &&
         w.AddIniEntry("WIN.INI", "Kiv", "Path", "<null>", "C:\\App", false) &&
         w.AddIniEntry("SYSTEM.INI", "[386Enh]", "device", "", "kiv.386", true) &&
         w.AddRegistryValue("HKEY_LOCAL_MACHINE", "Software\\Kiv\\Version", "1.0") &&
         w.AddRegistryValue("hkey_current_user", "Software\\Kiv\\Run", nullptr) && w.AddUnused5() &&
         w.AddFont("Kiv Sans", "KIVSANS.TTF") && w.AddShellItem("Kiv", "Kiv App") &&
         w.AddShellGroup("Kiv") && w.Finish("Kiv App 1.0") && Save(dir, "every_type", s);
  }
  {
    // Every string at its limit, less the NUL.
    StringSink s;
    kiv::LogWriter w(s);
    const std::string path(kiv::kStringLimit - 1, 'p');
    const std::string registry(kiv::kRegistryLimit - 1, 'r');
    const std::string name(kiv::kDisplayNameLimit - 1, 'n');
    ok = ok && w.Begin() && w.AddDirectory(path.c_str()) &&
         w.AddRegistryValue("HKEY_USERS", registry.c_str(), registry.c_str()) &&
         w.Finish(name.c_str()) && Save(dir, "fields_at_their_limits", s);
  }
  {
    // A type past the last one.
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.Begin() && w.AddDirectory("C:\\App") && w.AddRaw(10, "C:\\x", 5) &&
         w.Finish("Kiv App") && Save(dir, "damaged_type_10", s);
  }
  {
    // A file in UTF-8: Cyrillic, Greek, Japanese and a letter past U+FFFF.
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.BeginInCodePage(65001) &&
         w.AddDirectory("C:\\\xD0\x9F\xCE\xB1\xE8\xA1\xA8\xF0\x9F\x98\x80") &&
         w.AddRegistryValue("HKEY_CURRENT_USER", "Software\\\xCE\xB1", "\xE8\xA1\xA8") &&
         w.Finish("\xD0\x9F \xE8\xA1\xA8") && Save(dir, "utf8_names", s);
  }
  {
    // A code page 932 file whose display name's letter has 0x5C second byte.
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.BeginInCodePage(932) && w.AddDirectory("C:\\\x95\x5C") &&
         w.Finish("\x95\x5C\x8E\xA6") && Save(dir, "cp932_names", s);
  }
  {
    // A marked file's long paths: a directory nest past 255 bytes and a file
    // at its bottom (up to 1,023 bytes there).
    StringSink s;
    kiv::LogWriter w(s);
    std::string nest = "C:\\";
    while (nest.size() < 600) nest += "\xD0\x9F\xCE\xB1 \xE8\xA1\xA8\\";
    nest += "end";
    ok = ok && w.BeginInCodePage(65001) && w.AddDirectory(nest.c_str()) &&
         w.AddFile((nest + "\\f.txt").c_str()) && w.Finish("App") &&
         Save(dir, "marked_long_paths", s);
  }
  {
    // A surrogate spelled in UTF-8 (ED A0 80): damaged.
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.BeginInCodePage(65001) && w.AddDirectory("C:\\\xED\xA0\x80") &&
         w.Finish("App") && Save(dir, "damaged_utf8_surrogate", s);
  }
  {
    // UTF-8 fields at their limits in four-byte letters (past U+FFFF), a
    // letter's last byte right before the NUL.
    StringSink s;
    kiv::LogWriter w(s);
    std::string path = "C:\\";
    while (path.size() + 4 < kiv::kStringLimit) path += "\xF0\x9F\x98\x80";
    std::string name;
    while (name.size() + 4 < kiv::kDisplayNameLimit) name += "\xF0\x90\x8C\xB0";
    ok = ok && w.BeginInCodePage(65001) && w.AddDirectory(path.c_str()) &&
         w.AddShellItem("\xCE\x91\xCE\xB2", "\xD0\x96 \xF0\x9F\x98\x80") &&
         w.Finish(name.c_str()) && Save(dir, "utf8_four_byte_letters_at_the_limits", s);
  }
  {
    // A code page 932 file whose every field holds 5C second bytes (表, ソ,
    // 能) beside real backslashes.
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.BeginInCodePage(932) && w.AddDirectory("C:\\\x95\x5C\\\x83\x5C") &&
         w.AddFile("C:\\\x95\x5C\\\x94\x5C.txt") &&
         w.AddRegistryValue("HKEY_CURRENT_USER", "Software\\\x95\x5C\\\x83\x5C", "\x94\x5C") &&
         w.AddIniEntry("\x95\x5C.ini", "\x83\x5C", "\x94\x5C", "<null>", "\x95\x5C", false) &&
         w.Finish("\x95\x5C\x8C\x76\x8E\x5A\x83\x63\x81\x5B\x83\x8B") &&
         Save(dir, "cp932_5c_second_bytes_in_every_field", s);
  }
  {
    // UTF-8 damaged by a slash in its overlong two-byte form (C0 AF).
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.BeginInCodePage(65001) && w.AddDirectory("C:\\App\xC0\xAF..") &&
         w.Finish("App") && Save(dir, "damaged_utf8_overlong", s);
  }
  {
    // Code page 932 damaged by a lead byte that ends the display name.
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.BeginInCodePage(932) && w.AddDirectory("C:\\\x95\x5C") &&
         w.Finish("App\x95") && Save(dir, "damaged_cp932_lead_byte_at_the_end", s);
  }
  {
    // A code-page record after another record than the type-0 one.
    StringSink s;
    kiv::LogWriter w(s);
    const uint8_t code_page[4] = {0xE9, 0xFD, 0, 0};  // 65001
    ok = ok && w.Begin() && w.AddDirectory("C:\\App") &&
         w.AddRaw(kiv::kCodePageType, code_page, sizeof(code_page)) && w.Finish("App") &&
         Save(dir, "damaged_code_page_record_out_of_place", s);
  }
  {
    // A code page no file may name (437, the OEM page).
    StringSink s;
    kiv::LogWriter w(s);
    const uint8_t code_page[4] = {0xB5, 0x01, 0, 0};
    ok = ok && w.Begin() && w.AddRaw(kiv::kCodePageType, code_page, sizeof(code_page)) &&
         w.AddDirectory("C:\\App") && w.Finish("App") &&
         Save(dir, "damaged_unknown_code_page", s);
  }
  {
    // The display name first, then a directory path that reaches the
    // trailer without its NUL.
    StringSink s;
    kiv::LogWriter w(s);
    ok = ok && w.Begin();
    const uint32_t name = s.Position();
    ok = ok && w.WriteBytes("Kiv App", 8);
    const uint32_t record = s.Position();
    ok = ok && w.AddRaw(1, "C:\\App", 6) && w.FinishRaw(name, record, kiv::kSignature) &&
         Save(dir, "damaged_unterminated_path", s);
  }
  if (!ok) {
    fprintf(stderr, "%s: cannot write the seeds into %s\n", argv[0], dir.c_str());
    return 1;
  }
  return 0;
}
