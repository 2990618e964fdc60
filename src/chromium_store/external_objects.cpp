#include "chromium_store/external_objects.hpp"

#include "chromium_decode/byte_reader.hpp"
#include "chromium_decode/json_text.hpp"
#include "chromium_store/idb_coding.hpp"
#include "chromium_store/windows_time.hpp"

namespace tarnwick::chromium {

namespace {

Decoded<std::string> counted_string_json(ByteReader& cur) {
    DECODE_TRY(units, read_counted_utf16(cur));
    std::string out;
    append_json_utf16(out, units, true);
    return out;
}

std::string_view kind_name(ExternalKind kind) {
    switch (kind) {
        case ExternalKind::Blob: return "blob";
        case ExternalKind::File: return "file";
        case ExternalKind::FileSystemAccessHandle: return "file_system_access_handle";
    }
    return "blob";
}

Decoded<std::vector<ExternalObject>> decode_untyped(Bytes data) {
    ByteReader cur(data);
    std::vector<ExternalObject> out;
    while (!cur.at_end()) {
        ExternalObject o;
        DECODE_TRY(is_file, cur.byte());
        o.kind = is_file != 0 ? ExternalKind::File : ExternalKind::Blob;
        DECODE_TRY(number, cur.varint());
        o.blob_number = number;
        DECODE_TRY(type, counted_string_json(cur));
        o.type_json = std::move(type);
        if (is_file != 0) {
            DECODE_TRY(name, counted_string_json(cur));
            o.name_json = std::move(name);
        } else {
            DECODE_TRY(size, cur.varint());
            o.size = size;
        }
        out.push_back(std::move(o));
    }
    return out;
}

}  // namespace

bool ExternalObject::is_value_wrapper() const {
    std::string wrapper;
    append_json_ascii(wrapper, value_wrapper_type);
    return type_json == wrapper;
}

void ExternalObject::append_members(std::string& out, bool with_kind) const {
    const auto start = out.size();
    auto member = [&](std::string_view name) {
        if (out.size() != start) out += ',';
        out += '"';
        out += name;
        out += "\":";
    };
    if (with_kind) {
        member("kind");
        append_json_ascii(out, kind_name(kind));
    }
    if (blob_number) {
        member("blob_number");
        out += std::to_string(*blob_number);
    }
    if (type_json) {
        member("type");
        out += *type_json;
    }
    if (size) {
        member("size");
        out += std::to_string(*size);
    }
    if (name_json) {
        member("name");
        out += *name_json;
    }
    if (last_modified_us) {
        member("last_modified");
        out += windows_time_json(*last_modified_us);
    }
    if (token) {
        member("token");
        append_json_hex(out, Bytes(token->data(), token->size()));
    }
}

Decoded<std::vector<ExternalObject>> decode_external_objects(Bytes data, std::optional<std::uint64_t> schema_version) {
    if (schema_version && *schema_version <= last_untyped_external_schema) return decode_untyped(data);
    ByteReader cur(data);
    std::vector<ExternalObject> out;
    while (!cur.at_end()) {
        DECODE_TRY(kind, cur.byte());
        ExternalObject o;
        if (kind == static_cast<std::uint8_t>(ExternalKind::Blob) || kind == static_cast<std::uint8_t>(ExternalKind::File)) {
            o.kind = static_cast<ExternalKind>(kind);
            DECODE_TRY(number, cur.varint());
            DECODE_TRY(type, counted_string_json(cur));
            DECODE_TRY(size, cur.varint());
            o.blob_number = number;
            o.type_json = std::move(type);
            o.size = size;
            if (o.kind == ExternalKind::File) {
                DECODE_TRY(name, counted_string_json(cur));
                DECODE_TRY(modified, cur.varint());
                o.name_json = std::move(name);
                o.last_modified_us = modified;
            }
        } else if (kind == static_cast<std::uint8_t>(ExternalKind::FileSystemAccessHandle)) {
            o.kind = ExternalKind::FileSystemAccessHandle;
            DECODE_TRY(n, cur.varint());
            DECODE_TRY(token, cur.take(n));
            o.token.emplace(token.begin(), token.end());
        } else {
            return decode_error("unknown external object type " + std::to_string(kind));
        }
        out.push_back(std::move(o));
    }
    return out;
}

std::string external_objects_json(const std::vector<ExternalObject>& objects) {
    std::string out = "[";
    for (const auto& o : objects) {
        if (out.size() > 1) out += ',';
        out += '{';
        o.append_members(out, true);
        out += '}';
    }
    out += ']';
    return out;
}

}  // namespace tarnwick::chromium
