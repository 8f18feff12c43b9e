#include "stub_kind.h"

#include <stdio.h>
#include <string.h>

#include <optional>
#include <vector>

#include "base/byte_order.h"

namespace kivlog {

namespace {

// The bytes, read only through bounds-checked loads.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Has(uint64_t offset, uint64_t count) const {
    return offset <= size_ && count <= size_ - offset;
  }
  std::optional<uint16_t> U16(uint64_t offset) const {
    if (!Has(offset, 2)) return std::nullopt;
    return kiv::LoadU16(data_ + offset);
  }
  std::optional<uint32_t> U32(uint64_t offset) const {
    if (!Has(offset, 4)) return std::nullopt;
    return kiv::LoadU32(data_ + offset);
  }
  const uint8_t* At(uint64_t offset) const { return data_ + offset; }

 private:
  const uint8_t* data_;
  size_t size_;
};

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kResourceDirectory = 2;  // index among the data directories
constexpr uint32_t kManifestType = 24;      // RT_MANIFEST
constexpr uint32_t kSubdirectory = 0x80000000u;

// The headers the resource lookup needs.
struct Headers {
  uint16_t machine = 0;
  uint32_t resource_rva = 0;
  uint64_t sections = 0;  // offset of the section table
  uint16_t section_count = 0;
};

std::optional<Headers> ReadHeaders(const Bytes& b) {
  if (!b.Has(0, 2) || memcmp(b.At(0), "MZ", 2) != 0) return std::nullopt;
  const auto pe = b.U32(0x3C);
  if (!pe || !b.Has(*pe, 4) || memcmp(b.At(*pe), "PE\0\0", 4) != 0) return std::nullopt;
  const uint64_t coff = *pe + 4ull;
  const auto machine = b.U16(coff);
  const auto section_count = b.U16(coff + 2);
  const auto optional_size = b.U16(coff + 16);
  if (!machine || !section_count || !optional_size) return std::nullopt;
  Headers h;
  h.machine = *machine;
  h.section_count = *section_count;
  const uint64_t optional = coff + 20;
  h.sections = optional + *optional_size;
  // The data directories follow the optional header's fixed part, whose
  // length the magic tells; the count of directories comes just before.
  const auto magic = b.U16(optional);
  if (!magic || (*magic != kMagicPe32 && *magic != kMagicPe32Plus)) return h;
  const uint64_t count_at = optional + (*magic == kMagicPe32 ? 92 : 108);
  const auto count = b.U32(count_at);
  const uint64_t entry = count_at + 4 + 8ull * kResourceDirectory;
  if (!count || *count <= kResourceDirectory || entry + 8 > h.sections) return h;
  h.resource_rva = b.U32(entry).value_or(0);
  return h;
}

// The file offset of an address in the image, with the bytes the section
// holds from there; nothing when no section's file data holds it.
std::optional<uint64_t> FileOffset(const Bytes& b, const Headers& h, uint32_t rva, uint64_t* room) {
  for (uint32_t i = 0; i < h.section_count; ++i) {
    const uint64_t at = h.sections + 40ull * i;
    const auto address = b.U32(at + 12);
    const auto raw_size = b.U32(at + 16);
    const auto raw_at = b.U32(at + 20);
    if (!address || !raw_size || !raw_at) return std::nullopt;
    if (rva >= *address && rva - *address < *raw_size) {
      *room = *raw_size - (rva - *address);
      return *raw_at + static_cast<uint64_t>(rva - *address);
    }
  }
  return std::nullopt;
}

// The entry of id in the resource directory at offset dir (both relative to
// the resource section's start, base); the first entry when id is 0.
std::optional<uint32_t> FindEntry(const Bytes& b, uint64_t base, uint64_t room, uint32_t dir,
                                  uint32_t id) {
  if (dir + 16ull > room) return std::nullopt;
  const auto named = b.U16(base + dir + 12);
  const auto ids = b.U16(base + dir + 14);
  if (!named || !ids) return std::nullopt;
  // Named entries come first; the numbered ones follow.
  for (uint32_t i = 0; i < *ids; ++i) {
    const uint64_t entry = dir + 16ull + 8ull * (*named + i);
    if (entry + 8 > room) return std::nullopt;
    const auto name = b.U32(base + entry);
    const auto target = b.U32(base + entry + 4);
    if (!name || !target) return std::nullopt;
    if (id == 0 || *name == id) return *target;
  }
  return std::nullopt;
}

// The manifest: resource type 24, its first name and first language.
std::optional<std::string> Manifest(const Bytes& b, const Headers& h) {
  if (h.resource_rva == 0) return std::nullopt;
  uint64_t room = 0;
  const auto base = FileOffset(b, h, h.resource_rva, &room);
  if (!base) return std::nullopt;
  const auto by_type = FindEntry(b, *base, room, 0, kManifestType);
  if (!by_type || !(*by_type & kSubdirectory)) return std::nullopt;
  const auto by_name = FindEntry(b, *base, room, *by_type & ~kSubdirectory, 0);
  if (!by_name || !(*by_name & kSubdirectory)) return std::nullopt;
  const auto by_language = FindEntry(b, *base, room, *by_name & ~kSubdirectory, 0);
  if (!by_language || (*by_language & kSubdirectory) || *by_language + 8ull > room) {
    return std::nullopt;
  }
  // The data entry: the manifest's address in the image and its size.
  const auto data_rva = b.U32(*base + *by_language);
  const auto data_size = b.U32(*base + *by_language + 4);
  if (!data_rva || !data_size) return std::nullopt;
  uint64_t data_room = 0;
  const auto data = FileOffset(b, h, *data_rva, &data_room);
  if (!data || *data_size > data_room || !b.Has(*data, *data_size)) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(b.At(*data)), *data_size);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// level="..." (or '...') inside the requestedExecutionLevel element.
StubLevel LevelOf(const std::string& manifest) {
  const size_t element = manifest.find("<requestedExecutionLevel");
  if (element == std::string::npos) return StubLevel::kUnknown;
  const size_t end = manifest.find('>', element);
  const std::string tag =
      manifest.substr(element, end == std::string::npos ? std::string::npos : end - element);
  for (size_t at = tag.find("level"); at != std::string::npos; at = tag.find("level", at + 1)) {
    if (!IsBlank(tag[at - 1])) continue;  // the end of another word
    size_t p = at + 5;
    while (p < tag.size() && IsBlank(tag[p])) ++p;
    if (p >= tag.size() || tag[p] != '=') continue;
    do ++p;
    while (p < tag.size() && IsBlank(tag[p]));
    if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\'')) return StubLevel::kUnknown;
    const size_t close = tag.find(tag[p], p + 1);
    if (close == std::string::npos) return StubLevel::kUnknown;
    const std::string value = tag.substr(p + 1, close - p - 1);
    if (value == "requireAdministrator") return StubLevel::kRequireAdministrator;
    if (value == "highestAvailable") return StubLevel::kHighestAvailable;
    if (value == "asInvoker") return StubLevel::kAsInvoker;
    return StubLevel::kUnknown;
  }
  return StubLevel::kUnknown;
}

}  // namespace

StubKind ReadStubKind(const uint8_t* bytes, size_t size) {
  const Bytes b(bytes, size);
  StubKind kind;
  const auto headers = ReadHeaders(b);
  if (!headers) return kind;
  if (headers->machine == kMachineI386) kind.machine = StubMachine::kI686;
  if (headers->machine == kMachineAmd64) kind.machine = StubMachine::kX86_64;
  if (const auto manifest = Manifest(b, *headers)) kind.level = LevelOf(*manifest);
  return kind;
}

StubKind ReadStubKindOfFile(const std::string& path, size_t max_bytes) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return StubKind{};
  std::vector<uint8_t> bytes(max_bytes);
  const size_t got = fread(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  return ReadStubKind(bytes.data(), got);
}

const char* MachineName(StubMachine machine) {
  switch (machine) {
    case StubMachine::kI686: return "i686";
    case StubMachine::kX86_64: return "x86_64";
    case StubMachine::kUnknown: break;
  }
  return "";
}

const char* LevelName(StubLevel level) {
  switch (level) {
    case StubLevel::kRequireAdministrator: return "requireAdministrator";
    case StubLevel::kHighestAvailable: return "highestAvailable";
    case StubLevel::kAsInvoker: return "asInvoker";
    case StubLevel::kUnknown: break;
  }
  return "";
}

std::string DescribeStub(const StubKind& kind) {
  std::string text = "the";
  if (kind.machine != StubMachine::kUnknown) text += std::string(" ") + MachineName(kind.machine);
  if (kind.level == StubLevel::kAsInvoker) text += " per-user";
  if (kind.level == StubLevel::kRequireAdministrator) text += " per-machine";
  text += " stub";
  if (kind.level != StubLevel::kUnknown) text += std::string(" (") + LevelName(kind.level) + ")";
  return text;
}

}  // namespace kivlog
