#include "chromium_store/local_storage_meta.hpp"

#include "chromium_store/protobuf_fields.hpp"

namespace tarnwick::chromium {

Decoded<LocalStorageMeta> read_local_storage_meta(Bytes value) {
    DECODE_TRY(fields, ProtobufFields::read(value));
    const ProtobufField* time = fields.find(local_storage_meta_time_field);
    if (time == nullptr || !time->is_integer()) return decode_error("metadata without its time field");
    LocalStorageMeta meta;
    meta.time_us = time->as_int64();
    if (const ProtobufField* size = fields.find(local_storage_meta_size_field); size != nullptr && size->is_integer()) {
        meta.size = size->integer;
    }
    return meta;
}

}  // namespace tarnwick::chromium
