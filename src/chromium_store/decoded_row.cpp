#include "chromium_store/decoded_row.hpp"

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

namespace {

void append_name(std::string& text, std::string_view name) {
    if (!text.empty()) text += ',';
    // Member names are the decoder's own ASCII words.
    append_json_ascii(text, name);
    text += ':';
}

}  // namespace

void JsonMembers::add(std::string_view name, std::string_view json) {
    append_name(text_, name);
    text_ += json;
}

void JsonMembers::add_int(std::string_view name, std::uint64_t value) {
    append_name(text_, name);
    text_ += std::to_string(value);
}

void JsonMembers::add_string(std::string_view name, std::string_view utf8) {
    append_name(text_, name);
    const Bytes bytes(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
    if (!append_json_utf8(text_, bytes)) append_json_latin1(text_, bytes);
}

void JsonMembers::add_bool(std::string_view name, bool value) {
    append_name(text_, name);
    text_ += value ? "true" : "false";
}

std::optional<std::string> JsonMembers::object() const {
    if (text_.empty()) return std::nullopt;
    std::string out;
    out.reserve(text_.size() + 2);
    out += '{';
    out += text_;
    out += '}';
    return out;
}

void DecodedRow::clear() noexcept {
    record_type = "unknown";
    origin.reset();
    top_level_site.reset();
    storage_key.reset();
    namespace_id.reset();
    database.reset();
    object_store.reset();
    index.reset();
    key_json.reset();
    value_json.reset();
    error.reset();
    details.clear();
    version_status = VersionStatus::None;
}

}  // namespace tarnwick::chromium
