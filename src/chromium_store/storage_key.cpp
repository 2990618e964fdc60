#include "chromium_store/storage_key.hpp"

namespace tarnwick::chromium {

StorageKeyParts parse_storage_key(std::string_view text) noexcept {
    StorageKeyParts parts;
    const std::size_t mark = text.find(storage_key_attribute_mark);
    std::string_view origin = text.substr(0, mark);
    while (!origin.empty() && origin.back() == '/') origin.remove_suffix(1);
    parts.origin = origin;
    if (mark == std::string_view::npos) return parts;
    std::string_view rest = text.substr(mark + 1);
    for (;;) {
        const std::size_t next = rest.find(storage_key_attribute_mark);
        const std::string_view attribute = rest.substr(0, next);
        if (!attribute.empty() && attribute.front() == storage_key_top_level_site) {
            parts.top_level_site = attribute.substr(1);
        }
        if (next == std::string_view::npos) break;
        rest = rest.substr(next + 1);
    }
    return parts;
}

void set_storage_key(DecodedRow& row, std::string_view text) {
    const StorageKeyParts parts = parse_storage_key(text);
    row.storage_key.emplace(text);
    row.origin.emplace(parts.origin);
    if (parts.top_level_site) {
        row.top_level_site.emplace(*parts.top_level_site);
    } else {
        row.top_level_site.reset();
    }
}

}  // namespace tarnwick::chromium
