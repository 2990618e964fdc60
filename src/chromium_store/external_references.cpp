#include "chromium_store/external_references.hpp"

#include <optional>
#include <string_view>
#include <unordered_map>

#include "chromium_decode/json_text.hpp"
#include "chromium_store/blob_files.hpp"

namespace tarnwick::chromium {

namespace {

constexpr std::string_view blob_tag = R"({"$blob":)";
constexpr std::string_view file_tag = R"({"$file":)";
constexpr std::string_view file_list_tag = R"({"$filelist":[)";
constexpr std::string_view reference_start = R"({"index":)";
constexpr std::string_view reference_end = R"(,"missing":true})";

// The index of the reference at `at`, and where the reference ends.
struct Reference {
    std::uint64_t index = 0;
    std::size_t end = 0;
};

std::optional<Reference> reference_at(std::string_view json, std::size_t at) {
    if (json.substr(at, reference_start.size()) != reference_start) return std::nullopt;
    std::size_t pos = at + reference_start.size();
    std::uint64_t index = 0;
    const std::size_t digits = pos;
    while (pos < json.size() && json[pos] >= '0' && json[pos] <= '9') {
        index = index * 10 + static_cast<std::uint64_t>(json[pos] - '0');
        ++pos;
    }
    if (pos == digits || json.substr(pos, reference_end.size()) != reference_end) return std::nullopt;
    return Reference{index, pos + reference_end.size()};
}

class Resolver {
   public:
    Resolver(const std::vector<ExternalObject>& objects, const ExternalFiles& files, Budget& budget,
             std::vector<std::string>& unread)
        : objects_(objects), files_(files), budget_(budget), unread_(unread) {}

    // Appends the description of entry `index`. A value may name one entry
    // many times: its file is read once, and every use is paid for.
    Decoded<void> describe(std::uint64_t index, std::string& out) {
        auto [at, added] = described_.try_emplace(index);
        if (added) at->second = describe_once(index);
        const Description& d = at->second;
        if (auto r = budget_.charge(d.json.size(), "a blob file's bytes"); !r) return r;
        out += d.json;
        if (d.unread) unread_.push_back(*d.unread);
        return {};
    }

   private:
    struct Description {
        std::string json;
        std::optional<std::string> unread;  // the file found but not read
    };

    Description describe_once(std::uint64_t index) const {
        Description d;
        std::string& out = d.json;
        if (index >= objects_.size()) {
            out = R"({"index":)" + std::to_string(index) + R"(,"missing":true,"reason":"not listed"})";
            return d;
        }
        const ExternalObject& o = objects_[index];
        out += '{';
        const auto start = out.size();
        o.append_members(out, false);
        if (out.size() != start) out += ',';
        out += R"("index":)" + std::to_string(index);
        if (o.blob_number) {
            const BlobFile found =
                read_blob_file(files_.blob_folder, files_.database_id, *o.blob_number, inline_blob_limit);
            out += R"(,"file":)";
            append_path_json(out, found.path);
            if (found.status == BlobStatus::Read) {
                out += R"(,"hex":)";
                append_json_hex(out, Bytes(found.data.data(), found.data.size()));
            } else if (found.status == BlobStatus::Missing) {
                out += R"(,"missing":true)";
            } else {
                const std::string reason = found.describe();
                out += R"(,"file_status":)";
                append_path_json(out, reason);
                d.unread = unread_file_json(found.path, reason);
            }
        }
        out += '}';
        return d;
    }

    std::unordered_map<std::uint64_t, Description> described_;
    const std::vector<ExternalObject>& objects_;
    const ExternalFiles& files_;
    Budget& budget_;
    std::vector<std::string>& unread_;
};

}  // namespace

void append_path_json(std::string& out, const std::string& path) {
    const Bytes bytes(reinterpret_cast<const std::uint8_t*>(path.data()), path.size());
    if (!append_json_utf8(out, bytes)) append_json_latin1(out, bytes);
}

std::string unread_file_json(const std::string& path, const std::string& reason) {
    std::string out = R"({"file":)";
    append_path_json(out, path);
    out += R"(,"reason":)";
    append_path_json(out, reason);
    out += '}';
    return out;
}

Decoded<void> resolve_external_references(std::string& json, const std::vector<ExternalObject>& objects,
                                          const ExternalFiles& files, Budget& budget,
                                          std::vector<std::string>& unread_files) {
    if (json.find(R"({"index":)") == std::string::npos) return {};
    // The decoded text counts against the value's budget with the bytes inlined.
    if (auto r = budget.charge(json.size(), "the value"); !r) return r;
    Resolver resolver(objects, files, budget, unread_files);
    std::string out;
    std::size_t copied = 0;  // json up to here is in `out`
    std::size_t at = json.find('{');
    const std::string_view text = json;
    while (at != std::string::npos) {
        const bool single = text.substr(at, blob_tag.size()) == blob_tag || text.substr(at, file_tag.size()) == file_tag;
        const bool list = !single && text.substr(at, file_list_tag.size()) == file_list_tag;
        if (!single && !list) {
            at = json.find('{', at + 1);
            continue;
        }
        std::size_t pos = at + (list ? file_list_tag.size() : text.substr(at).starts_with(blob_tag) ? blob_tag.size() : file_tag.size());
        while (true) {
            const auto ref = reference_at(text, pos);
            if (!ref) break;
            out.append(text.substr(copied, pos - copied));
            if (auto r = resolver.describe(ref->index, out); !r) return r;
            copied = pos = ref->end;
            if (single || pos >= text.size() || text[pos] != ',') break;
            ++pos;
        }
        at = json.find('{', pos);
    }
    out.append(text.substr(copied));
    json = std::move(out);
    return {};
}

}  // namespace tarnwick::chromium
