#include "db/file_name.hpp"

namespace tarnwick {

StemAndExtension split_stem_extension(std::string_view name) noexcept {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {name, std::nullopt};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

std::optional<std::uint64_t> parse_hex_number(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (value > (UINT64_MAX >> 4)) return std::nullopt;
        value = (value << 4) | digit;
    }
    return value;
}

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= n) return false;
        for (std::size_t i = 1; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        static constexpr std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < smallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += n + 1;
    }
    return true;
}

std::string_view file_name_of(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

namespace {

bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Compares an extension with a lower-case word, ignoring the case of ASCII letters.
bool equals_ignoring_case(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char folded = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (folded != lower[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<DataFileName> data_file_name(std::string_view name) noexcept {
    const auto [stem, extension] = split_stem_extension(name);
    if (!extension) return std::nullopt;
    if (stem.size() < kMinDataFileStemDigits || stem.size() > kMaxDataFileStemDigits) return std::nullopt;
    for (const char c : stem) {
        if (!is_ascii_digit(c)) return std::nullopt;
    }
    DataFileKind kind;
    if (equals_ignoring_case(*extension, "log")) {
        kind = DataFileKind::Log;
    } else if (equals_ignoring_case(*extension, "ldb") || equals_ignoring_case(*extension, "sst")) {
        kind = DataFileKind::Table;
    } else {
        return std::nullopt;
    }
    const auto number = parse_hex_number(stem);
    if (!number) return std::nullopt;  // cannot happen for 16 digits, kept so no path reads an empty optional
    return DataFileName{kind, *number};
}

std::uint64_t file_number_of(std::string_view path) noexcept {
    const std::string_view name = file_name_of(path);
    if (name.empty() || !is_valid_utf8(name)) return 0;
    return parse_hex_number(split_stem_extension(name).stem).value_or(0);
}

}  // namespace tarnwick
