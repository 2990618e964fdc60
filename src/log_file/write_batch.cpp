#include "log_file/write_batch.hpp"

namespace tarnwick {

namespace {

KeyState state_of_tag(std::uint8_t tag) noexcept {
    switch (tag) {
        case TYPE_DELETION: return KeyState::Deleted;
        case TYPE_VALUE: return KeyState::Live;
        default: return KeyState::Unknown;
    }
}

}  // namespace

void parse_write_batch(std::uint64_t record_offset, Bytes payload, const SharedPath& origin_file,
                       RecordSink sink) {
    if (payload.size() < BATCH_HEADER_SIZE) return;
    const std::uint64_t sequence = read_fixed64(payload, BATCH_SEQUENCE_OFFSET);
    const std::uint32_t count = read_fixed32(payload, BATCH_COUNT_OFFSET);
    const Bytes entries = payload.subspan(BATCH_HEADER_SIZE);
    const std::uint64_t entries_offset = record_offset + BATCH_HEADER_SIZE;

    ByteCursor cursor(entries);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t entry_start = cursor.pos;
        if (cursor.remaining() < 2) return;  // no tag, or nothing after it
        const std::uint8_t tag = entries[cursor.pos++];
        const auto key = cursor.read_length_prefixed_slice32();
        if (!key) return;
        Bytes value;
        if (tag != TYPE_DELETION) {
            const auto got = cursor.read_length_prefixed_slice32();
            if (!got) return;
            value = *got;
        }
        sink(RecordView{*key, value, sequence + i, state_of_tag(tag), FileKind::Log, origin_file,
                        entries_offset + entry_start, false});
    }
}

}  // namespace tarnwick
