// The text rules of the code pages an uninstall file may name, and the
// UTF-8 conversion the stub's name layer hands to the wide calls, over any
// bytes.
//
// Input: a byte choosing the code page, a byte choosing the output's
// capacity in units, a byte choosing where the text is cut in two for the
// piecewise check, then the text.
//
// Invariants:
//  - the check agrees with an independent model that decodes each letter,
//    for every code page a file may name and for one it may not;
//  - fed in two pieces cut anywhere, the check judges as it does whole;
//  - the conversion gives exactly the model's UTF-16 units and a NUL when the
//    text is well formed and they fit, else 0 and an empty string; it never
//    writes past its capacity.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/code_page_text.h"
#include "fuzz_check.h"
#include "text_model.h"

namespace {

constexpr uint32_t kCodePages[] = {874,  932,  936,  949,  950,  1250, 1251, 1252,
                                   1253, 1254, 1255, 1256, 1257, 1258, 65001, 437};

// The conversion's output between fences, capacity units long.
struct FencedUnits {
  static constexpr uint16_t kCanary = 0xA5A5;
  static constexpr uint32_t kFence = 8;
  explicit FencedUnits(uint32_t capacity) : units(capacity + 2 * kFence, kCanary) {}
  uint16_t* data() { return units.data() + kFence; }
  bool Intact(uint32_t capacity) const {
    for (uint32_t i = 0; i < kFence; ++i) {
      if (units[i] != kCanary || units[kFence + capacity + i] != kCanary) return false;
    }
    return true;
  }
  std::vector<uint16_t> units;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint32_t code_page = kCodePages[data[0] % (sizeof(kCodePages) / sizeof(kCodePages[0]))];
  const uint32_t capacity = data[1];
  const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const uint32_t count = static_cast<uint32_t>(text.size());
  const uint32_t cut = count == 0 ? 0 : data[2] % (count + 1);

  KIV_FUZZ_CHECK(kiv::IsNamedCodePage(code_page) == (code_page != 437));
  const bool well_formed = kiv::IsWellFormed(code_page, bytes, count);
  if (kiv::IsNamedCodePage(code_page)) {
    KIV_FUZZ_CHECK(well_formed == kiv::fuzz::ModelWellFormed(code_page, text));
  }
  kiv::TextCheck piecewise(code_page);
  const bool first = piecewise.Feed(bytes, cut);
  const bool second = piecewise.Feed(bytes + cut, count - cut);
  KIV_FUZZ_CHECK(!second || first);  // false stays false
  KIV_FUZZ_CHECK((second && piecewise.Complete()) == well_formed);

  // The conversion reads up to the first NUL, as the name layer's strings end.
  const std::string name(text.c_str());
  std::vector<uint32_t> letters;
  const bool decodes = kiv::fuzz::ModelDecodeUtf8(name, &letters);
  const std::vector<uint16_t> want = kiv::fuzz::ModelUtf16(letters);
  FencedUnits out(capacity);
  const uint32_t n = kiv::Utf8ToUtf16(name.c_str(), out.data(), capacity);
  KIV_FUZZ_CHECK(out.Intact(capacity));
  if (decodes && !want.empty() && want.size() < capacity) {
    KIV_FUZZ_CHECK(n == want.size());
    KIV_FUZZ_CHECK(std::equal(want.begin(), want.end(), out.data()));
    KIV_FUZZ_CHECK(out.data()[n] == 0);
  } else {
    KIV_FUZZ_CHECK(n == 0);
    if (capacity > 0) KIV_FUZZ_CHECK(out.data()[0] == 0);
  }
  return 0;
}
