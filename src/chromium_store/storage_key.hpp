// Blink's StorageKey as text: the origin, and for partitioned storage the
// top-level site it is kept under.
//
// A first-party key is its origin (Local Storage writes it without the
// trailing slash, Session Storage with it). Third-party and opaque keys add
// attributes after it, each a '^', one digit naming the attribute and its
// text: ^0 the top-level site, ^1/^2 a nonce (high/low), ^3 the ancestor
// chain bit (1 = cross-site), ^4/^5 an opaque top-level site's nonce, ^6 its
// precursor. Older Chromium wrote cross-site keys as "^0site^3bit"; both
// shapes are the same attributes. Only the origin and the top-level site
// reach the rows.
#pragma once

#include <optional>
#include <string_view>

#include "chromium_store/decoded_row.hpp"

namespace tarnwick::chromium {

inline constexpr char storage_key_attribute_mark = '^';
inline constexpr char storage_key_top_level_site = '0';

struct StorageKeyParts {
    // The text before the first attribute, trailing slashes dropped.
    std::string_view origin;
    // The text of the last ^0 attribute, when there is one.
    std::optional<std::string_view> top_level_site;
};

[[nodiscard]] StorageKeyParts parse_storage_key(std::string_view text) noexcept;

// Sets the row's storage key, origin and top-level site from the key's text
// (valid UTF-8).
void set_storage_key(DecodedRow& row, std::string_view text);

}  // namespace tarnwick::chromium
