#include "chromium_store/row_text.hpp"

#include <array>

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

namespace {

constexpr std::array<std::string_view, 3> STORE_KIND_NAMES = {"localstorage", "sessionstorage", "indexeddb"};
constexpr std::array<std::string_view, 3> STATE_WORDS = {"deleted", "live", "unknown"};
constexpr std::array<std::string_view, 6> VERSION_STATUS_WORDS = {
    "", "current", "superseded", "last_before_deletion", "deleted", "unknown"};

// The lead byte of a lone surrogate in its three-byte form (U+D800..U+DFFF).
constexpr unsigned char SURROGATE_LEAD = 0xED;
constexpr unsigned char SURROGATE_SECOND_MIN = 0xA0;
// The tagged form marks a value JSON cannot hold by a first member named "$tag".
constexpr char TAG_MARK = '$';

Bytes bytes_of(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The length of the UTF-8 sequence at `i`, or 0 when none starts there.
std::size_t utf8_length(std::string_view text, std::size_t i) noexcept {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) return 1;
    std::size_t n;
    unsigned char low = 0x80, high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0) low = 0xA0;
        if (b0 == SURROGATE_LEAD) high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    if (b1 < low || b1 > high) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if (b < 0x80 || b > 0xBF) return 0;
    }
    return n;
}

bool is_lone_surrogate(std::string_view text, std::size_t i) noexcept {
    if (i + 3 > text.size() || static_cast<unsigned char>(text[i]) != SURROGATE_LEAD) return false;
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    const auto b2 = static_cast<unsigned char>(text[i + 2]);
    return b1 >= SURROGATE_SECOND_MIN && b1 <= 0xBF && b2 >= 0x80 && b2 <= 0xBF;
}

void append_hex4(std::string& out, unsigned value) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += DIGITS[(value >> shift) & 0xF];
}

}  // namespace

std::string_view store_kind_name(StoreKind kind) noexcept { return STORE_KIND_NAMES[static_cast<std::size_t>(kind)]; }

std::string_view state_word(KeyState state) noexcept { return STATE_WORDS[static_cast<std::size_t>(state)]; }

std::string_view version_status_word(VersionStatus status) noexcept {
    return VERSION_STATUS_WORDS[static_cast<std::size_t>(status)];
}

bool is_utf8(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_length(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

void append_json_text(std::string& out, std::string_view text) {
    if (append_json_utf8(out, bytes_of(text))) return;
    // The slow road: well-formed stretches as they are, lone surrogates
    // escaped, stray bytes as Latin-1 characters.
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = i;
        while (end < text.size()) {
            const std::size_t n = utf8_length(text, end);
            if (n == 0) break;
            end += n;
        }
        if (end > i) {
            std::string piece;
            (void)append_json_utf8(piece, bytes_of(text.substr(i, end - i)));  // well-formed by construction
            out.append(piece, 1, piece.size() - 2);
            i = end;
            continue;
        }
        if (is_lone_surrogate(text, i)) {
            const unsigned unit = 0xD000U | ((static_cast<unsigned char>(text[i + 1]) & 0x3FU) << 6) |
                                  (static_cast<unsigned char>(text[i + 2]) & 0x3FU);
            append_hex4(out, unit);
            i += 3;
            continue;
        }
        std::string piece;
        append_json_latin1(piece, bytes_of(text.substr(i, 1)));
        out.append(piece, 1, piece.size() - 2);
        ++i;
    }
    out += '"';
}

std::string name_cell(std::string_view text) {
    if (!text.starts_with('"') && is_utf8(text)) return std::string(text);
    std::string literal;
    append_json_text(literal, text);
    return literal;
}

std::string js_type(const std::optional<std::string>& json) {
    if (!json || json->empty()) return "null";
    const std::string& text = *json;
    switch (text[0]) {
        case 'n': return "null";
        case 't':
        case 'f': return "boolean";
        case '"': return "string";
        case '[': return "array";
        case '{': break;
        default: return "number";
    }
    // An object: its first member's name, when it is a tag. Tags are the
    // decoder's own ASCII words, written without escapes.
    if (text.size() < 3 || text[1] != '"' || text[2] != TAG_MARK) return "object";
    const std::size_t close = text.find('"', 3);
    if (close == std::string::npos) return "object";
    const std::string_view tag = std::string_view(text).substr(3, close - 3);
    if (tag.find('\\') != std::string_view::npos) return "object";
    return std::string(tag);
}

}  // namespace tarnwick::chromium
