#include "ldb_file/snappy.hpp"

#include <snappy.h>

namespace tarnwick {

std::expected<void, SnappyError> decompress_snappy(Bytes contents, ByteBuffer& out) {
    const auto* input = reinterpret_cast<const char*>(contents.data());
    // The header is the uncompressed length as a varint of at most 5 bytes.
    const auto header = decode_varint32(contents, 0);
    std::size_t length = 0;
    if (!header || !snappy::GetUncompressedLength(input, contents.size(), &length)) {
        return std::unexpected(SnappyError{"invalid uncompressed length header"});
    }
    if (length > snappy_max_expansion(contents.size() - header->length)) {
        return std::unexpected(SnappyError{"uncompressed length " + std::to_string(length) +
                                           " is more than " + std::to_string(contents.size()) +
                                           " compressed bytes can hold"});
    }
    out.resize(length);
    if (!snappy::RawUncompress(input, contents.size(), reinterpret_cast<char*>(out.data()))) {
        out.clear();
        return std::unexpected(SnappyError{"corrupt input"});
    }
    return {};
}

std::expected<ByteBuffer, SnappyError> decompress_snappy(Bytes contents) {
    ByteBuffer out;
    if (auto done = decompress_snappy(contents, out); !done) return std::unexpected(std::move(done.error()));
    return out;
}

}  // namespace tarnwick
