// One record of a Chromium store with its meaning: the row every output of
// decoded stores (JSON Lines, Arrow, CSV, text) is made of.
//
// Keys, values and details are JSON text in the tagged form of the Chromium
// decoders (chromium_decode/json_text.hpp); an absent one is JSON null. When
// a part could not be decoded it stays absent, `error` says why, and the
// outputs carry the record's raw key and value instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "db/record.hpp"

namespace tarnwick::chromium {

enum class StoreKind : std::uint8_t { LocalStorage, SessionStorage, IndexedDb };

// The members of a JSON object, written in order as they are added: the row's
// details ({"database_id":3,"object_store_id":1,...}).
class JsonMembers {
   public:
    // `json` is the member's value as JSON text.
    void add(std::string_view name, std::string_view json);
    void add_int(std::string_view name, std::uint64_t value);
    void add_string(std::string_view name, std::string_view utf8);  // the text must be valid UTF-8
    void add_bool(std::string_view name, bool value);
    [[nodiscard]] bool empty() const noexcept { return text_.empty(); }
    // "{...}", or nothing when there are no members.
    [[nodiscard]] std::optional<std::string> object() const;
    void clear() noexcept { text_.clear(); }

   private:
    std::string text_;  // the members so far, comma-separated, without braces
};

// The version labels of the history of one key (see version_labels.hpp).
enum class VersionStatus : std::uint8_t { None, Current, Superseded, LastBeforeDeletion, Deleted, Unknown };

struct DecodedRow {
    // What the record is: "data" for a page's own keys and values, otherwise the
    // kind of bookkeeping record ("meta", "version", "database_name", "exists", ...).
    std::string record_type = "unknown";
    std::optional<std::string> origin;
    std::optional<std::string> top_level_site;
    std::optional<std::string> storage_key;
    std::optional<std::string> namespace_id;  // Session Storage: the tab sessions of the row
    std::optional<std::string> database;
    std::optional<std::string> object_store;
    std::optional<std::string> index;
    std::optional<std::string> key_json;
    std::optional<std::string> value_json;
    std::optional<std::string> error;
    JsonMembers details;
    VersionStatus version_status = VersionStatus::None;

    // Makes the row empty again, keeping its buffers (rows are reused on the hot path).
    void clear() noexcept;
};

}  // namespace tarnwick::chromium
