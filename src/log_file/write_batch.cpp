#include "log_file/write_batch.hpp"

namespace tarnwick {

namespace {

KeyState state_of_tag(std::uint8_t tag) noexcept {
    switch (tag) {
        case 0: return KeyState::Deleted;
        case 1: return KeyState::Live;
        default: return KeyState::Unknown;
    }
}

// A varint length followed by that many bytes, starting at `pos`. On success
// `pos` moves past them.
std::optional<Bytes> read_length_prefixed32(Bytes entries, std::size_t& pos) noexcept {
    const auto length = decode_varint32(entries, pos);
    if (!length) return std::nullopt;
    const auto bytes = read_bytes(entries, pos + length->length, length->value);
    if (!bytes) return std::nullopt;
    pos += length->length + bytes->size();
    return bytes;
}

}  // namespace

void parse_write_batch(std::uint64_t record_offset, Bytes payload, const SharedPath& origin_file,
                       RecordSink sink) {
    if (payload.size() < BATCH_HEADER_SIZE) return;
    const std::uint64_t sequence = read_fixed64(payload, 0);
    const std::uint32_t count = read_fixed32(payload, 8);
    const Bytes entries = payload.subspan(BATCH_HEADER_SIZE);
    const std::uint64_t entries_offset = record_offset + BATCH_HEADER_SIZE;

    std::size_t q = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (q + 1 >= entries.size()) return;  // no tag, or nothing after it
        const std::uint8_t tag = entries[q];
        std::size_t pos = q + 1;
        const auto key = read_length_prefixed32(entries, pos);
        if (!key) return;
        Bytes value;
        if (tag != 0) {
            if (pos >= entries.size()) return;
            const auto got = read_length_prefixed32(entries, pos);
            if (!got) return;
            value = *got;
        }
        sink(RecordView{*key, value, sequence + i, state_of_tag(tag), FileKind::Log, origin_file,
                        entries_offset + q, false});
        q = pos;
    }
}

}  // namespace tarnwick
