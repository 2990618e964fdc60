// Which decoded rows a scan hands out, decided from the row itself: the
// page's own data only (unless every record is asked for), an origin that
// contains a given text, a key equal to a given text.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "chromium_store/decoded_row.hpp"

namespace tarnwick::chromium {

inline constexpr std::string_view DATA_RECORD_TYPE = "data";

struct RowFilter {
    // Bookkeeping records (versions, metadata, names, ...) too.
    bool all_records = false;
    // The row's origin must contain this text.
    std::optional<std::string> origin;
    // The row's key, as JSON text, must be one of these (the caller gives
    // the key as the user wrote it, made JSON: a string literal of the
    // text, and the text itself when it is JSON).
    std::vector<std::string> key_texts;

    // Whether the filter keeps any row out but bookkeeping.
    [[nodiscard]] bool selective() const noexcept { return origin.has_value() || !key_texts.empty(); }

    [[nodiscard]] bool selects(const DecodedRow& row) const {
        if (!all_records && row.record_type != DATA_RECORD_TYPE) return false;
        if (origin && (!row.origin || row.origin->find(*origin) == std::string::npos)) return false;
        if (!key_texts.empty()) {
            // An absent key is JSON null.
            const std::string_view key = row.key_json ? std::string_view(*row.key_json) : std::string_view("null");
            for (const std::string& text : key_texts) {
                if (key == text) return true;
            }
            return false;
        }
        return true;
    }
};

}  // namespace tarnwick::chromium
