#include "manifest/version_edit.hpp"

#include "db/file_name.hpp"

namespace tarnwick {

namespace {

std::vector<std::uint8_t> owned(std::optional<Bytes> bytes) {
    if (!bytes) return {};
    return {bytes->begin(), bytes->end()};
}

}  // namespace

VersionEdit decode_version_edit(Bytes bytes) {
    VersionEdit edit;
    ByteCursor cursor(bytes);
    while (cursor.remaining() >= 2) {
        const auto tag = cursor.read_varint32();
        if (!tag) break;
        switch (*tag) {
            case 1:
                if (const auto name = cursor.read_length_prefixed_slice()) {
                    const std::string_view text(reinterpret_cast<const char*>(name->data()), name->size());
                    edit.comparator = is_valid_utf8(text) ? std::optional<std::string>(text) : std::nullopt;
                }
                break;
            case 2: edit.log_number = cursor.read_varint64(); break;
            case 3: edit.next_file_number = cursor.read_varint64(); break;
            case 4: edit.last_sequence = cursor.read_varint64(); break;
            case 9: edit.prev_log_number = cursor.read_varint64(); break;
            case 5: {
                CompactPointer pointer;
                pointer.level = cursor.read_varint32().value_or(0);
                pointer.key = owned(cursor.read_length_prefixed_slice());
                edit.compact_pointers.push_back(std::move(pointer));
                break;
            }
            case 6: {
                DeletedFile deleted;
                deleted.level = cursor.read_varint32().value_or(0);
                deleted.number = cursor.read_varint64().value_or(0);
                edit.deleted_files.push_back(deleted);
                break;
            }
            case 7: {
                NewFile added;
                added.level = cursor.read_varint32().value_or(0);
                added.number = cursor.read_varint64().value_or(0);
                added.file_size = cursor.read_varint64().value_or(0);
                added.smallest = owned(cursor.read_length_prefixed_slice());
                added.largest = owned(cursor.read_length_prefixed_slice());
                edit.new_files.push_back(std::move(added));
                break;
            }
            default:
                return edit;
        }
    }
    return edit;
}

}  // namespace tarnwick
