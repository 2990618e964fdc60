#include "manifest/version_edit.hpp"

#include "util/file_name.hpp"

namespace tarnwick {

namespace {

Bytes slice_or_empty(std::optional<Bytes> bytes) { return bytes.value_or(Bytes{}); }

// A tag needs at least one byte of field after it: a last byte alone is no field.
constexpr std::size_t kSmallestField = 2;

}  // namespace

void for_each_version_edit_field(Bytes record, FunctionRef<void(const VersionEditField&)> visit) {
    ByteCursor cursor(record);
    while (cursor.remaining() >= kSmallestField) {
        const auto tag_number = cursor.read_varint32();
        if (!tag_number) return;
        const auto tag = static_cast<VersionEditTag>(*tag_number);
        switch (tag) {
            case VersionEditTag::Comparator:
                if (const auto name = cursor.read_length_prefixed_slice()) {
                    const std::string_view text(reinterpret_cast<const char*>(name->data()), name->size());
                    visit(ComparatorField{is_valid_utf8(text) ? std::optional(text) : std::nullopt});
                }
                break;
            case VersionEditTag::LogNumber:
            case VersionEditTag::NextFileNumber:
            case VersionEditTag::LastSequence:
            case VersionEditTag::PrevLogNumber:
                visit(NumberField{tag, cursor.read_varint64()});
                break;
            case VersionEditTag::CompactPointer: {
                CompactPointer pointer;
                pointer.level = cursor.read_varint32().value_or(0);
                pointer.key = slice_or_empty(cursor.read_length_prefixed_slice());
                visit(pointer);
                break;
            }
            case VersionEditTag::DeletedFile: {
                DeletedFile deleted;
                deleted.level = cursor.read_varint32().value_or(0);
                deleted.number = cursor.read_varint64().value_or(0);
                visit(deleted);
                break;
            }
            case VersionEditTag::NewFile: {
                NewFile added;
                added.level = cursor.read_varint32().value_or(0);
                added.number = cursor.read_varint64().value_or(0);
                added.file_size = cursor.read_varint64().value_or(0);
                added.smallest = slice_or_empty(cursor.read_length_prefixed_slice());
                added.largest = slice_or_empty(cursor.read_length_prefixed_slice());
                visit(added);
                break;
            }
            default:
                return;
        }
    }
}

VersionEdit decode_version_edit(Bytes record) {
    VersionEdit edit;
    for_each_version_edit_field(record, [&](const VersionEditField& field) {
        if (const auto* comparator = std::get_if<ComparatorField>(&field)) {
            edit.comparator = comparator->name;
        } else if (const auto* number = std::get_if<NumberField>(&field)) {
            switch (number->tag) {
                case VersionEditTag::LogNumber: edit.log_number = number->value; break;
                case VersionEditTag::NextFileNumber: edit.next_file_number = number->value; break;
                case VersionEditTag::LastSequence: edit.last_sequence = number->value; break;
                case VersionEditTag::PrevLogNumber: edit.prev_log_number = number->value; break;
                default: break;
            }
        } else if (const auto* pointer = std::get_if<CompactPointer>(&field)) {
            edit.compact_pointers.push_back(*pointer);
        } else if (const auto* deleted = std::get_if<DeletedFile>(&field)) {
            edit.deleted_files.push_back(*deleted);
        } else {
            edit.new_files.push_back(std::get<NewFile>(field));
        }
    });
    return edit;
}

}  // namespace tarnwick
