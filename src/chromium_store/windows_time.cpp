#include "chromium_store/windows_time.hpp"

#include <cstdio>

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

namespace {

// Microseconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t windows_to_unix_us = 11'644'473'600'000'000;
// JavaScript time values lie within ±8.64e15 ms of 1970, so ±8.64e18 µs.
constexpr std::int64_t max_unix_us = 8'640'000'000'000'000'000;
constexpr std::int64_t us_per_ms = 1000;

}  // namespace

std::string windows_time_json(std::uint64_t microseconds) {
    if (microseconds > static_cast<std::uint64_t>(windows_to_unix_us + max_unix_us)) return "null";
    const std::int64_t unix_us = static_cast<std::int64_t>(microseconds) - windows_to_unix_us;
    if (unix_us < -max_unix_us) return "null";
    // Floor division, so that a time before 1970 keeps a positive sub-millisecond part.
    std::int64_t ms = unix_us / us_per_ms;
    std::int64_t sub = unix_us % us_per_ms;
    if (sub < 0) {
        sub += us_per_ms;
        --ms;
    }
    auto text = js_iso_date(static_cast<double>(ms));
    if (!text) return "null";
    if (sub != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%03d", static_cast<int>(sub));
        text->pop_back();  // the 'Z'
        *text += digits;
        *text += 'Z';
    }
    std::string out;
    append_json_ascii(out, *text);
    return out;
}

}  // namespace tarnwick::chromium
