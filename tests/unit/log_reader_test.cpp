#include "uninstall_file/log_reader.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "test_files.h"

namespace kiv {
namespace {

using testing_support::MemorySource;
using testing_support::VectorSink;

constexpr uint32_t kImage = 64;  // a stand-in for the executable image

// A directory made, then a file written into it: every byte where the reader
// looks for it, offsets counted from h, where the image ends.
TEST(LogWriter, WritesADirectoryAndItsFileByteForByte) {
  VectorSink sink(kImage);
  LogWriter w(sink);
  ASSERT_TRUE(w.Begin());
  ASSERT_TRUE(w.AddDirectory("C:\\App"));
  ASSERT_TRUE(w.AddFile("C:\\App\\a.txt"));
  ASSERT_TRUE(w.Finish("App"));

  const uint32_t h = kImage;
  std::vector<uint8_t> want(kImage, 0xCC);
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) want.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto str = [&](const char* s) { want.insert(want.end(), s, s + std::strlen(s) + 1); };
  u32(0xFFFFFFFF);
  want.push_back(0);
  want.push_back(0);  // at h
  u32(h);
  want.push_back(1);
  want.push_back(0);
  str("C:\\App");  // at h+6, 13 bytes
  u32(h + 6);
  want.push_back(2);
  want.push_back(0);
  str("C:\\App\\a.txt");
  want.push_back(0);  // at h+19, 20 bytes
  const uint32_t name = static_cast<uint32_t>(want.size());
  EXPECT_EQ(name, h + 39);
  str("App");
  u32(name);
  u32(h + 19);
  want.insert(want.end(), kSignature, kSignature + kSignatureSize);
  EXPECT_EQ(sink.bytes, want);
}

TEST(LogWriter, RefusesFieldsOverTheirLimitAndWritesNothing) {
  VectorSink sink;
  LogWriter w(sink);
  w.Begin();
  const uint32_t before = sink.Position();
  std::string fits(255, 'a'), over(256, 'a');
  std::string reg_fits(1023, 'r'), reg_over(1024, 'r');
  EXPECT_TRUE(w.AddDirectory(fits.c_str()));
  const uint32_t after_one = sink.Position();
  EXPECT_GT(after_one, before);
  EXPECT_FALSE(w.AddDirectory(over.c_str()));
  EXPECT_FALSE(w.AddRegistryValue("HKEY_USERS", reg_over.c_str(), nullptr));
  EXPECT_FALSE(w.AddRegistryValue("HKEY_USERS", "k\\v", reg_over.c_str()));
  EXPECT_FALSE(w.Finish(over.c_str()));
  EXPECT_EQ(sink.Position(), after_one);
  EXPECT_TRUE(w.AddRegistryValue("HKEY_USERS", reg_fits.c_str(), reg_fits.c_str()));
}

// Reads every record back through the reader, as the walk does.
TEST(LogReader, WalksEveryRecordTypeBackwards) {
  VectorSink sink(kImage);
  LogWriter w(sink);
  w.Begin();
  w.AddDirectory("C:\\App");
  w.AddRestoredFile("C:\\App\\cfg", 0x0123456789ABCDEFull, "saved", 5);
  w.AddIniEntry("win.ini", "Sec", "Key", "<null>", "v", false);
  w.AddRegistryValue("HKEY_CURRENT_USER", "Software\\A\\V", "data");
  w.AddUnused5();
  w.AddFont("Sample Sans", "sample.ttf");
  w.AddShellItem("Group", "Item");
  w.AddShellGroup("Group");
  FieldValue shared[1];
  shared[0].text = "C:\\Windows\\System32\\common.dll";
  w.AddRecord(RecordType::kSharedFile, shared);
  const uint8_t check[kContentCheckSize] = {1, 2, 3, 4, 5, 6, 7, 8};
  FieldValue kept[2];
  kept[0].text = "C:\\App\\app.ini";
  kept[1].bytes = check;
  w.AddRecord(RecordType::kKeptFile, kept);
  w.Finish("Every Type");

  MemorySource file(sink.bytes);
  LogReader r(file);
  ASSERT_TRUE(r.usable());
  EXPECT_STREQ(r.display_name(), "Every Type");
  ChainVerdict v = r.CheckChain();
  EXPECT_EQ(v.damage, Damage::kNone);
  EXPECT_EQ(v.records, 11u);
  EXPECT_EQ(r.current(), r.last_record());

  char a[1024], b[1024];
  EXPECT_EQ(r.NextRecord(), 11);
  EXPECT_TRUE(r.ReadString(a, 1024));
  EXPECT_STREQ(a, "C:\\App\\app.ini");
  uint8_t read_check[kContentCheckSize];
  EXPECT_EQ(r.ReadBytes(read_check, sizeof(read_check)), sizeof(read_check));
  EXPECT_EQ(LoadU32(read_check + 4), 0x08070605u);
  EXPECT_EQ(r.NextRecord(), 10);
  EXPECT_TRUE(r.ReadString(a, 1024));
  EXPECT_STREQ(a, "C:\\Windows\\System32\\common.dll");
  EXPECT_EQ(r.NextRecord(), 8);
  EXPECT_TRUE(r.ReadString(a, 256));
  EXPECT_STREQ(a, "Group");
  EXPECT_EQ(r.NextRecord(), 7);
  EXPECT_TRUE(r.ReadString(a, 256) && r.ReadString(b, 256));
  EXPECT_STREQ(b, "Item");
  EXPECT_EQ(r.NextRecord(), 6);
  EXPECT_EQ(r.NextRecord(), 5);  // nothing of its payload is read
  EXPECT_EQ(r.NextRecord(), 4);
  EXPECT_TRUE(r.ReadString(a, 256) && r.ReadString(b, 1024));
  EXPECT_STREQ(b, "Software\\A\\V");
  EXPECT_TRUE(r.ReadFlag());
  EXPECT_TRUE(r.ReadString(a, 1024));
  EXPECT_STREQ(a, "data");
  EXPECT_EQ(r.NextRecord(), 3);
  EXPECT_EQ(r.NextRecord(), 2);
  EXPECT_TRUE(r.ReadString(a, 256));
  EXPECT_TRUE(r.ReadFlag());
  uint8_t time[8];
  EXPECT_EQ(r.ReadBytes(time, 8), 8u);
  EXPECT_EQ(LoadU32(time), 0x89ABCDEFu);
  EXPECT_EQ(LoadU32(time + 4), 0x01234567u);
  EXPECT_EQ(r.ReadU32(), 5u);
  EXPECT_EQ(r.NextRecord(), 1);
  EXPECT_EQ(r.current(), kImage);  // the back-link of the record just read
  EXPECT_EQ(r.NextRecord(), 0);
}

TEST(LogReader, ReadStringStopsAtItsCapacityAndAlwaysEndsInNul) {
  VectorSink sink;
  LogWriter w(sink);
  w.Begin();
  w.AddDirectory("abcd");
  w.Finish("n");
  struct Row {
    uint32_t capacity;
    bool whole;
    const char* got;
  } rows[] = {
      {5, true, "abcd"},  // fits exactly
      {4, false, "abc"},  // one byte short: cut and ended
      {1, false, ""},
  };
  for (const Row& row : rows) {
    MemorySource file(sink.bytes);
    LogReader r(file);
    ASSERT_EQ(r.NextRecord(), 1);
    char buffer[8];
    std::memset(buffer, 'X', sizeof(buffer));
    EXPECT_EQ(r.ReadString(buffer, row.capacity), row.whole) << row.capacity;
    EXPECT_STREQ(buffer, row.got);
    EXPECT_EQ(buffer[row.capacity], 'X') << "wrote past the capacity";
  }
}

// ---- Damage ----------------------------------------------------------------

struct DamageRow {
  const char* name;
  std::vector<uint8_t> (*make)();
  Damage want;
};

std::vector<uint8_t> Sound(void (*records)(LogWriter&)) {
  VectorSink sink(kImage);
  LogWriter w(sink);
  w.Begin();
  records(w);
  w.Finish("App");
  return sink.bytes;
}

void PatchU32(std::vector<uint8_t>& b, size_t at, uint32_t v) { StoreU32(b.data() + at, v); }
uint32_t TrailerAt(const std::vector<uint8_t>& b) { return static_cast<uint32_t>(b.size() - 20); }

const DamageRow kDamageRows[] = {
    {"empty_file", [] { return std::vector<uint8_t>(); }, Damage::kTooShort},
    {"nineteen_bytes", [] { return std::vector<uint8_t>(19, 0); }, Damage::kTooShort},
    {"small_letter_signature",
     [] {
       auto b = Sound([](LogWriter&) {});
       std::memcpy(b.data() + b.size() - 12, "kivuninstall", 12);
       return b;
     },
     Damage::kBadSignature},
    {"name_offset_at_trailer",
     [] {
       auto b = Sound([](LogWriter&) {});
       PatchU32(b, TrailerAt(b), TrailerAt(b));
       return b;
     },
     Damage::kNameOffset},
    {"name_offset_far_past_end",
     [] {
       auto b = Sound([](LogWriter&) {});
       PatchU32(b, TrailerAt(b), 0xFFFFFFF0u);
       return b;
     },
     Damage::kNameOffset},
    {"display_name_of_256_bytes",
     [] {
       VectorSink s(kImage);
       LogWriter w(s);
       w.Begin();
       uint32_t name = s.Position();
       std::string n(256, 'n');
       w.WriteBytes(n.c_str(), 257);
       w.FinishRaw(name, kImage, kSignature);
       return s.bytes;
     },
     Damage::kNameUnterminated},
    // The name is a key name under the Uninstall key: empty, it names that
    // key itself; with a backslash, a key of another product.
    {"empty_display_name",
     [] {
       VectorSink s(kImage);
       LogWriter w(s);
       w.Begin();
       w.AddDirectory("C:\\a");
       const uint32_t name = s.Position();
       w.WriteBytes("", 1);
       w.FinishRaw(name, w.last_record(), kSignature);
       return s.bytes;
     },
     Damage::kNameInvalid},
    {"display_name_with_a_backslash",
     [] {
       VectorSink s(kImage);
       LogWriter w(s);
       w.Begin();
       const uint32_t name = s.Position();
       w.WriteBytes("Other\\App", 10);
       w.FinishRaw(name, kImage, kSignature);
       return s.bytes;
     },
     Damage::kNameInvalid},
    {"name_offset_at_a_nul_in_the_image",
     [] {
       VectorSink s(kImage, 0);  // an image full of NULs
       LogWriter w(s);
       w.Begin();
       w.WriteBytes("App", 4);
       w.FinishRaw(kImage / 2, kImage, kSignature);
       return s.bytes;
     },
     Damage::kNameInvalid},
    {"name_offset_at_text_in_the_image",
     [] {
       VectorSink s(kImage, 'i');
       s.bytes[kImage - 1] = 0;
       LogWriter w(s);
       w.Begin();
       w.WriteBytes("App", 4);
       w.FinishRaw(kImage - 8, kImage, kSignature);
       return s.bytes;
     },
     Damage::kNameBeforeRecords},
    {"name_offset_inside_the_last_record",
     [] {
       VectorSink s(kImage);
       LogWriter w(s);
       w.Begin();
       const uint32_t record = s.Position();
       w.AddShellGroup("Accessories");
       w.FinishRaw(record + kRecordHeaderSize, w.last_record(), kSignature);
       return s.bytes;
     },
     Damage::kNameBeforeRecords},
    {"name_offset_inside_saved_content",
     [] {
       VectorSink s(kImage);
       LogWriter w(s);
       w.Begin();
       w.AddRestoredFile("C:\\f", 0, "App\0tail", 9);
       w.FinishRaw(s.Position() - 8, w.last_record(), kSignature);
       return s.bytes;
     },
     Damage::kNameBeforeRecords},
    {"last_record_inside_trailer",
     [] {
       auto b = Sound([](LogWriter&) {});
       PatchU32(b, TrailerAt(b) + 4, TrailerAt(b) - 3);
       return b;
     },
     Damage::kRecordOutside},
    {"type_12",  // the first after the kept file's
     [] {
       return Sound([](LogWriter& w) {
         w.AddDirectory("C:\\a");
         w.AddRaw(12, "", 0);
         w.AddDirectory("C:\\b");
       });
     },
     Damage::kBadType},
    {"type_65535", [] { return Sound([](LogWriter& w) { w.AddRaw(0xFFFF, "", 0); }); },
     Damage::kBadType},
    {"back_link_to_itself",
     [] {
       VectorSink s(kImage);
       LogWriter w(s);
       w.Begin();
       w.Resume(s.Position());
       w.AddDirectory("C:\\a");
       w.Finish("App");
       return s.bytes;
     },
     Damage::kBackLinkForward},
    {"end_record_with_a_back_link",
     [] {
       auto b = Sound([](LogWriter&) {});
       PatchU32(b, kImage, 0);
       return b;
     },
     Damage::kChainEnd},
    {"string_over_its_limit",
     [] {
       return Sound([](LogWriter& w) {
         std::string p(256, 'p');
         w.AddRaw(1, p.c_str(), 257);
       });
     },
     Damage::kStringUnterminated},
    {"string_running_into_the_trailer",
     [] {
       VectorSink s(kImage);
       LogWriter w(s);
       w.Begin();
       uint32_t name = s.Position();
       w.WriteBytes("App", 4);
       w.AddRaw(1, "C:\\x", 4);
       w.FinishRaw(name, w.last_record(), kSignature);
       return s.bytes;
     },
     Damage::kStringUnterminated},
    {"saved_content_past_the_trailer",
     [] {
       auto b = Sound([](LogWriter& w) { w.AddRestoredFile("C:\\f", 0, "abc", 3); });
       // The length field sits 4 bytes before the content (3 bytes), which
       // ends where the display name starts.
       PatchU32(b, b.size() - 20 - 4 - 3 - 4, 100);
       return b;
     },
     Damage::kPayloadOutside},
    {"saved_content_one_byte_into_the_trailer",
     [] {
       auto b = Sound([](LogWriter& w) { w.AddRestoredFile("C:\\f", 0, "abc", 3); });
       // 8 bytes: the content, the display name "App" and the trailer's
       // first byte. Taken as fitting, the content would end past the name
       // and be reported as a name among the records instead.
       PatchU32(b, b.size() - 20 - 4 - 3 - 4, 3 + 4 + 1);
       return b;
     },
     Damage::kPayloadOutside},
    {"kept_file_check_into_the_trailer",
     [] {
       // Two of the check's eight bytes, then the display name "App": the
       // check would end two bytes into the trailer.
       return Sound([](LogWriter& w) { w.AddRaw(11, "C:\\f\0\1\2", 7); });
     },
     Damage::kPayloadOutside},
    {"flag_missing_at_the_trailer",
     [] {
       VectorSink s(kImage);
       LogWriter w(s);
       w.Begin();
       uint32_t name = s.Position();
       w.WriteBytes("App", 4);
       w.AddRaw(2, "C:\\f", 5);  // no flag byte: the trailer follows
       w.FinishRaw(name, w.last_record(), kSignature);
       return s.bytes;
     },
     Damage::kPayloadOutside},
    {"registry_path_of_1024_bytes",
     [] {
       return Sound([](LogWriter& w) {
         std::string payload =
             std::string("HKEY_USERS") + '\0' + std::string(1024, 'k') + '\0' + '\0';
         w.AddRaw(4, payload.data(), static_cast<uint32_t>(payload.size()));
       });
     },
     Damage::kStringUnterminated},
};

void PrintTo(const DamageRow& row, std::ostream* os) { *os << row.name; }

class Damaged : public testing::TestWithParam<DamageRow> {};

TEST_P(Damaged, IsFoundBeforeAnythingIsActedOn) {
  const DamageRow& row = GetParam();
  MemorySource file(row.make());
  LogReader r(file);
  ASSERT_TRUE(r.has_stream());
  EXPECT_EQ(r.CheckChain().damage, row.want) << DamageName(r.CheckChain().damage);
  char buffer[8];
  if (!r.usable()) {
    EXPECT_FALSE(r.ReadString(buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, Damaged, testing::ValuesIn(kDamageRows),
                         [](const testing::TestParamInfo<DamageRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(LogReader, LimitsThatFitExactlyAreSound) {
  auto b = Sound([](LogWriter& w) {
    std::string s255(255, 's'), s1023(1023, 'r');
    ASSERT_TRUE(w.AddDirectory(s255.c_str()));
    ASSERT_TRUE(w.AddRegistryValue("HKEY_USERS", s1023.c_str(), s1023.c_str()));
    ASSERT_TRUE(w.AddRestoredFile("C:\\empty", 0, "", 0));
  });
  MemorySource file(b);
  LogReader r(file);
  EXPECT_EQ(r.CheckChain().damage, Damage::kNone);
}

TEST(LogReader, DisplayNameRightAfterTheRecordsIsSound) {
  VectorSink s(kImage);
  LogWriter w(s);
  w.Begin();
  w.AddRestoredFile("C:\\f", 0, "abc", 3);
  const uint32_t name = s.Position();
  w.WriteBytes("A", 2);
  w.FinishRaw(name, w.last_record(), kSignature);
  MemorySource file(s.bytes);
  LogReader r(file);
  EXPECT_EQ(r.CheckChain().damage, Damage::kNone);
  EXPECT_STREQ(r.display_name(), "A");
}

// A sound file followed by zeros up to 2 GiB or 4 GiB and more, a real
// (sparse) file opened by its path: told by its whole size, never by its low
// 32 bits (which name the sound file at the start).
TEST(LogReader, FileOverTheLargestSizeIsTooLarge) {
  VectorSink s(kImage);
  LogWriter w(s);
  w.Begin();
  w.Finish("App");
  char path[] = "/tmp/kiv-large-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, s.bytes.data(), s.bytes.size()), static_cast<ssize_t>(s.bytes.size()));
  for (uint64_t size : {kMaxUninstallFileSize + 1, (uint64_t{1} << 32) + s.bytes.size()}) {
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0) << "no sparse file here";
    LogReader r(path);
    EXPECT_EQ(r.damage(), Damage::kTooLarge) << size;
    EXPECT_EQ(r.CheckChain().damage, Damage::kTooLarge) << size;
  }
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(s.bytes.size())), 0);
  LogReader sound(path);
  EXPECT_EQ(sound.CheckChain().damage, Damage::kNone);
  close(fd);
  unlink(path);
}

TEST(LogReader, NoFileHasNoStream) {
  LogReader r("/nonexistent/kiv/uninst.exe");
  EXPECT_FALSE(r.has_stream());
  EXPECT_EQ(r.damage(), Damage::kCannotOpen);
}

TEST(LogReader, NextRecordRefusesABackLinkThatDoesNotPointBackwards) {
  VectorSink s(kImage);
  LogWriter w(s);
  w.Begin();
  w.Resume(s.Position());
  w.AddDirectory("C:\\a");
  w.Finish("App");
  MemorySource file(s.bytes);
  LogReader r(file);
  EXPECT_EQ(r.NextRecord(), LogReader::kUnreadableType);
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

using testing_support::MemorySource;
using testing_support::VectorSink;

// A log many windows long, with strings and saved contents of every length
// around the window's edges: the walk must read back exactly what was
// written, whatever falls across a window boundary.
TEST(LogReader, FieldsAcrossWindowEdgesReadBackExactly) {
  struct Written {
    std::string a, b;
    std::vector<uint8_t> content;
    uint16_t type;
  };
  std::vector<Written> records;
  VectorSink sink(4097);
  LogWriter w(sink);
  ASSERT_TRUE(w.Begin());
  const uint32_t contents[] = {0,
                               1,
                               LogReader::kWindowSize - 1,
                               LogReader::kWindowSize,
                               LogReader::kWindowSize + 1,
                               3 * LogReader::kWindowSize + 7};
  for (uint32_t i = 0; i < 3000; ++i) {
    Written r;
    r.a = std::string(i * 37 % 256, static_cast<char>('a' + i % 26));
    r.b = std::string(i * 101 % 1024, static_cast<char>('A' + i % 26));
    if (i % 500 == 7) {
      r.type = 2;
      r.content.resize(contents[(i / 500) % 6]);
      for (size_t k = 0; k < r.content.size(); ++k) r.content[k] = static_cast<uint8_t>(k * 7 + i);
      ASSERT_TRUE(w.AddRestoredFile(r.a.c_str(), i, r.content.data(),
                                    static_cast<uint32_t>(r.content.size())));
    } else if (i % 3 == 0) {
      r.type = 4;
      ASSERT_TRUE(w.AddRegistryValue("HKEY_USERS", r.b.c_str(), r.b.c_str()));
    } else {
      r.type = 7;
      ASSERT_TRUE(w.AddShellItem(r.a.c_str(), r.a.c_str()));
    }
    records.push_back(r);
  }
  ASSERT_TRUE(w.Finish("Long"));
  ASSERT_GT(sink.bytes.size(), 100u * LogReader::kWindowSize);

  MemorySource file(sink.bytes);
  LogReader reader(file);
  ASSERT_EQ(reader.CheckChain().damage, Damage::kNone);
  char root[kStringLimit], text[kRegistryLimit], data[kRegistryLimit];
  for (size_t i = records.size(); i-- > 0;) {
    const Written& r = records[i];
    SCOPED_TRACE(i);
    ASSERT_EQ(reader.NextRecord(), r.type);
    if (r.type == 2) {
      ASSERT_TRUE(reader.ReadString(text, kStringLimit));
      EXPECT_EQ(text, r.a);
      ASSERT_TRUE(reader.ReadFlag());
      uint8_t time[kSavedTimeSize];
      ASSERT_EQ(reader.ReadBytes(time, sizeof(time)), sizeof(time));
      EXPECT_EQ(LoadU32(time), i);
      ASSERT_EQ(reader.ReadU32(), r.content.size());
      // A piece of an odd size through the window, then the rest in one
      // read, which past the window goes straight to the buffer.
      std::vector<uint8_t> got(r.content.size());
      const uint32_t first = static_cast<uint32_t>(std::min<size_t>(5000, got.size()));
      ASSERT_EQ(reader.ReadBytes(got.data(), first), first);
      const uint32_t rest = static_cast<uint32_t>(got.size()) - first;
      ASSERT_EQ(reader.ReadBytes(got.data() + first, rest), rest);
      EXPECT_EQ(got, r.content);
    } else if (r.type == 4) {
      ASSERT_TRUE(reader.ReadString(root, sizeof(root)));
      EXPECT_STREQ(root, "HKEY_USERS");
      ASSERT_TRUE(reader.ReadString(text, sizeof(text)));
      EXPECT_EQ(text, r.b);
      ASSERT_TRUE(reader.ReadFlag());
      ASSERT_TRUE(reader.ReadString(data, sizeof(data)));
      EXPECT_EQ(data, r.b);
    } else {
      ASSERT_TRUE(reader.ReadString(text, kStringLimit));
      EXPECT_EQ(text, r.a);
      ASSERT_TRUE(reader.ReadString(text, kStringLimit));
      EXPECT_EQ(text, r.a);
    }
  }
  EXPECT_EQ(reader.NextRecord(), 0);
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

bool Cp932Lead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// In a double-byte code page the second byte of a letter may be 0x5C: with
// the system's lead-byte test such a name is a key name of its own, and a
// real backslash is still refused.
TEST(LogReader, DisplayNameBackslashIsJudgedByLetters) {
  const struct {
    const char* name;
    LeadByteTest test;
    Damage want;
  } kRows[] = {
      {"\x95\x5C\x8E\xA6", Cp932Lead, Damage::kNone},       // two letters, 0x5C second byte
      {"\x95\x5C\x8E\xA6", nullptr, Damage::kNameInvalid},  // byte by byte: a backslash
      {"A\\\x95\x5C", Cp932Lead, Damage::kNameInvalid},     // a real backslash before them
      {"\x95\x5C\\", Cp932Lead, Damage::kNameInvalid},      // and after them
  };
  for (const auto& row : kRows) {
    testing_support::VectorSink sink(64);
    LogWriter w(sink);
    w.Begin();
    w.AddDirectory("C:\\App");
    w.FinishRaw(sink.Position(), 64, kSignature);
    // FinishRaw writes no name: put it in by hand, then the trailer again.
    std::vector<uint8_t> bytes(sink.bytes.begin(), sink.bytes.end() - kTrailerSize);
    const uint32_t name_at = static_cast<uint32_t>(bytes.size());
    bytes.insert(bytes.end(), row.name, row.name + strlen(row.name) + 1);
    uint8_t trailer[kTrailerSize];
    StoreTrailer(trailer, name_at, 70);
    bytes.insert(bytes.end(), trailer, trailer + kTrailerSize);
    MemorySource file(bytes);
    LogReader reader(file, row.test);
    EXPECT_EQ(reader.CheckChain().damage, row.want) << row.name;
  }
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

// Bytes in memory, of which reads past fail_at fail as a disk's would.
class FailingSource final : public RandomSource {
 public:
  FailingSource(std::vector<uint8_t> bytes, uint64_t fail_at)
      : bytes_(std::move(bytes)), fail_at_(fail_at) {}
  bool is_open() const override { return true; }
  bool Size(uint64_t* size) override {
    *size = bytes_.size();
    return true;
  }
  uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count) override {
    uint32_t n = 0;
    while (n < count && offset + n < bytes_.size() && offset + n < fail_at_) {
      static_cast<uint8_t*>(buffer)[n] = bytes_[offset + n];
      ++n;
    }
    return n;
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t fail_at_;
};

// A file whose reads fail part of the way is never taken as sound, wherever
// the failure starts: the reader sees the source only through its reads.
TEST(LogReader, ReadsThatFailPartWayNeverPassTheCheck) {
  testing_support::VectorSink sink(LogReader::kWindowSize);
  LogWriter w(sink);
  w.Begin();
  for (int i = 0; i < 400; ++i) w.AddShellItem("Group with a name", "Item with a longer name");
  w.Finish("Product");
  for (uint64_t fail_at = 0; fail_at < sink.bytes.size(); fail_at += 97) {
    FailingSource source(sink.bytes, fail_at);
    LogReader reader(source);
    EXPECT_NE(reader.CheckChain().damage, Damage::kNone) << fail_at;
  }
  FailingSource whole(sink.bytes, sink.bytes.size());
  LogReader reader(whole);
  EXPECT_EQ(reader.CheckChain().damage, Damage::kNone);
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

// A Directory or File path of 256 bytes or more: only a file that names its
// code page may hold one (up to 1,023 bytes), and only as the system reads
// it as written, since it goes to the system in the "\\?\" form.
struct LongPathRow {
  const char* name;
  uint32_t code_page;  // 0: no code-page record
  uint16_t type;       // 1 directory, 2 file
  std::string path;
  Damage want;
};

std::string Nest(uint32_t length, const std::string& root = "C:\\") {
  std::string path = root;
  while (path.size() < length) path += path.size() % 10 == 9 ? '\\' : 'd';
  path.resize(length);
  if (path.back() == '\\') path.back() = 'd';
  return path;
}

std::vector<uint8_t> WithPath(const LongPathRow& row) {
  VectorSink s(kImage);
  LogWriter w(s);
  if (row.code_page != 0) {
    w.BeginInCodePage(row.code_page);
  } else {
    w.Begin();
  }
  std::string payload = row.path + '\0';
  if (row.type == 2) payload += '\0';  // no saved copy
  w.AddRaw(row.type, payload.data(), static_cast<uint32_t>(payload.size()));
  w.AddDirectory("C:\\after");
  w.Finish("App");
  return s.bytes;
}

class LongPaths : public testing::TestWithParam<LongPathRow> {};

TEST_P(LongPaths, AreJudgedByTheFilesMark) {
  const LongPathRow& row = GetParam();
  MemorySource file(WithPath(row));
  LogReader r(file);
  const ChainVerdict verdict = r.CheckChain();
  EXPECT_EQ(verdict.damage, row.want) << DamageName(verdict.damage);
  if (row.want != Damage::kNone) return;
  // The walk reads the path back whole.
  char path[kLongPathLimit];
  ASSERT_EQ(r.NextRecord(), 1);  // the directory after it
  r.ReadString(path, sizeof(path));
  ASSERT_EQ(r.NextRecord(), row.type);
  EXPECT_TRUE(r.ReadString(path, sizeof(path)));
  EXPECT_EQ(std::string(path), row.path);
}

const LongPathRow kLongPathRows[] = {
    {"unmarked_255_bytes", 0, 1, Nest(255), Damage::kNone},
    {"unmarked_256_bytes", 0, 1, Nest(256), Damage::kStringUnterminated},
    {"unmarked_file_256_bytes", 0, 2, Nest(256), Damage::kStringUnterminated},
    {"marked_256_bytes", 1252, 1, Nest(256), Damage::kNone},
    {"marked_file_1023_bytes", 1252, 2, Nest(1023), Damage::kNone},
    {"marked_1024_bytes", 1252, 1, Nest(1024), Damage::kStringUnterminated},
    {"marked_utf8_1023_bytes", 65001, 2, Nest(1021) + "\xC3\xA9", Damage::kNone},
    {"marked_share", 1252, 1, Nest(600, "\\\\server\\share\\"), Damage::kNone},
    {"marked_already_literal", 1252, 1, Nest(600, "\\\\?\\C:\\"), Damage::kNone},
    {"marked_dot_dot_part", 1252, 1, Nest(300) + "\\..\\x", Damage::kLongPathForm},
    {"marked_dot_part", 1252, 1, "C:\\.\\" + Nest(300).substr(3), Damage::kLongPathForm},
    {"marked_forward_slash", 1252, 1, Nest(300) + "/x", Damage::kLongPathForm},
    {"marked_part_ending_in_a_dot", 1252, 2, Nest(300) + ".\\x", Damage::kLongPathForm},
    {"marked_part_ending_in_a_blank", 1252, 2, Nest(300) + " \\x", Damage::kLongPathForm},
    {"marked_empty_part", 1252, 1, Nest(300) + "\\\\x", Damage::kLongPathForm},
    {"marked_relative", 1252, 1, Nest(300, "dir\\"), Damage::kLongPathForm},
    {"marked_device_prefix", 1252, 1, Nest(300, "\\\\.\\C:\\"), Damage::kLongPathForm},
    // In 932 a second byte 0x5C is no separator: "\x95\x5C" is one letter,
    // never an empty part after a backslash.
    {"marked_932_second_byte_5c", 932, 1, Nest(300) + "\\\x95\x5C\\x", Damage::kNone},
    // A short path keeps its meaning: the system reads it as always.
    {"marked_short_dot_dot", 1252, 1, "C:\\a\\..\\b", Damage::kNone},
};

void PrintTo(const LongPathRow& row, std::ostream* os) { *os << row.name; }

INSTANTIATE_TEST_SUITE_P(Rows, LongPaths, testing::ValuesIn(kLongPathRows),
                         [](const testing::TestParamInfo<LongPathRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(LogWriter, TakesALongPathOnlyInAMarkedFileAndAsRead) {
  VectorSink plain(kImage), marked(kImage);
  LogWriter p(plain), m(marked);
  p.Begin();
  m.BeginInCodePage(1252);
  const std::string long_path = Nest(700);
  EXPECT_FALSE(p.AddDirectory(long_path.c_str()));
  EXPECT_TRUE(m.AddDirectory(long_path.c_str()));
  EXPECT_FALSE(m.AddDirectory((long_path + "\\..\\x").c_str()));
  EXPECT_FALSE(m.AddFile(Nest(1024).c_str()));
  // An append to a marked file says so.
  LogWriter resumed(marked);
  resumed.Resume(m.last_record(), 1252);
  EXPECT_TRUE(resumed.AddFile(long_path.c_str()));
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

// Names the check holds to the rules of names: no control character in any
// name (a report or box showing it would show its line breaks), and no part
// named like a device in a path on the disk (asked about alone, such a
// directory is the device, so no link check sees through it).
struct NameRow {
  const char* name;
  uint32_t code_page;  // 0: no code-page record
  void (*records)(LogWriter&);
  Damage want;
};

const NameRow kNameRows[] = {
    {"cr_lf_in_a_registry_path", 0,
     [](LogWriter& w) {
       w.AddRegistryValue("HKEY_CURRENT_USER",
                          "Software\\App\\x\r\nOutcome: everything undone, exit code 0\r\n",
                          nullptr);
     },
     Damage::kControlCharacter},
    {"tab_in_a_file_path", 0, [](LogWriter& w) { w.AddFile("C:\\App\ta.txt"); },
     Damage::kControlCharacter},
    {"del_in_a_directory_path", 65001, [](LogWriter& w) { w.AddDirectory("C:\\App\x7F"); },
     Damage::kControlCharacter},
    {"escape_in_an_ini_key", 0,
     [](LogWriter& w) { w.AddIniEntry("app.ini", "S", "k\x1B", "<null>", "v", false); },
     Damage::kControlCharacter},
    {"line_feed_in_an_ini_section", 0,
     [](LogWriter& w) { w.AddIniEntry("app.ini", "S\n", "k", "<null>", "v", false); },
     Damage::kControlCharacter},
    {"control_in_a_font_file", 0, [](LogWriter& w) { w.AddFont("F", "f\x01.ttf"); },
     Damage::kControlCharacter},
    {"control_in_a_program_manager_item", 0, [](LogWriter& w) { w.AddShellItem("G", "I\x1F"); },
     Damage::kControlCharacter},
    {"control_in_a_program_manager_group", 932, [](LogWriter& w) { w.AddShellGroup("G\x02"); },
     Damage::kControlCharacter},
    // Values are no names: an INI value or prior, a registry value's data.
    {"tab_in_an_ini_value", 0,
     [](LogWriter& w) { w.AddIniEntry("app.ini", "S", "k", "a\tb", "c\td", false); },
     Damage::kNone},
    {"line_break_in_registry_data", 0,
     [](LogWriter& w) { w.AddRegistryValue("HKEY_CURRENT_USER", "Software\\App\\v", "a\r\nb"); },
     Damage::kNone},
    {"nul_directory", 0, [](LogWriter& w) { w.AddFile("C:\\prod\\nul\\victim1.txt"); },
     Damage::kDeviceName},
    {"con_d_directory", 65001, [](LogWriter& w) { w.AddFile("C:\\prod\\con.d\\victim2.txt"); },
     Damage::kDeviceName},
    {"aux_directory_removed", 0, [](LogWriter& w) { w.AddDirectory("C:\\prod\\aux\\sub"); },
     Damage::kDeviceName},
    {"long_form", 1252,
     [](LogWriter& w) { w.AddRestoredFile("\\\\?\\C:\\prod\\lpt1\\v.txt", 0, "x", 1); },
     Damage::kDeviceName},
    {"ini_file_through_com1", 0,
     [](LogWriter& w) { w.AddIniEntry("C:\\prod\\com1.x\\app.ini", "S", "k", "<null>", "v", false); },
     Damage::kDeviceName},
    {"device_part_far_down_the_chain", 0,
     [](LogWriter& w) {
       w.AddFile("C:\\prod\\conout$\\a.txt");
       for (int i = 0; i < 3000; ++i) w.AddFile("C:\\prod\\plain\\a.txt");
     },
     Damage::kDeviceName},
    {"registry_path_named_nul", 0,
     [](LogWriter& w) { w.AddRegistryValue("HKEY_CURRENT_USER", "Software\\nul\\v", nullptr); },
     Damage::kNone},
    // 932: the letter "\x95\x5C" ends in 0x5C, which is no separator.
    {"second_byte_then_con_932", 932, [](LogWriter& w) { w.AddFile("C:\\\x95\x5C" "CON\\a"); },
     Damage::kNone},
    {"letter_then_con_932", 932, [](LogWriter& w) { w.AddFile("C:\\\x95\x5C\\CON\\a"); },
     Damage::kDeviceName},
};

std::vector<uint8_t> WithNames(const NameRow& row, const char* display_name = "App") {
  VectorSink s(kImage);
  LogWriter w(s);
  if (row.code_page != 0) {
    w.BeginInCodePage(row.code_page);
  } else {
    w.Begin();
  }
  w.AddDirectory("C:\\first");
  row.records(w);
  w.AddDirectory("C:\\last");
  w.Finish(display_name);
  return s.bytes;
}

class Names : public testing::TestWithParam<NameRow> {};

TEST_P(Names, AreHeldToTheRulesOfNames) {
  const NameRow& row = GetParam();
  MemorySource file(WithNames(row));
  LogReader r(file);
  const ChainVerdict verdict = r.CheckChain();
  EXPECT_EQ(verdict.damage, row.want) << DamageName(verdict.damage);
  if (row.want != Damage::kNone) EXPECT_EQ(r.code_page(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, Names, testing::ValuesIn(kNameRows),
                         [](const testing::TestParamInfo<NameRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(LogReader, DeviceNamesAreJudgedByTheSystemsLettersInAnUnmarkedFile) {
  const NameRow row = {"", 0, [](LogWriter& w) { w.AddFile("C:\\\x95\x5C" "AUX\\a"); },
                       Damage::kNone};
  const std::vector<uint8_t> bytes = WithNames(row);
  MemorySource plain(bytes);
  EXPECT_EQ(LogReader(plain).CheckChain().damage, Damage::kDeviceName);
  MemorySource shift_jis(bytes);
  LogReader r(shift_jis, [](uint8_t b) { return b >= 0x81 && b <= 0x9F; });
  EXPECT_EQ(r.CheckChain().damage, Damage::kNone);
}

TEST(LogReader, DisplayNameWithAControlCharacterIsInvalid) {
  for (const uint32_t code_page : {0u, 65001u}) {
    const NameRow row = {"", code_page, [](LogWriter&) {}, Damage::kNone};
    MemorySource file(WithNames(row, "App\r\nOther"));
    LogReader r(file);
    EXPECT_EQ(r.CheckChain().damage, Damage::kNameInvalid) << code_page;
  }
}

}  // namespace
}  // namespace kiv
