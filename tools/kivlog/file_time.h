// FILETIME values (100 ns intervals since 1601-01-01 00:00:00 UTC) and the
// ISO-8601 UTC form the manifest and the listing use for them.
//
// Pure: no clock, no time zone, no platform calls.
#ifndef KIVLOG_FILE_TIME_H_
#define KIVLOG_FILE_TIME_H_

#include <stdint.h>

#include <optional>
#include <string>

namespace kivlog {

// Windows takes a FILETIME as a signed 64-bit count; the top bit set is not
// a time it accepts.
inline constexpr uint64_t kLastFileTime = 0x7FFFFFFFFFFFFFFFull;

// Seconds between 1601-01-01 and the Unix epoch, 1970-01-01.
inline constexpr int64_t kUnixEpochInFileTimeSeconds = 11644473600;

// "YYYY-MM-DDTHH:MM:SS[.f...f]Z", one to seven fraction digits, years 1601 to
// 9999, UTC only. Nothing when the text is not exactly such a time.
std::optional<uint64_t> ParseUtcTime(const std::string& text);

// The same form, with seven fraction digits only when the time has a fraction.
// Nothing for a time after the year 9999.
std::optional<std::string> FormatUtcTime(uint64_t file_time);

// Unix seconds and nanoseconds to a FILETIME; nothing before 1601 or past
// kLastFileTime.
std::optional<uint64_t> FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds);

}  // namespace kivlog

#endif  // KIVLOG_FILE_TIME_H_
