#include "chromium_store/key_precheck.hpp"

#include <algorithm>
#include <bit>
#include <charconv>

#include "chromium_decode/byte_reader.hpp"
#include "chromium_decode/json_text.hpp"
#include "chromium_store/byte_text.hpp"

namespace tarnwick::chromium {

namespace {

// The format bytes of Local Storage's script keys and values.
constexpr std::uint8_t local_storage_utf16 = 0x00;
constexpr std::uint8_t local_storage_latin1 = 0x01;
constexpr char16_t latin1_end = 0x100;
// The type bytes of IndexedDB's encoded keys that a plain JSON string or
// number comes from; a number's double follows in 8 bytes.
constexpr std::uint8_t idb_key_string = 0x01;
constexpr std::uint8_t idb_key_number = 0x03;
constexpr std::size_t idb_number_size = 8;

constexpr std::string_view null_text = "null";
constexpr char16_t high_surrogate_first = 0xD800;
constexpr char16_t low_surrogate_first = 0xDC00;
constexpr char16_t surrogate_end = 0xE000;
constexpr char32_t supplementary_first = 0x10000;
constexpr unsigned surrogate_bits = 10;

bool is_high(char16_t u) { return u >= high_surrogate_first && u < low_surrogate_first; }
bool is_low(char16_t u) { return u >= low_surrogate_first && u < surrogate_end; }

// One code point of well-formed UTF-8 at `i`, which moves past it.
char32_t next_code_point(std::string_view utf8, std::size_t& i) {
    const auto lead = static_cast<std::uint8_t>(utf8[i++]);
    const int trail = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t cp = trail == 0 ? lead : lead & (0x3F >> trail);
    for (int n = 0; n < trail; ++n) cp = (cp << 6) | (static_cast<std::uint8_t>(utf8[i++]) & 0x3F);
    return cp;
}

void append_units(std::u16string& out, char32_t cp) {
    if (cp < supplementary_first) {
        out += static_cast<char16_t>(cp);
        return;
    }
    cp -= supplementary_first;
    out += static_cast<char16_t>(high_surrogate_first + (cp >> surrogate_bits));
    out += static_cast<char16_t>(low_surrogate_first + (cp & ((1U << surrogate_bits) - 1)));
}

std::optional<char16_t> hex_unit(std::string_view four) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(four.data(), four.data() + four.size(), value, 16);
    if (error != std::errc{} || end != four.data() + four.size()) return std::nullopt;
    return static_cast<char16_t>(value);
}

void append_unit_bytes(std::vector<std::uint8_t>& out, char16_t unit, bool big_endian) {
    const auto high = static_cast<std::uint8_t>(unit >> 8);
    const auto low = static_cast<std::uint8_t>(unit & 0xFF);
    out.push_back(big_endian ? high : low);
    out.push_back(big_endian ? low : high);
}

// The code units as UTF-8, or nothing when one of them is a lone surrogate
// (no well-formed UTF-8 spells it).
std::optional<std::vector<std::uint8_t>> utf8_of(const std::u16string& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t cp = units[i];
        if (is_high(units[i]) && i + 1 < units.size() && is_low(units[i + 1])) {
            cp = supplementary_first + ((cp - high_surrogate_first) << surrogate_bits) + (units[i + 1] - low_surrogate_first);
            ++i;
        } else if (is_high(units[i]) || is_low(units[i])) {
            return std::nullopt;
        }
        append_wtf8(out, cp);
    }
    return std::vector<std::uint8_t>(out.begin(), out.end());
}

// The double that append_json_number writes as exactly this text, when one does.
std::optional<double> number_of(std::string_view text) {
    double x = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), x);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    std::string written;
    append_json_number(written, x);
    if (written != text) return std::nullopt;
    return x;
}

bool equals_one_of(Bytes bytes, const std::vector<std::vector<std::uint8_t>>& forms) {
    return std::ranges::any_of(forms, [&](const std::vector<std::uint8_t>& form) { return std::ranges::equal(bytes, form); });
}

}  // namespace

std::optional<std::u16string> json_string_units(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"' || !is_utf8(as_bytes(text))) return std::nullopt;
    const std::string_view body = text.substr(1, text.size() - 2);
    std::u16string units;
    for (std::size_t i = 0; i < body.size();) {
        const char c = body[i];
        if (c == '"') return std::nullopt;
        if (c != '\\') {
            append_units(units, next_code_point(body, i));
            continue;
        }
        if (++i == body.size()) return std::nullopt;
        const char escaped = body[i++];
        switch (escaped) {
            case '"': units += u'"'; break;
            case '\\': units += u'\\'; break;
            case '/': units += u'/'; break;
            case 'b': units += u'\b'; break;
            case 'f': units += u'\f'; break;
            case 'n': units += u'\n'; break;
            case 'r': units += u'\r'; break;
            case 't': units += u'\t'; break;
            case 'u': {
                if (body.size() - i < 4) return std::nullopt;
                const auto unit = hex_unit(body.substr(i, 4));
                if (!unit) return std::nullopt;
                units += *unit;
                i += 4;
                break;
            }
            default: return std::nullopt;
        }
    }
    return units;
}

KeyPrecheck::KeyPrecheck(const RowFilter& filter)
    : data_only_(!filter.all_records), keyed_(!filter.key_texts.empty()), origin_(filter.origin) {
    auto any_kind = [this] { any_local_storage_ = any_session_storage_ = any_indexeddb_ = true; };
    for (const std::string& text : filter.key_texts) {
        if (text == null_text) {
            any_kind();
        } else if (text.starts_with('"')) {
            const auto units = json_string_units(text);
            if (!units) {
                any_kind();
                continue;
            }
            std::vector<std::uint8_t> utf16le{local_storage_utf16};
            std::vector<std::uint8_t> utf16be;
            for (const char16_t unit : *units) {
                append_unit_bytes(utf16le, unit, false);
                append_unit_bytes(utf16be, unit, true);
            }
            local_storage_.push_back(std::move(utf16le));
            if (std::ranges::all_of(*units, [](char16_t u) { return u < latin1_end; })) {
                std::vector<std::uint8_t> latin1{local_storage_latin1};
                for (const char16_t unit : *units) latin1.push_back(static_cast<std::uint8_t>(unit));
                local_storage_.push_back(std::move(latin1));
            }
            if (units->empty()) local_storage_.emplace_back();  // no bytes at all read as ""
            if (auto utf8 = utf8_of(*units)) session_storage_.push_back(std::move(*utf8));
            indexeddb_strings_.push_back(std::move(utf16be));
        } else if (text.starts_with('[') || text.starts_with('{')) {
            any_indexeddb_ = true;
        } else if (const auto number = number_of(text)) {
            indexeddb_numbers_.push_back(std::bit_cast<std::uint64_t>(*number));
        }
        // Any other text is no key that the stores' decoders write.
    }
}

bool KeyPrecheck::local_storage_key(Bytes script_key) const {
    return any_local_storage_key() || equals_one_of(script_key, local_storage_);
}

bool KeyPrecheck::session_storage_key(Bytes script_key) const {
    return any_session_storage_key() || equals_one_of(script_key, session_storage_);
}

bool KeyPrecheck::indexeddb_key(Bytes encoded_key) const {
    if (any_indexeddb_key()) return true;
    if (encoded_key.empty()) return false;
    ByteReader cur(encoded_key, 1);
    if (encoded_key[0] == idb_key_number) {
        if (cur.remaining() != idb_number_size) return false;
        const std::uint64_t bits = read_fixed64(encoded_key, 1);
        return std::ranges::find(indexeddb_numbers_, bits) != indexeddb_numbers_.end();
    }
    if (encoded_key[0] != idb_key_string) return false;
    const auto count = cur.varint();
    if (!count || *count != cur.remaining() / 2) return false;
    return equals_one_of(encoded_key.subspan(cur.pos()), indexeddb_strings_);
}

bool KeyPrecheck::storage_key_origin(Bytes storage_key) const {
    return !origin_ || as_text(storage_key).find(*origin_) != std::string_view::npos;
}

}  // namespace tarnwick::chromium
