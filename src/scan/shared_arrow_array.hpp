// Arrow arrays that share the memory of one exported batch.
//
// A consumer may release each array of a batch on its own (move a column out,
// then release the struct), so the batch's storage counts its live arrays
// (`Storage::live`, an std::atomic<std::size_t>) and is deleted with the last.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "scan/arrow_c_abi.hpp"

namespace tarnwick {

template <class Storage>
void release_shared_array(ArrowArray* array) {
    auto* storage = static_cast<Storage*>(array->private_data);
    if (array->dictionary != nullptr && array->dictionary->release != nullptr) {
        array->dictionary->release(array->dictionary);
    }
    for (std::int64_t i = 0; i < array->n_children; ++i) {
        if (array->children[i]->release != nullptr) array->children[i]->release(array->children[i]);
    }
    array->release = nullptr;
    if (storage->live.fetch_sub(1, std::memory_order_acq_rel) == 1) delete storage;
}

// Makes `array` one of the storage's arrays, its buffers listed in `slots`
// (room for as many pointers as `buffers` holds, inside the storage).
template <class Storage>
void fill_shared_array(ArrowArray& array, Storage* storage, const void** slots, std::int64_t length,
                       std::int64_t nulls, std::initializer_list<const void*> buffers) {
    std::size_t n = 0;
    for (const void* b : buffers) slots[n++] = b;
    array.length = length;
    array.null_count = nulls;
    array.offset = 0;
    array.n_buffers = static_cast<std::int64_t>(n);
    array.n_children = 0;
    array.children = nullptr;
    array.dictionary = nullptr;
    array.buffers = slots;
    array.release = release_shared_array<Storage>;
    array.private_data = storage;
    storage->live.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tarnwick
