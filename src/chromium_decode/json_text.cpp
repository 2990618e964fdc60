#include "chromium_decode/json_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tarnwick::chromium {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// The writers below append a string a stretch at a time: each stretch of at
// most `stretch_units` input code units gets room for its worst case at once
// (every unit a six-byte \uXXXX escape), is written through a pointer, and the
// string is cut back to what was written. The stretch bounds how much room is
// asked for beyond the text, whatever the length of the string.
constexpr std::size_t stretch_units = 4096;
// The most bytes of text one input code unit can become: \u001f, or a lone
// surrogate's \udXXX. A surrogate pair (two units) becomes four bytes, and
// a code point of two to four UTF-8 bytes is copied as it is.
constexpr std::size_t max_text_per_unit = 6;

// Appends at most `room` bytes to `out`: `write` gets where to write and
// gives back the end of what it wrote.
template <class Write>
void append_through(std::string& out, std::size_t room, Write write) {
    const std::size_t at = out.size();
#if defined(__cpp_lib_string_resize_and_overwrite)
    // No zero fill of the room that the text then overwrites.
    out.resize_and_overwrite(at + room, [&](char* p, std::size_t) {
        return static_cast<std::size_t>(write(p + at) - p);
    });
#else
    out.resize(at + room);
    char* const p = out.data();
    out.resize(static_cast<std::size_t>(write(p + at) - p));
#endif
}

// Eight bytes as one little-endian word, the first byte lowest.
std::uint64_t load_word(const std::uint8_t* p) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
    return w;
}

constexpr std::uint64_t every_byte = 0x0101'0101'0101'0101;
constexpr std::uint64_t high_bits = 0x8080'8080'8080'8080;

// The high bit of each byte of `w` that is zero. A borrow can also flag a
// byte above a zero byte, never one below the lowest: the lowest flag is exact.
constexpr std::uint64_t zero_bytes(std::uint64_t w) { return (w - every_byte) & ~w & high_bits; }

// The high bit of each byte of `w` that a JSON string cannot hold as it is:
// controls below 0x20, the quote, the backslash, and bytes from 0x80 on
// (not ASCII: the caller decides). Only the lowest flag is exact (see above).
constexpr std::uint64_t not_plain_bytes(std::uint64_t w) {
    return (w & high_bits) | ((w - every_byte * 0x20) & ~w & high_bits) | zero_bytes(w ^ (every_byte * '"')) |
           zero_bytes(w ^ (every_byte * '\\'));
}

// ASCII that a JSON string holds as it is.
constexpr bool is_plain_ascii(std::uint32_t c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// How many bytes from `p` on are plain ASCII, eight at a time.
std::size_t plain_ascii_run(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        if (const std::uint64_t flags = not_plain_bytes(load_word(p + i)); flags != 0) {
            return i + static_cast<std::size_t>(std::countr_zero(flags)) / 8;
        }
    }
    while (i < n && is_plain_ascii(p[i])) ++i;
    return i;
}

char* write_escape_u(char* d, std::uint32_t unit) {
    *d++ = '\\';
    *d++ = 'u';
    for (int shift = 12; shift >= 0; shift -= 4) *d++ = hex_digits[(unit >> shift) & 0xF];
    return d;
}

// The two-character escapes of ASCII characters, by character (zero: none).
// They are the escapes Python's json module writes, so texts compare equal
// byte for byte; the other controls become \u00XX.
constexpr auto short_escapes = [] {
    std::array<char, 0x80> letters{};
    letters['"'] = '"';
    letters['\\'] = '\\';
    letters['\n'] = 'n';
    letters['\r'] = 'r';
    letters['\t'] = 't';
    letters['\b'] = 'b';
    letters['\f'] = 'f';
    return letters;
}();

// An ASCII character that is not plain.
char* write_ascii_escape(char* d, std::uint32_t c) {
    if (const char letter = short_escapes[c]; letter != 0) {
        d[0] = '\\';
        d[1] = letter;
        return d + 2;
    }
    return write_escape_u(d, c);
}

// A code point from 0x80 on, outside the surrogates, as UTF-8.
char* write_utf8(char* d, std::uint32_t cp) {
    if (cp < 0x800) {
        *d++ = static_cast<char>(0xC0 | (cp >> 6));
    } else if (cp < 0x10000) {
        *d++ = static_cast<char>(0xE0 | (cp >> 12));
        *d++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    } else {
        *d++ = static_cast<char>(0xF0 | (cp >> 18));
        *d++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *d++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    }
    *d++ = static_cast<char>(0x80 | (cp & 0x3F));
    return d;
}

constexpr bool is_high_surrogate(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool is_low_surrogate(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
constexpr bool is_surrogate(std::uint32_t u) { return u >= 0xD800 && u <= 0xDFFF; }

// Latin-1 bytes [i, end) of `s`: plain ASCII runs copied whole, every other
// byte its escape or its two UTF-8 bytes.
char* write_latin1(char* d, const std::uint8_t* s, std::size_t i, std::size_t end) {
    while (i < end) {
        const std::size_t run = plain_ascii_run(s + i, end - i);
        std::memcpy(d, s + i, run);
        d += run;
        i += run;
        for (; i < end && !is_plain_ascii(s[i]); ++i) {
            const std::uint32_t b = s[i];
            d = b < 0x80 ? write_ascii_escape(d, b) : write_utf8(d, b);
        }
    }
    return d;
}

// A UTF-16 code unit from its two bytes.
template <bool BigEndian>
std::uint32_t unit_at(const std::uint8_t* s, std::size_t i) {
    const std::uint32_t a = s[2 * i];
    const std::uint32_t b = s[2 * i + 1];
    return BigEndian ? (a << 8) | b : (b << 8) | a;
}

// Four UTF-16 code units (eight bytes) that are all plain ASCII, as their four
// characters; zero when any is not. In the word, the first unit is lowest.
template <bool BigEndian>
std::uint32_t four_plain_units(std::uint64_t w) {
    // Each unit's significant byte down to the low byte of its 16 bits.
    if constexpr (BigEndian) w = ((w >> 8) & 0x00FF'00FF'00FF'00FF) | ((w & 0x00FF'00FF'00FF'00FF) << 8);
    // A unit below 0x80 has nothing in its top nine bits.
    if ((w & 0xFF80'FF80'FF80'FF80) != 0) return 0;
    // The zero high bytes made plain (0x20) for the byte test.
    if (not_plain_bytes(w | 0x2000'2000'2000'2000) != 0) return 0;
    w = (w | (w >> 8)) & 0x0000'FFFF'0000'FFFF;
    return static_cast<std::uint32_t>(w | (w >> 16));
}

// Code units [i, end) of `s` (`units` in all): four plain ASCII units at a
// time where they are, every other unit or surrogate pair on its own. A pair
// that starts at end - 1 is read whole; gives back the unit after the last
// one read.
template <bool BigEndian>
char* write_utf16(char* d, const std::uint8_t* s, std::size_t& i, std::size_t end, std::size_t units) {
    while (i < end) {
        for (; i + 4 <= end; i += 4) {
            const std::uint32_t chars = four_plain_units<BigEndian>(load_word(s + 2 * i));
            if (chars == 0) break;
            const std::uint32_t le = std::endian::native == std::endian::big ? std::byteswap(chars) : chars;
            std::memcpy(d, &le, 4);
            d += 4;
        }
        // Units one at a time up to the next word of plain ones.
        const std::size_t stop = std::min(end, i + 4);
        while (i < stop) {
            const std::uint32_t u = unit_at<BigEndian>(s, i);
            ++i;
            if (is_plain_ascii(u)) {
                *d++ = static_cast<char>(u);
            } else if (u < 0x80) {
                d = write_ascii_escape(d, u);
            } else if (!is_surrogate(u)) {
                d = write_utf8(d, u);
            } else if (is_high_surrogate(u) && i < units && is_low_surrogate(unit_at<BigEndian>(s, i))) {
                d = write_utf8(d, 0x10000 + ((u - 0xD800) << 10) + (unit_at<BigEndian>(s, i) - 0xDC00));
                ++i;
            } else {
                // Half of no pair: its escape keeps the text valid UTF-8.
                d = write_escape_u(d, u);
            }
        }
    }
    return d;
}

// UTF-8 bytes [i, end) of `s` (`n` in all), checked as they are copied: plain
// ASCII runs whole, each other well-formed code point's bytes as they are
// (re-encoding gives the same bytes). A code point that starts before `end`
// is read whole. Null on a form that is not well-formed UTF-8.
char* write_utf8_checked(char* d, const std::uint8_t* s, std::size_t& i, std::size_t end, std::size_t n) {
    while (i < end) {
        const std::size_t run = plain_ascii_run(s + i, end - i);
        std::memcpy(d, s + i, run);
        d += run;
        i += run;
        while (i < end) {
            const std::uint32_t b0 = s[i];
            if (b0 < 0x80) {
                if (is_plain_ascii(b0)) break;
                d = write_ascii_escape(d, b0);
                ++i;
                continue;
            }
            std::uint32_t cp = 0;
            std::size_t len = 0;
            std::uint32_t min = 0;
            if ((b0 & 0xE0) == 0xC0) {
                cp = b0 & 0x1F, len = 2, min = 0x80;
            } else if ((b0 & 0xF0) == 0xE0) {
                cp = b0 & 0x0F, len = 3, min = 0x800;
            } else if ((b0 & 0xF8) == 0xF0) {
                cp = b0 & 0x07, len = 4, min = 0x10000;
            } else {
                return nullptr;  // a continuation byte, or no lead byte at all
            }
            if (len > n - i) return nullptr;
            for (std::size_t k = 1; k < len; ++k) {
                const std::uint32_t b = s[i + k];
                if ((b & 0xC0) != 0x80) return nullptr;
                cp = (cp << 6) | (b & 0x3F);
            }
            // Overlong forms, beyond Unicode, encoded surrogates.
            if (cp < min || cp > 0x10FFFF || is_surrogate(cp)) return nullptr;
            std::memcpy(d, s + i, len);
            d += len;
            i += len;
        }
    }
    return d;
}

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
    for (std::size_t i = 0; i < latin1.size(); i += stretch_units) {
        const std::size_t end = std::min(latin1.size(), i + stretch_units);
        append_through(out, (end - i) * max_text_per_unit,
                       [&](char* d) { return write_latin1(d, latin1.data(), i, end); });
    }
    out += '"';
}

void append_json_utf16(std::string& out, Bytes bytes, bool big_endian) {
    out += '"';
    const std::size_t units = bytes.size() / 2;
    for (std::size_t i = 0; i < units;) {
        const std::size_t end = std::min(units, i + stretch_units);
        append_through(out, (end - i) * max_text_per_unit, [&](char* d) {
            return big_endian ? write_utf16<true>(d, bytes.data(), i, end, units)
                              : write_utf16<false>(d, bytes.data(), i, end, units);
        });
    }
    out += '"';
}

bool append_json_utf8(std::string& out, Bytes utf8) {
    const std::size_t start = out.size();
    out += '"';
    bool well_formed = true;
    for (std::size_t i = 0; i < utf8.size() && well_formed;) {
        const std::size_t end = std::min(utf8.size(), i + stretch_units);
        append_through(out, (end - i) * max_text_per_unit, [&](char* d) {
            char* const written = write_utf8_checked(d, utf8.data(), i, end, utf8.size());
            well_formed = written != nullptr;
            return well_formed ? written : d;
        });
    }
    if (!well_formed) {
        out.resize(start);
        return false;
    }
    out += '"';
    return true;
}

void append_wtf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
        return;
    }
    char bytes[4];
    out.append(bytes, write_utf8(bytes, code_point));
}

void append_json_ascii(std::string& out, std::string_view ascii) {
    out += '"';
    out += ascii;
    out += '"';
}

void append_json_hex(std::string& out, Bytes bytes) {
    // Exactly two digits a byte, written without a zero fill first.
    append_through(out, 2 * bytes.size() + 2, [&](char* d) {
        *d++ = '"';
        for (const auto b : bytes) {
            *d++ = hex_digits[b >> 4];
            *d++ = hex_digits[b & 0xF];
        }
        *d++ = '"';
        return d;
    });
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

namespace {

// Date.prototype.toISOString's text into `buf`, with its length; zero for an
// invalid date.
constexpr std::size_t iso_date_room = 64;
std::size_t write_iso_date(char (&buf)[iso_date_room], double ms) {
    if (!std::isfinite(ms) || std::fabs(ms) > max_time_ms) return 0;
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
    int n = 0;
    if (date.year >= 0 && date.year <= 9999) {
        n = std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(date.year));
    } else {
        n = std::snprintf(buf, sizeof buf, "%c%06lld", date.year > 0 ? '+' : '-',
                          static_cast<long long>(date.year < 0 ? -date.year : date.year));
    }
    n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), "-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                       date.month, date.day, static_cast<long long>(hh), static_cast<long long>(mm),
                       static_cast<long long>(ss), static_cast<long long>(mss));
    return static_cast<std::size_t>(n);
}

}  // namespace

std::optional<std::string> js_iso_date(double ms) {
    char buf[iso_date_room];
    const std::size_t n = write_iso_date(buf, ms);
    if (n == 0) return std::nullopt;
    return std::string(buf, n);
}

void append_json_date(std::string& out, double ms) {
    out += R"({"$date":)";
    char buf[iso_date_room];
    // Written from the buffer: no string made for each date.
    if (const std::size_t n = write_iso_date(buf, ms); n != 0) {
        append_json_ascii(out, std::string_view(buf, n));
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
