#include "chromium_store/windows_time.hpp"

#include <cstdio>
#include <limits>

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

namespace {

// JavaScript dates lie within 8.64e15 ms of the Unix epoch.
constexpr std::int64_t max_js_time_us = 8'640'000'000'000'000'000;

}  // namespace

std::optional<std::string> windows_us_iso(std::int64_t us) {
    // Below this the subtraction would overflow; such a time is far outside
    // the range anyway.
    if (us < std::numeric_limits<std::int64_t>::min() + windows_to_unix_us) return std::nullopt;
    const std::int64_t unix_us = us - windows_to_unix_us;
    if (unix_us > max_js_time_us || unix_us < -max_js_time_us) return std::nullopt;
    std::int64_t ms = unix_us / 1000;
    std::int64_t sub = unix_us % 1000;
    if (sub < 0) {  // floor division: the microseconds count forward from the millisecond
        sub += 1000;
        --ms;
    }
    std::optional<std::string> text = js_iso_date(static_cast<double>(ms));
    if (!text || sub == 0) return text;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03lldZ", static_cast<long long>(sub));
    text->pop_back();  // the 'Z'
    *text += digits;
    return text;
}

std::string windows_time_json(std::uint64_t microseconds) {
    if (microseconds > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return "null";
    const std::optional<std::string> iso = windows_us_iso(static_cast<std::int64_t>(microseconds));
    if (!iso) return "null";
    std::string out;
    append_json_ascii(out, *iso);
    return out;
}

}  // namespace tarnwick::chromium
