#include "chromium_decode/json_text.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace tarnwick::chromium {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

void append_escape_u(std::string& out, std::uint32_t unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += hex_digits[(unit >> shift) & 0xF];
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// One code point of a string; the escapes are the ones Python's json module
// writes, so texts compare equal byte for byte.
void append_code_point(std::string& out, std::uint32_t cp) {
    switch (cp) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        default: break;
    }
    if (cp < 0x20 || (cp >= 0xD800 && cp <= 0xDFFF)) {
        append_escape_u(out, cp);
    } else {
        append_utf8(out, cp);
    }
}

constexpr bool is_high_surrogate(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool is_low_surrogate(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// JavaScript time values lie within ±8.64e15 ms of the Unix epoch.
constexpr double max_time_ms = 8.64e15;
constexpr std::int64_t ms_per_day = 86'400'000;

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

// The proleptic Gregorian date of a day count from 1970-01-01.
CivilDate civil_from_days(std::int64_t days) {
    const std::int64_t z = days + 719'468;
    const std::int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
    const std::int64_t doe = z - era * 146'097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

void append_json_latin1(std::string& out, Bytes latin1) {
    out += '"';
    for (const auto b : latin1) append_code_point(out, b);
    out += '"';
}

void append_json_utf16(std::string& out, Bytes bytes, bool big_endian) {
    out += '"';
    const std::size_t units = bytes.size() / 2;
    auto unit_at = [&](std::size_t i) -> std::uint32_t {
        const std::uint32_t a = bytes[2 * i];
        const std::uint32_t b = bytes[2 * i + 1];
        return big_endian ? (a << 8) | b : (b << 8) | a;
    };
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t u = unit_at(i);
        if (is_high_surrogate(u) && i + 1 < units && is_low_surrogate(unit_at(i + 1))) {
            append_code_point(out, 0x10000 + ((u - 0xD800) << 10) + (unit_at(i + 1) - 0xDC00));
            ++i;
        } else {
            append_code_point(out, u);
        }
    }
    out += '"';
}

bool append_json_utf8(std::string& out, Bytes utf8) {
    const std::size_t start = out.size();
    out += '"';
    const std::size_t n = utf8.size();
    for (std::size_t i = 0; i < n;) {
        const std::uint32_t b0 = utf8[i];
        std::uint32_t cp = 0;
        std::size_t len = 0;
        std::uint32_t min = 0;
        if (b0 < 0x80) {
            cp = b0, len = 1;
        } else if ((b0 & 0xE0) == 0xC0) {
            cp = b0 & 0x1F, len = 2, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            cp = b0 & 0x0F, len = 3, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            cp = b0 & 0x07, len = 4, min = 0x10000;
        } else {
            out.resize(start);
            return false;
        }
        if (len > n - i) {
            out.resize(start);
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            const std::uint32_t b = utf8[i + k];
            if ((b & 0xC0) != 0x80) {
                out.resize(start);
                return false;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.resize(start);
            return false;
        }
        append_code_point(out, cp);
        i += len;
    }
    out += '"';
    return true;
}

void append_json_ascii(std::string& out, std::string_view ascii) {
    out += '"';
    out += ascii;
    out += '"';
}

void append_json_hex(std::string& out, Bytes bytes) {
    out += '"';
    const std::size_t at = out.size();
    out.resize(at + 2 * bytes.size());
    char* p = out.data() + at;
    for (const auto b : bytes) {
        *p++ = hex_digits[b >> 4];
        *p++ = hex_digits[b & 0xF];
    }
    out += '"';
}

void append_double_text(std::string& out, double x) {
    // The shortest digits that read back as x, laid out the way Python's repr
    // lays them out: positional for exponents -4 to 15, scientific otherwise.
    char buf[64];
    const auto sci = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const std::string_view text(buf, static_cast<std::size_t>(sci.ptr - buf));
    const auto e = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    if (exponent < -4 || exponent >= 16) {
        out += text;
        return;
    }
    const auto fixed = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
    const std::string_view positional(buf, static_cast<std::size_t>(fixed.ptr - buf));
    out += positional;
    if (positional.find('.') == std::string_view::npos) out += ".0";
}

void append_json_number(std::string& out, double x) {
    // Integers a double holds exactly.
    constexpr double exact_int = 9007199254740992.0;  // 2^53
    if (std::isnan(x)) {
        out += R"({"$number":"NaN"})";
    } else if (std::isinf(x)) {
        out += x > 0 ? R"({"$number":"Infinity"})" : R"({"$number":"-Infinity"})";
    } else if (x == 0 && std::signbit(x)) {
        out += R"({"$number":"-0"})";
    } else if (std::trunc(x) == x && std::fabs(x) <= exact_int) {
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(x));
        out.append(buf, r.ptr);
    } else {
        append_double_text(out, x);
    }
}

std::optional<std::string> js_iso_date(double ms) {
    if (!std::isfinite(ms) || std::fabs(ms) > max_time_ms) return std::nullopt;
    const auto t = static_cast<std::int64_t>(ms);  // time values are integral; truncate like TimeClip
    const std::int64_t days = floor_div(t, ms_per_day);
    std::int64_t rem = t - days * ms_per_day;
    const CivilDate date = civil_from_days(days);
    const auto hh = rem / 3'600'000;
    rem %= 3'600'000;
    const auto mm = rem / 60'000;
    rem %= 60'000;
    const auto ss = rem / 1000;
    const auto mss = rem % 1000;
    char buf[64];
    int n = 0;
    if (date.year >= 0 && date.year <= 9999) {
        n = std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(date.year));
    } else {
        n = std::snprintf(buf, sizeof buf, "%c%06lld", date.year > 0 ? '+' : '-',
                          static_cast<long long>(date.year < 0 ? -date.year : date.year));
    }
    std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), "-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                  date.month, date.day, static_cast<long long>(hh), static_cast<long long>(mm),
                  static_cast<long long>(ss), static_cast<long long>(mss));
    return std::string(buf);
}

void append_json_date(std::string& out, double ms) {
    out += R"({"$date":)";
    if (const auto text = js_iso_date(ms)) {
        append_json_ascii(out, *text);
    } else {
        out += "null";
    }
    out += '}';
}

void append_bigint_text(std::string& out, Bytes magnitude_le, bool negative) {
    std::size_t top = magnitude_le.size();
    while (top > 0 && magnitude_le[top - 1] == 0) --top;
    if (top == 0) {
        out += '0';  // -0n is 0n
        return;
    }
    if (negative) out += '-';
    const std::size_t bits = (top - 1) * 8 + static_cast<std::size_t>(std::bit_width(magnitude_le[top - 1]));
    if (bits > bigint_decimal_bits) {
        out += "0x";
        if ((magnitude_le[top - 1] >> 4) != 0) out += hex_digits[magnitude_le[top - 1] >> 4];
        out += hex_digits[magnitude_le[top - 1] & 0xF];
        for (std::size_t i = top - 1; i-- > 0;) {
            out += hex_digits[magnitude_le[i] >> 4];
            out += hex_digits[magnitude_le[i] & 0xF];
        }
        return;
    }
    // Repeated division by 10^9 over 32-bit limbs, most significant first.
    std::vector<std::uint32_t> limbs((top + 3) / 4, 0);
    for (std::size_t i = 0; i < top; ++i) {
        limbs[limbs.size() - 1 - i / 4] |= static_cast<std::uint32_t>(magnitude_le[i]) << (8 * (i % 4));
    }
    std::vector<std::uint32_t> groups;  // base 10^9, least significant first
    std::size_t first = 0;
    while (first < limbs.size()) {
        std::uint64_t rem = 0;
        for (std::size_t i = first; i < limbs.size(); ++i) {
            const std::uint64_t cur = (rem << 32) | limbs[i];
            limbs[i] = static_cast<std::uint32_t>(cur / 1'000'000'000);
            rem = cur % 1'000'000'000;
        }
        groups.push_back(static_cast<std::uint32_t>(rem));
        while (first < limbs.size() && limbs[first] == 0) ++first;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u", groups.back());
    out += buf;
    for (std::size_t i = groups.size() - 1; i-- > 0;) {
        std::snprintf(buf, sizeof buf, "%09u", groups[i]);
        out += buf;
    }
}

}  // namespace tarnwick::chromium
