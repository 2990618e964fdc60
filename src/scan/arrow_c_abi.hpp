// The Arrow C data interface and C stream interface: the structs through which
// columnar data crosses from one library to another without either linking
// the other. They are a stable ABI that producers declare themselves; the
// guards below are the ones every producer uses, so that a translation unit
// that also sees Arrow's own header gets one definition.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

inline constexpr std::int64_t ARROW_FLAG_DICTIONARY_ORDERED = 1;
inline constexpr std::int64_t ARROW_FLAG_NULLABLE = 2;
inline constexpr std::int64_t ARROW_FLAG_MAP_KEYS_SORTED = 4;

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

// The names under which the PyCapsule interface passes these structs.
inline constexpr const char* ARROW_SCHEMA_CAPSULE_NAME = "arrow_schema";
inline constexpr const char* ARROW_ARRAY_STREAM_CAPSULE_NAME = "arrow_array_stream";
