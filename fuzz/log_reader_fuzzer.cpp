// The log reader over arbitrary bytes: the block and fragment procedure, then
// the write batch of every logical record, as LogFile::read_records runs them.
#include <cstdint>
#include <memory>
#include <string>

#include "check.hpp"
#include "log_file/log_reader.hpp"
#include "log_file/write_batch.hpp"

using namespace tarnwick;

namespace {

// Everything a record holds comes from the payload, and a batch entry takes at
// least two bytes (a tag and a key length), so the counts are bounded by the
// input.
void read(Bytes bytes, std::uint64_t size, const SharedPath& path) {
    std::uint64_t records = 0;
    std::uint64_t payload_bytes = 0;
    for_each_logical_record(bytes, size, [&](std::uint64_t offset, Bytes payload) {
        FUZZ_CHECK(offset <= bytes.size());
        payload_bytes += payload.size();
        FUZZ_CHECK(payload_bytes <= bytes.size());
        parse_write_batch(offset, payload, path, [&](const RecordView& record) {
            ++records;
            FUZZ_CHECK(record.key.size() + record.value.size() <= payload.size());
            FUZZ_CHECK(record.offset >= offset + BATCH_HEADER_SIZE);
            FUZZ_CHECK(record.offset < offset + payload.size());
            FUZZ_CHECK(record.state <= KeyState::Unknown);
        });
    });
    FUZZ_CHECK(records <= bytes.size() / 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const SharedPath path("000001.log");
    const Bytes bytes(data, size);
    read(bytes, size, path);
    // A file truncated between its measurement and its mapping: the size
    // claims more than the bytes hold.
    read(bytes.first(size / 2), size, path);
    return 0;
}
