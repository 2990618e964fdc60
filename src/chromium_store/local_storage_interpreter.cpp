// Local Storage's records as rows (the keys: local_storage_keys.hpp).
//
// The first pass keeps the META versions of each storage key, which date
// every data record to the commit that wrote it (local_storage_commits.hpp);
// the second decodes each record on its own.

#include <algorithm>

#include "chromium_decode/dom_storage.hpp"
#include "chromium_store/byte_text.hpp"
#include "chromium_store/local_storage_commits.hpp"
#include "chromium_store/local_storage_keys.hpp"
#include "chromium_store/local_storage_meta.hpp"
#include "chromium_store/storage_key.hpp"
#include "chromium_store/store_interpreter.hpp"
#include "chromium_store/windows_time.hpp"

namespace tarnwick::chromium {

namespace {

// The time as the pair of members every row gives a time in: the ISO text
// (null beyond JavaScript's dates) and the microseconds since 1601.
void add_time(JsonMembers& members, std::string_view name, std::string_view name_us, std::int64_t us) {
    const std::optional<std::string> iso = windows_us_iso(us);
    if (iso) {
        members.add_string(name, *iso);
    } else {
        members.add(name, "null");
    }
    members.add(name_us, std::to_string(us));
}

// The value of META (write time and size) or METAACCESS (access time).
Decoded<std::string> meta_value_json(Bytes value, bool access) {
    DECODE_TRY(meta, read_local_storage_meta(value));
    JsonMembers members;
    if (access) {
        add_time(members, "last_accessed", "last_accessed_us", meta.time_us);
    } else {
        add_time(members, "last_modified", "last_modified_us", meta.time_us);
        if (meta.size) {
            members.add_int("size_bytes", *meta.size);
        } else {
            members.add("size_bytes", "null");
        }
    }
    return *members.object();
}

class LocalStorageInterpreter final : public StoreInterpreter {
   public:
    void learn(const RecordView& record) override { commits_.learn(record); }
    void learned() override { commits_.learned(); }
    void decode(const RecordView& record, DecodedRow& row) override { read(record, row, true); }
    // Everything but the value, which is most of the cost.
    bool describe(const RecordView& record, DecodedRow& row) override {
        read(record, row, false);
        return true;
    }
    // A data key holds its storage key (whose start is the origin) and its
    // script key; the other records are few and not the page's data.
    bool may_select(Bytes key, const KeyPrecheck& check) const override {
        if (key.empty() || key[0] != local_storage_data_prefix) return !check.data_only();
        const Bytes rest = key.subspan(1);
        const auto end = std::ranges::find(rest, local_storage_storage_key_end);
        // No script key: the row's key is null and it has no origin.
        if (end == rest.end()) return check.any_local_storage_key() && check.storage_key_origin(rest);
        const auto length = static_cast<std::size_t>(end - rest.begin());
        return check.storage_key_origin(rest.first(length)) && check.local_storage_key(rest.subspan(length + 1));
    }

   private:
    void read(const RecordView& record, DecodedRow& row, bool with_value);
    void read_meta(const RecordView& record, std::string_view prefix, bool access, DecodedRow& row, bool with_value);
    void read_data(const RecordView& record, DecodedRow& row, bool with_value);

    LocalStorageCommits commits_;
};

void LocalStorageInterpreter::read(const RecordView& record, DecodedRow& row, bool with_value) {
    const Bytes key = record.user_key();
    const std::string_view text = as_text(key);
    if (text == local_storage_version_key) {
        row.record_type = "version";
        row.key_json = R"("VERSION")";
        if (!with_value || record.state == KeyState::Deleted) return;
        if (auto error = ascii_error(record.value)) {
            row.error = std::move(error);
            return;
        }
        row.value_json = json_string(as_text(record.value));
    } else if (text.starts_with(local_storage_meta_access_prefix)) {
        read_meta(record, local_storage_meta_access_prefix, true, row, with_value);
    } else if (text.starts_with(local_storage_meta_prefix)) {
        read_meta(record, local_storage_meta_prefix, false, row, with_value);
    } else if (!key.empty() && key[0] == local_storage_data_prefix) {
        read_data(record, row, with_value);
    } else {
        row.error = "key of no known Local Storage kind";
    }
}

void LocalStorageInterpreter::read_meta(const RecordView& record, std::string_view prefix, bool access,
                                        DecodedRow& row, bool with_value) {
    row.record_type = access ? "meta_access" : "meta";
    const Bytes storage_key = record.user_key().subspan(prefix.size());
    if (!is_utf8(storage_key)) {
        row.error = "storage key is not valid UTF-8";
        return;
    }
    set_storage_key(row, as_text(storage_key));
    row.key_json = json_string(as_text(storage_key));
    if (!with_value || record.state == KeyState::Deleted) return;
    auto value = meta_value_json(record.value, access);
    if (value) {
        row.value_json = std::move(*value);
    } else {
        row.error = std::move(value.error().reason);
    }
}

void LocalStorageInterpreter::read_data(const RecordView& record, DecodedRow& row, bool with_value) {
    row.record_type = "data";
    const Bytes rest = record.user_key().subspan(1);
    const auto end = std::ranges::find(rest, local_storage_storage_key_end);
    if (end == rest.end()) {
        row.error = "data key without the 00 after its storage key";
        return;
    }
    const Bytes storage_key = rest.first(static_cast<std::size_t>(end - rest.begin()));
    const Bytes script_key = rest.subspan(storage_key.size() + 1);
    if (!is_utf8(storage_key)) {
        row.error = "storage key is not valid UTF-8";
        return;
    }
    set_storage_key(row, as_text(storage_key));
    // The key and the value apart, so that a damaged key keeps a readable value.
    std::string errors;
    auto script = decode_local_storage_string(script_key);
    if (script) {
        row.key_json = std::move(*script);
    } else {
        errors = "key: " + script.error().reason;
    }
    if (!with_value) {
        if (!errors.empty()) row.error = std::move(errors);
        return;
    }
    if (record.state != KeyState::Deleted) {
        auto value = decode_local_storage_string(record.value);
        if (value) {
            row.value_json = std::move(*value);
        } else {
            if (!errors.empty()) errors += "; ";
            errors += "value: " + value.error().reason;
        }
    }
    if (!errors.empty()) row.error = std::move(errors);
    if (const CommitTime* committed = commits_.commit_time(as_text(storage_key), record.seq)) {
        row.details.add("committed", committed->iso_json);
        row.details.add("committed_us", std::to_string(committed->us));
    }
}

}  // namespace

std::unique_ptr<StoreInterpreter> make_local_storage_interpreter(const StoreContext&) {
    return std::make_unique<LocalStorageInterpreter>();
}

}  // namespace tarnwick::chromium
