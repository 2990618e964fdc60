// Chromium's base::Time as stored on disk: microseconds since 1601-01-01 UTC
// (the Windows epoch), written as UTC ISO 8601.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick::chromium {

// The time as a JSON value: "2023-05-06T00:00:00.000Z" (with three more
// digits when it has microseconds), or null beyond the JavaScript date range.
[[nodiscard]] std::string windows_time_json(std::uint64_t microseconds);

}  // namespace tarnwick::chromium
