// Session Storage's records as rows (<profile>/Session Storage).
//
// Keys:
//   version, next-map-id          decimal text
//   namespace-<session id>-<storage key>
//                                 the number of the map holding that tab
//                                 session's data for that storage key; the
//                                 session id has 36 characters
//   map-<number>-<script key>     a page's key (UTF-8) and value (UTF-16LE)
// Several sessions may share one map (a tab opened from another). Stores of
// the legacy layout also hold empty "namespace-<session id>-" markers and
// "map-<number>-" reference counts.
//
// A map record names only its number, so the first pass collects from the
// namespace records which storage keys and sessions own each map; the
// second gives every data record its owners.

#include <algorithm>
#include <map>
#include <set>

#include "chromium_decode/dom_storage.hpp"
#include "chromium_store/byte_text.hpp"
#include "chromium_store/decimal_text.hpp"
#include "chromium_store/storage_key.hpp"
#include "chromium_store/store_interpreter.hpp"

namespace tarnwick::chromium {

namespace {

constexpr std::string_view version_key = "version";
constexpr std::string_view next_map_id_key = "next-map-id";
constexpr std::string_view namespace_prefix = "namespace-";
constexpr std::string_view map_prefix = "map-";
constexpr char separator = '-';
constexpr std::size_t session_id_length = 36;

struct Namespace {
    std::string_view session;
    // Empty for a legacy marker.
    std::string_view storage_key;
};

// "namespace-" + session id + "-" + storage key.
Decoded<Namespace> parse_namespace(Bytes key) {
    const Bytes rest = key.subspan(namespace_prefix.size());
    if (rest.size() < session_id_length + 1 || rest[session_id_length] != separator) {
        return decode_error("namespace key without a 36-character session id and '-'");
    }
    const Bytes session = rest.first(session_id_length);
    if (auto error = ascii_error(session)) return decode_error(std::move(*error));
    const Bytes storage_key = rest.subspan(session_id_length + 1);
    if (!is_utf8(storage_key)) return decode_error("storage key is not valid UTF-8");
    return Namespace{as_text(session), as_text(storage_key)};
}

struct MapKey {
    std::string number;  // normalised digits
    Bytes script_key;
};

// "map-" + number + "-" + script key.
Decoded<MapKey> parse_map_key(Bytes key) {
    const Bytes rest = key.subspan(map_prefix.size());
    const auto dash = std::ranges::find(rest, separator);
    if (dash == rest.end()) return decode_error("map key without '-' after its number");
    const auto length = static_cast<std::size_t>(dash - rest.begin());
    DECODE_TRY(number, decimal_text(rest.first(length)));
    return MapKey{std::move(number), rest.subspan(length + 1)};
}

// Who owns one map, ready for its rows.
struct MapOwners {
    std::string storage_key;  // the first of its storage keys
    std::optional<std::string> storage_keys_json;  // all of them, when there are several
    std::string sessions;     // the sessions, sorted, comma-separated
};

class SessionStorageInterpreter final : public StoreInterpreter {
   public:
    void learn(const RecordView& record) override;
    void learned() override;
    void decode(const RecordView& record, DecodedRow& row) override { read(record, row, true); }
    // Everything but the value, which is most of the cost.
    bool describe(const RecordView& record, DecodedRow& row) override {
        read(record, row, false);
        return true;
    }
    // A map key holds the page's key; its origin comes from the map's owners,
    // which only the first pass finds, so it is left to the filter.
    bool may_select(Bytes key, const KeyPrecheck& check) const override {
        if (!as_text(key).starts_with(map_prefix)) return !check.data_only();
        const auto map_key = parse_map_key(key);
        if (!map_key) return !check.data_only() && check.any_session_storage_key();
        if (map_key->script_key.empty()) return !check.data_only();  // a reference count
        return check.session_storage_key(map_key->script_key);
    }

   private:
    void read(const RecordView& record, DecodedRow& row, bool with_value) const;
    void read_namespace(const RecordView& record, DecodedRow& row, bool with_value) const;
    void read_map(const RecordView& record, DecodedRow& row, bool with_value) const;

    // Map number -> storage key -> sessions, while learning.
    std::map<std::string, std::map<std::string, std::set<std::string>>> learning_;
    std::map<std::string, MapOwners, std::less<>> owners_;
};

void SessionStorageInterpreter::learn(const RecordView& record) {
    const Bytes key = record.user_key();
    if (record.state == KeyState::Deleted || !as_text(key).starts_with(namespace_prefix)) return;
    // A record that cannot be read names no owner; its own row says why.
    const auto name = parse_namespace(key);
    if (!name || name->storage_key.empty()) return;
    auto number = decimal_text(record.value);
    if (!number) return;
    learning_[std::move(*number)][std::string(name->storage_key)].emplace(name->session);
}

void SessionStorageInterpreter::learned() {
    for (auto& [number, by_storage_key] : learning_) {
        // Storage keys in the order of their bytes, which for UTF-8 is the
        // order of their code points.
        MapOwners owners;
        owners.storage_key = by_storage_key.begin()->first;
        std::set<std::string> sessions;
        std::string all = "[";
        for (auto& [storage_key, its_sessions] : by_storage_key) {
            if (all.size() > 1) all += ',';
            all += json_string(storage_key);
            sessions.merge(its_sessions);
        }
        all += ']';
        if (by_storage_key.size() > 1) owners.storage_keys_json = std::move(all);
        for (const std::string& session : sessions) {
            if (!owners.sessions.empty()) owners.sessions += ',';
            owners.sessions += session;
        }
        owners_.emplace(number, std::move(owners));
    }
    learning_.clear();
}

void SessionStorageInterpreter::read(const RecordView& record, DecodedRow& row, bool with_value) const {
    const Bytes key = record.user_key();
    const std::string_view text = as_text(key);
    if (text == version_key || text == next_map_id_key) {
        row.record_type = text;
        row.key_json = json_string(text);
        if (!with_value || record.state == KeyState::Deleted) return;
        auto value = decimal_text(record.value);
        if (value) {
            row.value_json = std::move(*value);
        } else {
            row.error = std::move(value.error().reason);
        }
    } else if (text.starts_with(namespace_prefix)) {
        read_namespace(record, row, with_value);
    } else if (text.starts_with(map_prefix)) {
        read_map(record, row, with_value);
    } else {
        row.error = "key of no known Session Storage kind";
    }
}

void SessionStorageInterpreter::read_namespace(const RecordView& record, DecodedRow& row, bool with_value) const {
    const Bytes key = record.user_key();
    if (key.size() == namespace_prefix.size()) {
        row.record_type = "namespace_marker";
        row.key_json = R"("")";
        return;
    }
    const auto name = parse_namespace(key);
    if (!name) {
        row.error = name.error().reason;
        return;
    }
    row.namespace_id.emplace(name->session);
    if (name->storage_key.empty()) {
        row.record_type = "namespace_marker";
        row.key_json = json_string(name->session);
        return;
    }
    row.record_type = "namespace";
    set_storage_key(row, name->storage_key);
    row.key_json = json_string(name->storage_key);
    if (!with_value || record.state == KeyState::Deleted) return;
    auto number = decimal_text(record.value);
    if (number) {
        row.value_json = R"({"map":)" + *number + '}';
    } else {
        row.error = std::move(number.error().reason);
    }
}

void SessionStorageInterpreter::read_map(const RecordView& record, DecodedRow& row, bool with_value) const {
    auto map_key = parse_map_key(record.user_key());
    if (!map_key) {
        row.error = std::move(map_key.error().reason);
        return;
    }
    row.details.add("map", map_key->number);
    const bool has_value = with_value && record.state != KeyState::Deleted;
    if (map_key->script_key.empty()) {
        row.record_type = "map_refcount";
        row.key_json = '"' + map_key->number + '"';
        if (!has_value) return;
        auto count = decimal_text(record.value);
        if (count) {
            row.value_json = std::move(*count);
        } else {
            row.error = std::move(count.error().reason);
        }
        return;
    }
    row.record_type = "data";
    if (const auto owners = owners_.find(map_key->number); owners != owners_.end()) {
        set_storage_key(row, owners->second.storage_key);
        if (owners->second.storage_keys_json) row.details.add("storage_keys", *owners->second.storage_keys_json);
        row.namespace_id = owners->second.sessions;
    }
    // The key and the value apart, so that a damaged key keeps a readable value.
    std::string errors;
    auto script = decode_session_storage_key(map_key->script_key);
    if (script) {
        row.key_json = std::move(*script);
    } else {
        errors = "key: " + script.error().reason;
    }
    if (has_value) {
        auto value = decode_session_storage_value(record.value);
        if (value) {
            row.value_json = std::move(*value);
        } else {
            if (!errors.empty()) errors += "; ";
            errors += "value: " + value.error().reason;
        }
    }
    if (!errors.empty()) row.error = std::move(errors);
}

}  // namespace

std::unique_ptr<StoreInterpreter> make_session_storage_interpreter(const StoreContext&) {
    return std::make_unique<SessionStorageInterpreter>();
}

}  // namespace tarnwick::chromium
