// Placeholder encoders until the real ones land: one line per record with its
// file number, sequence number and sizes, so that the text scan can be built
// and tested for order and bounds. The owner of the encoders replaces this body.
#include "scan/text_encoders.hpp"

#include <string>

namespace tarnwick {

void append_text_header(TextFormat format, ByteBuffer& out) {
    if (format == TextFormat::Csv) {
        constexpr std::string_view header = "file_number,seq,key_size,value_size\n";
        out.append(Bytes(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
    }
}

void append_text_record(TextFormat, const RecordView& record, std::uint64_t file_number, ByteBuffer& out) {
    const std::string line = std::to_string(file_number) + "," + std::to_string(record.seq) + "," +
                             std::to_string(record.key.size()) + "," + std::to_string(record.value.size()) + "\n";
    out.append(Bytes(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
}

}  // namespace tarnwick
