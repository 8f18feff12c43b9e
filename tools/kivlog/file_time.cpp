#include "file_time.h"

#include <stdio.h>

namespace kivlog {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian), and
// back; the usual era arithmetic, exact over the whole range used here.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t y, unsigned m) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Reads exactly n decimal digits at text[*pos].
bool Digits(const std::string& text, size_t* pos, size_t n, unsigned* value) {
  if (*pos + n > text.size()) return false;
  unsigned v = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = text[*pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  *pos += n;
  *value = v;
  return true;
}

bool Literal(const std::string& text, size_t* pos, char c) {
  if (*pos >= text.size() || text[*pos] != c) return false;
  ++*pos;
  return true;
}

}  // namespace

std::optional<uint64_t> ParseUtcTime(const std::string& text) {
  size_t pos = 0;
  unsigned year, month, day, hour, minute, second;
  if (!Digits(text, &pos, 4, &year) || !Literal(text, &pos, '-') ||
      !Digits(text, &pos, 2, &month) || !Literal(text, &pos, '-') || !Digits(text, &pos, 2, &day) ||
      !Literal(text, &pos, 'T') || !Digits(text, &pos, 2, &hour) || !Literal(text, &pos, ':') ||
      !Digits(text, &pos, 2, &minute) || !Literal(text, &pos, ':') ||
      !Digits(text, &pos, 2, &second)) {
    return std::nullopt;
  }
  uint64_t fraction = 0;  // in 100 ns ticks
  if (Literal(text, &pos, '.')) {
    size_t digits = 0;
    uint64_t scale = kTicksPerSecond;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (++digits > 7) return std::nullopt;
      scale /= 10;
      fraction += static_cast<uint64_t>(text[pos] - '0') * scale;
      ++pos;
    }
    if (digits == 0) return std::nullopt;
  }
  if (!Literal(text, &pos, 'Z') || pos != text.size()) return std::nullopt;
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  const int64_t days = DaysFromCivil(year, month, day) - DaysFromCivil(1601, 1, 1);
  const int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  return static_cast<uint64_t>(seconds) * kTicksPerSecond + fraction;
}

std::optional<std::string> FormatUtcTime(uint64_t file_time) {
  const uint64_t seconds = file_time / kTicksPerSecond;
  const uint64_t fraction = file_time % kTicksPerSecond;
  const int64_t days = static_cast<int64_t>(seconds / kSecondsPerDay) + DaysFromCivil(1601, 1, 1);
  const uint64_t in_day = seconds % kSecondsPerDay;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, &y, &m, &d);
  if (y > 9999) return std::nullopt;
  char text[40];
  const unsigned hh = static_cast<unsigned>(in_day / 3600);
  const unsigned mm = static_cast<unsigned>(in_day / 60 % 60);
  const unsigned ss = static_cast<unsigned>(in_day % 60);
  if (fraction == 0) {
    snprintf(text, sizeof(text), "%04d-%02u-%02uT%02u:%02u:%02uZ", static_cast<int>(y), m, d, hh,
             mm, ss);
  } else {
    snprintf(text, sizeof(text), "%04d-%02u-%02uT%02u:%02u:%02u.%07uZ", static_cast<int>(y), m, d,
             hh, mm, ss, static_cast<unsigned>(fraction));
  }
  return std::string(text);
}

std::optional<uint64_t> FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds) {
  // Whole seconds below the last FILETIME, so the fraction cannot carry past it.
  constexpr int64_t kLastSeconds =
      static_cast<int64_t>(kLastFileTime / kTicksPerSecond) - kUnixEpochInFileTimeSeconds;
  if (seconds < -kUnixEpochInFileTimeSeconds || seconds >= kLastSeconds) return std::nullopt;
  if (nanoseconds > 999999999) return std::nullopt;
  const uint64_t since_1601 = static_cast<uint64_t>(seconds + kUnixEpochInFileTimeSeconds);
  return since_1601 * kTicksPerSecond + nanoseconds / 100;
}

}  // namespace kivlog
