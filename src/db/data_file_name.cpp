#include "db/data_file_name.hpp"

#include "util/file_name.hpp"

namespace tarnwick {

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
