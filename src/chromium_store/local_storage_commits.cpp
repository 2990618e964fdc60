#include "chromium_store/local_storage_commits.hpp"

#include <algorithm>

#include "chromium_store/byte_text.hpp"
#include "chromium_store/local_storage_keys.hpp"
#include "chromium_store/local_storage_meta.hpp"
#include "chromium_store/windows_time.hpp"

namespace tarnwick::chromium {

void LocalStorageCommits::learn(const RecordView& record) {
    const std::string_view key = as_text(record.user_key());
    if (!key.starts_with(local_storage_meta_prefix)) return;
    const std::string_view storage_key = key.substr(local_storage_meta_prefix.size());
    std::optional<CommitTime> time;
    if (record.state != KeyState::Deleted) {
        if (const auto meta = read_local_storage_meta(record.value)) time = CommitTime{meta->time_us, {}};
    }
    auto it = versions_.find(storage_key);
    if (it == versions_.end()) it = versions_.emplace(std::string(storage_key), Versions{}).first;
    it->second.push_back({record.seq, std::move(time)});
}

void LocalStorageCommits::learned() {
    for (auto& [storage_key, versions] : versions_) {
        // A META in a log and in the table made from it is one version; the
        // copy whose time could be read is kept.
        std::ranges::sort(versions, [](const MetaVersion& a, const MetaVersion& b) {
            return a.seq < b.seq || (a.seq == b.seq && a.time.has_value() && !b.time.has_value());
        });
        const auto [first, last] =
            std::ranges::unique(versions, [](const MetaVersion& a, const MetaVersion& b) { return a.seq == b.seq; });
        versions.erase(first, last);
        versions.shrink_to_fit();
        for (MetaVersion& version : versions) {
            if (!version.time) continue;
            const std::optional<std::string> iso = windows_us_iso(version.time->us);
            version.time->iso_json = iso ? json_string(*iso) : "null";
        }
    }
}

const CommitTime* LocalStorageCommits::commit_time(std::string_view storage_key, std::uint64_t seq) {
    if (last_versions_ == nullptr || storage_key != last_key_) {
        const auto it = versions_.find(storage_key);
        if (it == versions_.end()) return nullptr;
        last_key_ = it->first;
        last_versions_ = &it->second;
    }
    const auto meta = std::ranges::lower_bound(*last_versions_, seq, {}, &MetaVersion::seq);
    if (meta == last_versions_->end() || !meta->time) return nullptr;
    return &*meta->time;
}

}  // namespace tarnwick::chromium
