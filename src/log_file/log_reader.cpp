#include "log_file/log_reader.hpp"

#include <algorithm>

#include "util/byte_buffer.hpp"

namespace tarnwick {

namespace {

// The fragments of one logical record being joined, and where they lie.
class Assembly {
   public:
    explicit Assembly(PassObserver* observer) noexcept : observer_(observer) {}

    bool active() const noexcept { return active_; }

    void start(std::uint64_t header_at, std::uint64_t end, Bytes payload) {
        abandon("a new record began before this one ended");
        fragment_.assign(payload);
        begin_ = header_at;
        end_ = end;
        offset_ = end;
        active_ = true;
    }
    void append(std::uint64_t end, Bytes payload) {
        fragment_.append(payload);
        end_ = end;
    }
    // The whole record, and where it is reported to lie; the assembly is over.
    std::pair<std::uint64_t, Bytes> finish() noexcept {
        active_ = false;
        return {offset_, fragment_.bytes()};
    }
    void abandon(std::string_view reason) {
        if (active_ && observer_ != nullptr) observer_->bytes_skipped(begin_, end_, reason);
        active_ = false;
    }

   private:
    PassObserver* observer_;
    ByteBuffer fragment_;
    std::uint64_t begin_ = 0;   // the First fragment's header
    std::uint64_t end_ = 0;     // just past the last fragment joined
    std::uint64_t offset_ = 0;  // just past the First fragment
    bool active_ = false;
};

}  // namespace

void for_each_logical_record(FilePass& pass, LogicalRecordVisitor visit, PassObserver* observer) {
    const std::uint64_t total = pass.size();
    ByteBuffer scratch;
    Assembly assembly(observer);
    const auto skipped = [&](std::uint64_t begin, std::uint64_t end, std::string_view reason) {
        if (observer != nullptr && begin < end) observer->bytes_skipped(begin, end, reason);
    };

    for (std::uint64_t base = 0; base < total; base += LOG_BLOCK_SIZE) {
        // A block of zeros holds only empty records of type Zero, which change
        // nothing: jump to the block where data begins again.
        const std::uint64_t data = pass.next_data(base);
        if (data >= total) break;
        if (data - base >= LOG_BLOCK_SIZE) base = data - data % LOG_BLOCK_SIZE;

        const std::uint64_t length = std::min<std::uint64_t>(LOG_BLOCK_SIZE, total - base);
        const auto read = pass.read(base, length, scratch, /*copy=*/true);
        if (!read) {
            assembly.abandon(kFileShrankReason);
            if (observer != nullptr) observer->stopped(base, kFileShrankReason);
            return;
        }
        const Bytes block = *read;
        std::size_t p = 0;
        while (p + LOG_HEADER_SIZE <= block.size()) {
            const std::size_t header_at = p;
            const std::uint8_t type = block[p + LOG_HEADER_TYPE_AT];
            if (type > static_cast<std::uint8_t>(RecordType::Last)) {
                skipped(base + p, base + block.size(), "a physical record of unknown type");
                break;
            }
            const std::size_t payload_length = read_fixed16(block, p + LOG_HEADER_LENGTH_AT);
            if (p + LOG_HEADER_SIZE + payload_length > block.size()) {
                skipped(base + p, base + block.size(), "a physical record that runs past its block");
                break;
            }
            const Bytes payload = block.subspan(p + LOG_HEADER_SIZE, payload_length);
            p += LOG_HEADER_SIZE + payload_length;
            const std::uint64_t end = base + p;

            switch (static_cast<RecordType>(type)) {
                case RecordType::Zero:
                    break;
                case RecordType::Full:
                    assembly.abandon("a new record began before this one ended");
                    visit(end, payload);
                    break;
                case RecordType::First:
                    assembly.start(base + header_at, end, payload);
                    break;
                case RecordType::Middle:
                    if (assembly.active()) {
                        assembly.append(end, payload);
                    } else {
                        skipped(base + header_at, end, "a fragment without the start of its record");
                    }
                    break;
                case RecordType::Last:
                    if (assembly.active()) {
                        assembly.append(end, payload);
                        const auto [offset, whole] = assembly.finish();
                        visit(offset, whole);
                    } else {
                        skipped(base + header_at, end, "a fragment without the start of its record");
                    }
                    break;
            }
        }
    }
    assembly.abandon("a record not finished when the file ends");
}

void for_each_logical_record(Bytes bytes, std::uint64_t size, LogicalRecordVisitor visit) {
    FilePass pass(bytes.first(static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes.size()))));
    for_each_logical_record(pass, visit);
}

std::vector<LogicalRecord> read_logical_records(Bytes bytes, std::uint64_t size) {
    std::vector<LogicalRecord> records;
    for_each_logical_record(bytes, size, [&](std::uint64_t offset, Bytes payload) {
        records.push_back({offset, std::vector<std::uint8_t>(payload.begin(), payload.end())});
    });
    return records;
}

}  // namespace tarnwick
