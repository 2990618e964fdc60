// Byte-building helpers for the unit tests: varints and fixed-width integers,
// log physical records and write batches, table blocks, footers and whole
// table files, and a temporary directory to write files into.
//
// The builders write exactly what they are told, including damage: a length
// that runs past the end, a restart count that does not fit, a wrong magic.
#pragma once

#include <snappy.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ldb_file/block_handle.hpp"
#include "ldb_file/ldb_file.hpp"
#include "log_file/log_reader.hpp"
#include "varint/varint.hpp"

namespace tarnwick::test {

using ByteVec = std::vector<std::uint8_t>;

inline ByteVec bytes_of(std::string_view text) { return ByteVec(text.begin(), text.end()); }
inline std::string text_of(Bytes bytes) { return std::string(bytes.begin(), bytes.end()); }
inline std::string text_of(const ByteVec& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A text as a test-name suffix: bytes outside printable ASCII, and spaces,
// as \xHH, so that every case gets a distinct name without blanks.
inline std::string printable(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b > 0x20 && b < 0x7F && c != '"' && c != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out + "\"";
}

inline void append(ByteVec& out, Bytes more) { out.insert(out.end(), more.begin(), more.end()); }
inline void append(ByteVec& out, std::string_view more) { out.insert(out.end(), more.begin(), more.end()); }
inline void append(ByteVec& out, std::initializer_list<std::uint8_t> more) { out.insert(out.end(), more); }

inline void put_varint(ByteVec& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

inline ByteVec varint(std::uint64_t value) {
    ByteVec out;
    put_varint(out, value);
    return out;
}

template <class T>
void put_fixed(ByteVec& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
inline void put_fixed16(ByteVec& out, std::uint16_t v) { put_fixed(out, v); }
inline void put_fixed32(ByteVec& out, std::uint32_t v) { put_fixed(out, v); }
inline void put_fixed64(ByteVec& out, std::uint64_t v) { put_fixed(out, v); }

inline void put_length_prefixed(ByteVec& out, std::string_view text) {
    put_varint(out, text.size());
    append(out, text);
}

// ---------------------------------------------------------------------------
// Log format

// One physical record: 4 checksum bytes (never read, so any value), the
// payload length, the type byte and the payload. `length` overrides the
// stored length, to make a header that lies about its payload.
inline void put_physical(ByteVec& out, std::uint8_t type, std::string_view payload,
                         std::optional<std::uint16_t> length = std::nullopt) {
    append(out, {0xDE, 0xAD, 0xBE, 0xEF});
    put_fixed16(out, length.value_or(static_cast<std::uint16_t>(payload.size())));
    out.push_back(type);
    append(out, payload);
}

inline constexpr std::uint8_t kZero = 0, kFull = 1, kFirst = 2, kMiddle = 3, kLast = 4;

// Pads with `fill` up to the next 32 KiB block boundary.
inline void pad_to_block_end(ByteVec& out, std::uint8_t fill = 0) {
    while (out.size() % LOG_BLOCK_SIZE != 0) out.push_back(fill);
}

// The payload size that makes a physical record end `left` bytes before the
// end of the current block.
inline std::size_t payload_to_leave(const ByteVec& out, std::size_t left) {
    return LOG_BLOCK_SIZE - out.size() % LOG_BLOCK_SIZE - LOG_HEADER_SIZE - left;
}

struct BatchEntry {
    std::uint8_t tag;
    std::string key;
    std::string value;  // not written for tag 0
};

// The bytes of one entry as a write batch stores it.
inline ByteVec batch_entry(const BatchEntry& entry) {
    ByteVec out{entry.tag};
    put_length_prefixed(out, entry.key);
    if (entry.tag != 0) put_length_prefixed(out, entry.value);
    return out;
}

// A write batch: sequence number, count (as stored, whatever the entries),
// then the entries.
inline ByteVec write_batch(std::uint64_t seq, std::uint32_t count, const std::vector<BatchEntry>& entries) {
    ByteVec out;
    put_fixed64(out, seq);
    put_fixed32(out, count);
    for (const BatchEntry& entry : entries) append(out, batch_entry(entry));
    return out;
}

inline ByteVec write_batch(std::uint64_t seq, const std::vector<BatchEntry>& entries) {
    return write_batch(seq, static_cast<std::uint32_t>(entries.size()), entries);
}

// A log file holding each payload as one Full record (all within the first
// block; the payloads must be small).
inline ByteVec log_of_full_records(const std::vector<ByteVec>& payloads) {
    ByteVec out;
    for (const ByteVec& payload : payloads) put_physical(out, kFull, text_of(payload));
    return out;
}

// ---------------------------------------------------------------------------
// Table format

// A stored table key: the user key and an 8-byte trailer of (seq << 8 | type).
inline std::string internal_key(std::string_view user_key, std::uint64_t seq, std::uint8_t type) {
    ByteVec trailer;
    put_fixed64(trailer, (seq << 8) | type);
    return std::string(user_key) + text_of(trailer);
}

// One raw entry: the three varints and the key delta and value as given.
inline void put_block_entry(ByteVec& out, std::uint64_t shared, std::string_view key_delta, std::string_view value) {
    put_varint(out, shared);
    put_varint(out, key_delta.size());
    put_varint(out, value.size());
    append(out, key_delta);
    append(out, value);
}

// Appends a restart array holding `slots` and its count.
inline void put_restarts(ByteVec& out, const std::vector<std::uint32_t>& slots) {
    for (std::uint32_t slot : slots) put_fixed32(out, slot);
    put_fixed32(out, static_cast<std::uint32_t>(slots.size()));
}

// A sound block: each key stored with the prefix it shares with the one
// before, one restart point at 0.
inline ByteVec block_of(const std::vector<std::pair<std::string, std::string>>& entries) {
    ByteVec out;
    std::string previous;
    for (const auto& [key, value] : entries) {
        std::size_t shared = 0;
        while (shared < previous.size() && shared < key.size() && previous[shared] == key[shared]) ++shared;
        put_block_entry(out, shared, std::string_view(key).substr(shared), value);
        previous = key;
    }
    put_restarts(out, {0});
    return out;
}

inline ByteVec snappy_compress(const ByteVec& raw) {
    ByteVec compressed(snappy::MaxCompressedLength(raw.size()));
    std::size_t length = 0;
    snappy::RawCompress(reinterpret_cast<const char*>(raw.data()), raw.size(),
                        reinterpret_cast<char*>(compressed.data()), &length);
    compressed.resize(length);
    return compressed;
}

inline ByteVec encode_handle(const BlockHandle& handle) {
    ByteVec out;
    put_varint(out, handle.offset);
    put_varint(out, handle.size);
    return out;
}

// The 48-byte footer: meta-index handle, index handle, zero padding, magic.
inline ByteVec footer(const BlockHandle& meta_index, const BlockHandle& index, std::uint64_t magic = TABLE_MAGIC) {
    ByteVec out = encode_handle(meta_index);
    append(out, encode_handle(index));
    out.resize(40, 0);
    put_fixed64(out, magic);
    return out;
}

// Lays out a table file: blocks appended one after another, each with its
// trailer, then an index block and the footer.
class TableBuilder {
   public:
    // Raw bytes that belong to no block (to place blocks at chosen offsets).
    void add_filler(std::size_t count, std::uint8_t fill = 0) { file_.insert(file_.end(), count, fill); }

    // Appends the contents and a trailer of `type` and 4 checksum bytes.
    BlockHandle add_block(const ByteVec& contents, std::uint8_t type = 0, std::uint32_t checksum = 0x12345678) {
        const BlockHandle handle{file_.size(), contents.size()};
        append(file_, contents);
        file_.push_back(type);
        put_fixed32(file_, checksum);
        return handle;
    }

    // A data block of sound entries, listed in the index.
    BlockHandle add_data_block(const std::vector<std::pair<std::string, std::string>>& entries, std::uint8_t type = 0) {
        const ByteVec raw = block_of(entries);
        const BlockHandle handle = add_block(type == 0 ? raw : snappy_compress(raw), type);
        list(handle);
        return handle;
    }

    // Lists a block in the index, with an index key of its own.
    void list(const BlockHandle& handle) { list_value(encode_handle(handle)); }
    // Lists an index entry whose value is the given bytes.
    void list_value(const ByteVec& value) {
        index_.emplace_back("k" + std::to_string(index_.size()), text_of(value));
    }

    // The index block, then the footer.
    ByteVec finish(std::uint64_t magic = TABLE_MAGIC) {
        const BlockHandle index = add_block(block_of(index_));
        append(file_, footer({0, 0}, index, magic));
        return file_;
    }

    ByteVec& bytes() { return file_; }

   private:
    ByteVec file_;
    std::vector<std::pair<std::string, std::string>> index_;
};

// ---------------------------------------------------------------------------
// Files

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
   public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnwick-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string& path() const { return path_; }
    std::string path(std::string_view name) const { return path_ + "/" + std::string(name); }

    std::string write(std::string_view name, Bytes contents) const {
        const std::string full = path(name);
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
        if (!out) throw std::runtime_error("cannot write " + full);
        return full;
    }
    std::string write(std::string_view name, std::string_view contents) const {
        return write(name, Bytes(reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size()));
    }

   private:
    std::string path_;
};

}  // namespace tarnwick::test
