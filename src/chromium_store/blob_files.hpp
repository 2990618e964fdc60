// The blob files of an IndexedDB store, read as evidence.
//
// A Blob's bytes lie in <blob folder>/<database id, hex>/<second-lowest byte
// of the blob number, two hex digits>/<blob number, hex>. Every folder from
// the store's blob folder down and the file itself are opened without
// following a link (so nothing outside that folder is ever read), without
// blocking (a FIFO put in a file's place cannot hang the reader) and, where
// the system grants it, without changing the access time. Only a regular file
// within the cap is read; a link, FIFO, device, folder or larger file is
// reported as what it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::chromium {

// Blob file contents up to this size are reported inline (hex) with a value.
inline constexpr std::uint64_t inline_blob_limit = std::uint64_t{1} << 20;
// A record value kept in a blob file is read up to this size; the value's
// budget then bounds what it decodes to.
inline constexpr std::uint64_t value_blob_limit = std::uint64_t{64} << 20;

enum class BlobStatus : std::uint8_t { Read, Missing, Link, NotRegular, Oversize, Unreadable };

struct BlobFile {
    std::string path;
    BlobStatus status = BlobStatus::Missing;
    std::vector<std::uint8_t> data;  // when read
    // A link's target, the kind of file, the size, or the system's error.
    std::string detail;

    // What it was found to be, in words: "read", "missing", "a symbolic link
    // to '…', not followed", "a FIFO, not read", "… bytes, over the …-byte
    // cap, not read", "unreadable (…)".
    [[nodiscard]] std::string describe() const;
    // Neither read nor simply absent: worth a warning.
    [[nodiscard]] bool unread() const { return status != BlobStatus::Read && status != BlobStatus::Missing; }
};

[[nodiscard]] std::string blob_file_path(const std::string& blob_folder, std::uint64_t database_id,
                                         std::uint64_t blob_number);

[[nodiscard]] BlobFile read_blob_file(const std::string& blob_folder, std::uint64_t database_id,
                                      std::uint64_t blob_number, std::uint64_t limit);

}  // namespace tarnwick::chromium
