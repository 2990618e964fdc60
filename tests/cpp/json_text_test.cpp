// The JSON string writers (which copy runs of plain characters eight bytes at
// a time, in stretches with room reserved once) against a plain writer that
// appends one character at a time, the form they had before, on inputs made
// to land every kind of character on every side of those words and stretches.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chromium_decode/json_text.hpp"

using namespace tarnwick;
using namespace tarnwick::chromium;

namespace {

// The reference: one code point at a time, each appended on its own.
namespace per_character {

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

void latin1(std::string& out, Bytes bytes) {
    out += '"';
    for (const auto b : bytes) append_code_point(out, b);
    out += '"';
}

void utf16(std::string& out, Bytes bytes, bool big_endian) {
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

bool utf8(std::string& out, Bytes bytes) {
    const std::size_t start = out.size();
    out += '"';
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n;) {
        const std::uint32_t b0 = bytes[i];
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
            const std::uint32_t b = bytes[i + k];
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

}  // namespace per_character

using ByteString = std::vector<std::uint8_t>;
using Units = std::vector<std::uint16_t>;

std::string test_name(std::string_view family) {
    std::string name;
    for (const char c : family) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

// A plain run long enough to fill two words and more, each byte different so
// that a misplaced copy shows.
constexpr std::string_view plain = "abcdefghijklmnopq";
// The stretch of input units that the writers reserve room for at once.
constexpr std::size_t stretch = 4096;

ByteString bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

ByteString plain_bytes(std::size_t n) {
    ByteString out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(plain[i % plain.size()]));
    return out;
}

ByteString cat(ByteString a, const ByteString& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `piece` at every offset of a plain run of 17 bytes, and after plain runs of
// 0 to 17 bytes up to the end of the input.
void around_words(std::vector<ByteString>& out, const ByteString& piece) {
    for (std::size_t at = 0; at <= plain.size(); ++at) {
        out.push_back(cat(cat(plain_bytes(at), piece), plain_bytes(plain.size() - at)));
        out.push_back(cat(plain_bytes(at), piece));
    }
}

// Sequences the UTF-8 writer takes: every byte below 0x80 and a code point of
// each length, the line and paragraph separators and the ends of Unicode.
std::vector<ByteString> well_formed_pieces() {
    std::vector<ByteString> pieces;
    for (int b = 0; b < 0x80; ++b) pieces.push_back({static_cast<std::uint8_t>(b)});
    for (const std::string_view s : {"\xC2\x80", "\xC3\xA9", "\xDF\xBF", "\xE0\xA0\x80", "\xE2\x80\xA8", "\xE2\x80\xA9",
                                     "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80",
                                     "\xF0\x9F\x94\x91", "\xF4\x8F\xBF\xBF", "\"\\\""}) {
        pieces.push_back(bytes_of(s));
    }
    return pieces;
}

// What the UTF-8 writer refuses: overlong forms, encoded surrogates, beyond
// U+10FFFF, bytes that lead nothing, continuations missing or cut off.
std::vector<ByteString> ill_formed_pieces() {
    std::vector<ByteString> pieces;
    for (const std::string_view s : {"\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xF0\x80\x80\x80",
                                     "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80",
                                     "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF", "\xFE", "\x80", "\xBF",
                                     "\xC3", "\xE2\x80", "\xF0\x9F\x94", "\xC3\x41", "\xE2\x41\x80", "\xF0\x9F\x41\x91", "\x7F\x80"}) {
        pieces.push_back(bytes_of(s));
    }
    return pieces;
}

// Byte strings, each written as Latin-1 and as UTF-8.
struct ByteFamily {
    const char* name;
    std::function<std::vector<ByteString>()> make;
};

const ByteFamily byte_families[] = {
    {"every byte alone",
     [] {
         std::vector<ByteString> out{{}};
         for (int b = 0; b < 256; ++b) out.push_back({static_cast<std::uint8_t>(b)});
         return out;
     }},
    {"every byte around eight-byte words",
     [] {
         std::vector<ByteString> out;
         for (int b = 0; b < 256; ++b) around_words(out, {static_cast<std::uint8_t>(b)});
         return out;
     }},
    {"plain runs of 0 to 17 bytes", [] {
         std::vector<ByteString> out;
         for (std::size_t n = 0; n <= 17; ++n) out.push_back(plain_bytes(n));
         return out;
     }},
    {"well-formed code points around words",
     [] {
         std::vector<ByteString> out;
         for (const auto& piece : well_formed_pieces()) around_words(out, piece);
         return out;
     }},
    {"ill-formed UTF-8 around words",
     [] {
         std::vector<ByteString> out;
         for (const auto& piece : ill_formed_pieces()) around_words(out, piece);
         return out;
     }},
    {"code points across the end of a stretch",
     [] {
         std::vector<ByteString> out;
         for (const auto& piece : well_formed_pieces()) {
             for (std::size_t before = stretch - 4; before <= stretch + 1; ++before) {
                 out.push_back(cat(cat(plain_bytes(before), piece), plain_bytes(20)));
             }
         }
         for (const auto& piece : ill_formed_pieces()) out.push_back(cat(plain_bytes(stretch - 1), piece));
         return out;
     }},
    {"stretches of escapes only", [] {
         // Six bytes of text per byte of input, the most there is room for.
         std::vector<ByteString> out;
         for (const std::size_t n : {stretch - 1, stretch, stretch + 1, 3 * stretch + 5}) {
             out.push_back(ByteString(n, 0x01));
             ByteString mixed;
             for (std::size_t i = 0; i < n; ++i) mixed.push_back(static_cast<std::uint8_t>(i * 37));
             out.push_back(mixed);
         }
         return out;
     }},
};

class JsonBytes : public testing::TestWithParam<ByteFamily> {};

TEST_P(JsonBytes, WriteWhatThePerCharacterWriterWrites) {
    for (const auto& input : GetParam().make()) {
        SCOPED_TRACE(testing::PrintToString(input));
        // Appended to text already there, which a failure must leave as it is.
        const std::string before = "[1,";
        std::string want = before, got = before;
        per_character::latin1(want, input);
        append_json_latin1(got, input);
        ASSERT_EQ(got, want) << "Latin-1";
        want = got = before;
        const bool want_ok = per_character::utf8(want, input);
        const bool got_ok = append_json_utf8(got, input);
        ASSERT_EQ(got_ok, want_ok) << "UTF-8";
        ASSERT_EQ(got, want) << "UTF-8";
    }
}

INSTANTIATE_TEST_SUITE_P(Families, JsonBytes, testing::ValuesIn(byte_families),
                         [](const auto& instance) { return test_name(instance.param.name); });

Units plain_units(std::size_t n) {
    Units out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint16_t>(plain[i % plain.size()]));
    return out;
}

Units cat(Units a, const Units& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Units whose one byte alone would pass for plain ASCII, or for a quote, and
// units around the edges of the ranges the writer tells apart.
std::vector<Units> unit_pieces() {
    std::vector<Units> pieces;
    for (std::uint16_t u = 0; u < 0x80; ++u) pieces.push_back({u});
    for (const std::uint16_t u : {0x80, 0xFF, 0x100, 0x141, 0x4100, 0x2241, 0x4122, 0x5C00, 0x7FF, 0x800, 0x2028,
                                  0x2029, 0xD7FF, 0xE000, 0xFFFD, 0xFFFF}) {
        pieces.push_back({u});
    }
    // Pairs, and surrogates that are half of none.
    for (const Units& s : std::vector<Units>{{0xD83D, 0xDD11}, {0xDBFF, 0xDFFF}, {0xD800, 0xDC00}, {0xD800},
                                             {0xDBFF}, {0xDC00}, {0xDFFF}, {0xDC00, 0xD800}, {0xD800, 0xD800, 0xDC00},
                                             {0xD800, 0x41}, {0xD800, 0xFFFF}}) {
        pieces.push_back(s);
    }
    return pieces;
}

struct UnitFamily {
    const char* name;
    std::function<std::vector<Units>()> make;
};

const UnitFamily unit_families[] = {
    {"every unit alone",
     [] {
         std::vector<Units> out{{}};
         for (std::uint32_t u = 0; u < 0x10000; ++u) out.push_back({static_cast<std::uint16_t>(u)});
         return out;
     }},
    {"units and surrogates around words",
     [] {
         std::vector<Units> out;
         for (const auto& piece : unit_pieces()) {
             for (std::size_t at = 0; at <= plain.size(); ++at) {
                 out.push_back(cat(cat(plain_units(at), piece), plain_units(plain.size() - at)));
                 out.push_back(cat(plain_units(at), piece));
             }
         }
         return out;
     }},
    {"surrogates across the end of a stretch",
     [] {
         std::vector<Units> out;
         for (const auto& piece : unit_pieces()) {
             for (std::size_t before = stretch - 3; before <= stretch + 1; ++before) {
                 out.push_back(cat(cat(plain_units(before), piece), plain_units(9)));
                 out.push_back(cat(plain_units(before), piece));
             }
         }
         return out;
     }},
    {"stretches of escapes only", [] {
         std::vector<Units> out;
         for (const std::size_t n : {stretch - 1, stretch, stretch + 1, 2 * stretch + 3}) {
             out.push_back(Units(n, 0x1F));
             out.push_back(Units(n, 0xDC00));
         }
         return out;
     }},
};

ByteString utf16_bytes(const Units& units, bool big_endian) {
    ByteString out;
    for (const auto u : units) {
        out.push_back(static_cast<std::uint8_t>(big_endian ? u >> 8 : u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(big_endian ? u & 0xFF : u >> 8));
    }
    return out;
}

class JsonUtf16 : public testing::TestWithParam<UnitFamily> {};

TEST_P(JsonUtf16, WriteWhatThePerCharacterWriterWrites) {
    for (const auto& units : GetParam().make()) {
        SCOPED_TRACE(testing::PrintToString(units));
        for (const bool big_endian : {false, true}) {
            const auto input = utf16_bytes(units, big_endian);
            std::string want = "[", got = "[";
            per_character::utf16(want, input, big_endian);
            append_json_utf16(got, input, big_endian);
            ASSERT_EQ(got, want) << (big_endian ? "UTF-16BE" : "UTF-16LE");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Families, JsonUtf16, testing::ValuesIn(unit_families),
                         [](const auto& instance) { return test_name(instance.param.name); });

}  // namespace
