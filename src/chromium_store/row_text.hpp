// The words and small texts every output of decoded rows shares: the names of
// store kinds, record states and version labels, a row's names as JSON string
// literals, and the JavaScript type of a decoded key or value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "chromium_store/decoded_row.hpp"
#include "db/record.hpp"

namespace tarnwick::chromium {

// "localstorage", "sessionstorage", "indexeddb": the package's store vocabulary.
[[nodiscard]] std::string_view store_kind_name(StoreKind kind) noexcept;
// "live", "deleted", "unknown".
[[nodiscard]] std::string_view state_word(KeyState state) noexcept;
// "current", "superseded", ...; empty for VersionStatus::None.
[[nodiscard]] std::string_view version_status_word(VersionStatus status) noexcept;

// Appends `text` as a JSON string literal. A row's names are UTF-8, but a
// name made from a page's UTF-16 may carry a lone surrogate in its three-byte
// form; it is written as its \udXXX escape, as the value texts write it. Any
// other byte that is not UTF-8 is taken as Latin-1, so that nothing is lost.
void append_json_text(std::string& out, std::string_view text);

// Whether `text` is well-formed UTF-8 (encoded surrogates refused).
[[nodiscard]] bool is_utf8(std::string_view text) noexcept;

// A name as a table cell, losslessly: as it is, or as its JSON string literal
// when it is not plain UTF-8 (a lone surrogate) or itself starts with a double
// quote -- so two different names never look equal, and a cell that starts
// with a quote is always such a literal.
[[nodiscard]] std::string name_cell(std::string_view text);

// The JavaScript type of a decoded key or value, told from its tagged JSON
// text: string, number, boolean, null, array, object, or the tag of a value
// JSON cannot hold ({"$date": ...} is a date). Absent text is null.
[[nodiscard]] std::string js_type(const std::optional<std::string>& json);

}  // namespace tarnwick::chromium
