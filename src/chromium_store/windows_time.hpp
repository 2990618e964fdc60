// Chromium's base::Time as stored in its metadata: microseconds since
// 1601-01-01 UTC (the Windows epoch), as a signed 64-bit number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick::chromium {

// Microseconds from 1601-01-01 to 1970-01-01.
inline constexpr std::int64_t windows_to_unix_us = 11'644'473'600'000'000;

// The time as UTC ISO 8601 in the form of JavaScript's toISOString, with
// three more digits when it has sub-millisecond microseconds
// ("2026-12-08T11:44:28.892887Z"); nothing for a time beyond JavaScript's
// range of dates.
[[nodiscard]] std::optional<std::string> windows_us_iso(std::int64_t us);

// The same time as JSON: its ISO text as a string, or null outside the range
// of JavaScript dates.
[[nodiscard]] std::string windows_time_json(std::uint64_t microseconds);

}  // namespace tarnwick::chromium
