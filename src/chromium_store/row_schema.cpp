#include "chromium_store/row_schema.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

namespace tarnwick::chromium {

namespace {

constexpr const char* STRUCT_FORMAT = "+s";
constexpr const char* LARGE_UTF8_FORMAT = "U";
constexpr const char* LARGE_BINARY_FORMAT = "Z";
constexpr const char* UINT64_FORMAT = "L";

// The extension type that tells a reader the text is JSON. Its metadata is
// empty.
constexpr std::string_view EXTENSION_NAME_KEY = "ARROW:extension:name";
constexpr std::string_view EXTENSION_METADATA_KEY = "ARROW:extension:metadata";
constexpr std::string_view JSON_EXTENSION = "arrow.json";

// Field metadata in the C data interface's encoding: an int32 count, then
// for each pair the int32 length and bytes of the key and of the value.
std::string encoded_metadata(std::initializer_list<std::pair<std::string_view, std::string_view>> pairs) {
    std::string out;
    auto put_int = [&](std::int32_t n) { out.append(reinterpret_cast<const char*>(&n), sizeof n); };
    put_int(static_cast<std::int32_t>(pairs.size()));
    for (const auto& [key, value] : pairs) {
        put_int(static_cast<std::int32_t>(key.size()));
        out += key;
        put_int(static_cast<std::int32_t>(value.size()));
        out += value;
    }
    return out;
}

const char* format_of(ColumnShape shape) noexcept {
    switch (shape) {
        case ColumnShape::UInt64: return UINT64_FORMAT;
        case ColumnShape::Binary: return LARGE_BINARY_FORMAT;
        default: return LARGE_UTF8_FORMAT;
    }
}

// Every node of one exported schema, in one allocation, freed with the last
// node released (a consumer may move a child out and release it alone).
struct SchemaStorage {
    ArrowSchema columns[ROW_COLUMN_COUNT]{};
    ArrowSchema* column_pointers[ROW_COLUMN_COUNT]{};
    std::string names[ROW_COLUMN_COUNT];
    std::string json_metadata;
    std::atomic<std::size_t> live{0};
};

void release_node(ArrowSchema* schema) {
    auto* storage = static_cast<SchemaStorage*>(schema->private_data);
    for (std::int64_t i = 0; i < schema->n_children; ++i) {
        if (schema->children[i]->release != nullptr) schema->children[i]->release(schema->children[i]);
    }
    schema->release = nullptr;
    if (storage->live.fetch_sub(1, std::memory_order_acq_rel) == 1) delete storage;
}

void init_node(ArrowSchema& node, SchemaStorage* storage, const char* format, const char* name, std::int64_t flags) {
    node.format = format;
    node.name = name;
    node.metadata = nullptr;
    node.flags = flags;
    node.n_children = 0;
    node.children = nullptr;
    node.dictionary = nullptr;
    node.release = release_node;
    node.private_data = storage;
    storage->live.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void export_row_schema(ArrowSchema* out) {
    auto* storage = new SchemaStorage;
    storage->json_metadata = encoded_metadata({{EXTENSION_NAME_KEY, JSON_EXTENSION}, {EXTENSION_METADATA_KEY, ""}});
    for (std::size_t i = 0; i < ROW_COLUMN_COUNT; ++i) {
        const ColumnShape shape = column_shape(static_cast<RowColumn>(i));
        storage->names[i] = std::string(ROW_COLUMN_NAMES[i]);
        ArrowSchema& column = storage->columns[i];
        init_node(column, storage, format_of(shape), storage->names[i].c_str(),
                  shape == ColumnShape::UInt64 ? 0 : ARROW_FLAG_NULLABLE);
        if (shape == ColumnShape::Json) column.metadata = storage->json_metadata.data();
        storage->column_pointers[i] = &column;
    }
    ArrowSchema root{};
    init_node(root, storage, STRUCT_FORMAT, "", 0);
    root.n_children = ROW_COLUMN_COUNT;
    root.children = storage->column_pointers;
    *out = root;
}

}  // namespace tarnwick::chromium
