#include "log_file/log_reader.hpp"

#include <algorithm>

#include "db/byte_buffer.hpp"

namespace tarnwick {

void for_each_logical_record(Bytes bytes, std::uint64_t size, LogicalRecordVisitor visit) {
    const std::size_t total = static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes.size()));
    ByteBuffer fragment;
    bool assembling = false;
    std::uint64_t first_offset = 0;

    for (std::size_t base = 0; base < total; base += LOG_BLOCK_SIZE) {
        const Bytes block = bytes.subspan(base, std::min(LOG_BLOCK_SIZE, total - base));
        std::size_t p = 0;
        while (p + LOG_HEADER_SIZE <= block.size()) {
            const std::uint8_t type = block[p + 6];
            if (type > 4) break;
            const std::size_t length = read_fixed16(block, p + 4);
            if (p + LOG_HEADER_SIZE + length > block.size()) break;
            const Bytes payload = block.subspan(p + LOG_HEADER_SIZE, length);
            p += LOG_HEADER_SIZE + length;
            const std::uint64_t end = base + p;

            switch (static_cast<RecordType>(type)) {
                case RecordType::Zero:
                    break;
                case RecordType::Full:
                    assembling = false;
                    visit(end, payload);
                    break;
                case RecordType::First:
                    fragment.assign(payload);
                    first_offset = end;
                    assembling = true;
                    break;
                case RecordType::Middle:
                    if (assembling) fragment.append(payload);
                    break;
                case RecordType::Last:
                    if (assembling) {
                        fragment.append(payload);
                        assembling = false;
                        visit(first_offset, fragment.bytes());
                    }
                    break;
            }
        }
    }
}

std::vector<LogicalRecord> read_logical_records(Bytes bytes, std::uint64_t size) {
    std::vector<LogicalRecord> records;
    for_each_logical_record(bytes, size, [&](std::uint64_t offset, Bytes payload) {
        records.push_back({offset, std::vector<std::uint8_t>(payload.begin(), payload.end())});
    });
    return records;
}

}  // namespace tarnwick
