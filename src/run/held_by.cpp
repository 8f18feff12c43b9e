#include "run/held_by.h"

#include "base/decimal_text.h"

namespace kiv {

namespace {

// Room kept at the end for " and 4 more".
constexpr uint32_t kRoomForMore = sizeof(" and 4 more");

}  // namespace

void DescribeHolders(const platform::FileHolders& holders, ShortString* out) {
  using Asked = platform::FileHolders::Asked;
  char digits[11];
  out->Assign("held by: ");
  const char* cannot_tell = nullptr;
  switch (holders.asked) {
    case Asked::kNoRestartManager: cannot_tell = "no Restart Manager"; break;
    case Asked::kFailed:
      out->Append("cannot tell (Restart Manager error ");
      out->Append(DecimalText(holders.error, digits));
      out->Append(")");
      return;
    case Asked::kTooMany:
      out->Append(DecimalText(holders.total, digits));
      out->Append(" programs (too many to name)");
      return;
    case Asked::kListed:
      if (holders.count == 0) cannot_tell = "the Restart Manager names no program";
      break;
  }
  if (cannot_tell != nullptr) {
    out->Append("cannot tell (");
    out->Append(cannot_tell);
    out->Append(")");
    return;
  }
  const uint32_t count = holders.count < platform::FileHolders::kMaxNamed
                             ? holders.count
                             : platform::FileHolders::kMaxNamed;
  for (uint32_t i = 0; i < count; ++i) {
    const platform::FileHolders::Holder& holder = holders.holders[i];
    // ", " + the name + " (process 4294967295)"
    FixedString<sizeof(", (process 4294967295)") + decltype(platform::FileHolders::Holder::name)::capacity()>
        piece;
    if (i > 0) piece.Append(", ");
    if (!holder.name.empty()) {
      piece.Append(holder.name.c_str());
      piece.Append(" ");
    }
    piece.Append("(process ");
    piece.Append(DecimalText(holder.process_id, digits));
    piece.Append(")");
    if (out->length() + piece.length() + kRoomForMore > out->capacity()) {
      out->Append(" and ");
      out->Append(DecimalText(count - i, digits));
      out->Append(" more");
      return;
    }
    out->Append(piece.c_str());
  }
}

}  // namespace kiv
