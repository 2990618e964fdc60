#include "chromium_store/local_storage_commits.hpp"

#include <algorithm>

#include "chromium_store/byte_text.hpp"
#include "chromium_store/local_storage_keys.hpp"
#include "chromium_store/protobuf_fields.hpp"

namespace tarnwick::chromium {

std::optional<std::int64_t> local_storage_meta_time(Bytes value) {
    const auto fields = ProtobufFields::read(value);
    if (!fields) return std::nullopt;
    const ProtobufField* time = fields->find(local_storage_meta_time_field);
    if (time == nullptr || !time->is_integer()) return std::nullopt;
    return time->as_int64();
}

void LocalStorageCommits::learn(const RecordView& record) {
    const std::string_view key = as_text(record.user_key());
    if (!key.starts_with(local_storage_meta_prefix)) return;
    const std::string_view storage_key = key.substr(local_storage_meta_prefix.size());
    std::optional<std::int64_t> time;
    if (record.state != KeyState::Deleted) time = local_storage_meta_time(record.value);
    auto it = versions_.find(storage_key);
    if (it == versions_.end()) it = versions_.emplace(std::string(storage_key), std::vector<MetaVersion>{}).first;
    it->second.push_back({record.seq, time});
}

void LocalStorageCommits::learned() {
    for (auto& [storage_key, versions] : versions_) {
        // A META in a log and in the table made from it is one version; the
        // copy whose time could be read is kept.
        std::ranges::sort(versions, [](const MetaVersion& a, const MetaVersion& b) {
            return a.seq < b.seq || (a.seq == b.seq && a.time_us.has_value() && !b.time_us.has_value());
        });
        const auto [first, last] =
            std::ranges::unique(versions, [](const MetaVersion& a, const MetaVersion& b) { return a.seq == b.seq; });
        versions.erase(first, last);
        versions.shrink_to_fit();
    }
}

std::optional<std::int64_t> LocalStorageCommits::commit_time(std::string_view storage_key, std::uint64_t seq) const {
    const auto it = versions_.find(storage_key);
    if (it == versions_.end()) return std::nullopt;
    const auto& versions = it->second;
    const auto meta = std::ranges::lower_bound(versions, seq, {}, &MetaVersion::seq);
    if (meta == versions.end()) return std::nullopt;
    return meta->time_us;
}

}  // namespace tarnwick::chromium
