// The manifest's version-edit decoder over arbitrary bytes.
#include <cstdint>

#include "check.hpp"
#include "manifest/version_edit.hpp"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const VersionEdit edit = decode_version_edit(Bytes(data, size));
    // Every field consumes at least its tag byte, and every byte string is a
    // slice of the input.
    const std::size_t fields = edit.compact_pointers.size() + edit.deleted_files.size() + edit.new_files.size();
    FUZZ_CHECK(fields <= size);
    std::size_t copied = edit.comparator ? edit.comparator->size() : 0;
    for (const CompactPointer& pointer : edit.compact_pointers) copied += pointer.key.size();
    for (const NewFile& added : edit.new_files) copied += added.smallest.size() + added.largest.size();
    FUZZ_CHECK(copied <= size);
    return 0;
}
