#include "scan/record_schema.hpp"

#include <atomic>
#include <new>

namespace tarnwick {

namespace {

// Arrow format strings.
constexpr const char* STRUCT_FORMAT = "+s";
constexpr const char* LARGE_BINARY_FORMAT = "Z";
constexpr const char* UINT64_FORMAT = "L";
constexpr const char* INT8_FORMAT = "c";
constexpr const char* INT32_FORMAT = "i";
constexpr const char* UTF8_FORMAT = "u";
constexpr const char* BOOL_FORMAT = "b";

constexpr const char* FORMATS[COLUMN_COUNT] = {
    LARGE_BINARY_FORMAT, LARGE_BINARY_FORMAT, LARGE_BINARY_FORMAT, UINT64_FORMAT, INT8_FORMAT,
    INT8_FORMAT,         INT32_FORMAT,        UINT64_FORMAT,       UINT64_FORMAT, BOOL_FORMAT,
};

bool is_dictionary(std::size_t column) {
    return column == static_cast<std::size_t>(Column::State) || column == static_cast<std::size_t>(Column::FileType) ||
           column == static_cast<std::size_t>(Column::File);
}

// Every node of one exported schema, in one allocation. Each node may be
// released on its own (a consumer may move a child out), so the storage
// counts its live nodes and is freed with the last.
struct SchemaStorage {
    ArrowSchema root{};
    ArrowSchema columns[COLUMN_COUNT]{};
    ArrowSchema* column_pointers[COLUMN_COUNT]{};
    ArrowSchema dictionaries[COLUMN_COUNT]{};
    std::atomic<std::size_t> live{0};
};

void release_node(ArrowSchema* schema) {
    auto* storage = static_cast<SchemaStorage*>(schema->private_data);
    if (schema->dictionary != nullptr && schema->dictionary->release != nullptr) {
        schema->dictionary->release(schema->dictionary);
    }
    for (std::int64_t i = 0; i < schema->n_children; ++i) {
        if (schema->children[i]->release != nullptr) schema->children[i]->release(schema->children[i]);
    }
    schema->release = nullptr;
    if (--storage->live == 0) delete storage;
}

void init_node(ArrowSchema& node, SchemaStorage* storage, const char* format, const char* name) {
    node.format = format;
    node.name = name;
    node.metadata = nullptr;
    node.flags = 0;
    node.n_children = 0;
    node.children = nullptr;
    node.dictionary = nullptr;
    node.release = release_node;
    node.private_data = storage;
    ++storage->live;
}

}  // namespace

void export_record_schema(ArrowSchema* out) {
    auto* storage = new SchemaStorage;
    init_node(storage->root, storage, STRUCT_FORMAT, "");
    storage->root.n_children = COLUMN_COUNT;
    storage->root.children = storage->column_pointers;
    for (std::size_t i = 0; i < COLUMN_COUNT; ++i) {
        ArrowSchema& column = storage->columns[i];
        init_node(column, storage, FORMATS[i], COLUMN_NAMES[i].data());
        storage->column_pointers[i] = &column;
        if (is_dictionary(i)) {
            init_node(storage->dictionaries[i], storage, UTF8_FORMAT, "");
            column.dictionary = &storage->dictionaries[i];
        }
    }
    *out = storage->root;
    // The root now lives in `out`; the copy in the storage is never used.
}

}  // namespace tarnwick
