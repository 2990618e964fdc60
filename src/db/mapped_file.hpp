// Read-only access to one whole file through a memory mapping.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "db/os_error.hpp"
#include "varint/varint.hpp"

namespace tarnwick {

class MappedFile {
   public:
    // Opens the file read-only and takes its length from its metadata. Other
    // processes may still read, write, rename or delete it. Nothing is mapped
    // yet. Where the system allows it the access time is left untouched, so
    // that reading evidence does not change it.
    static std::expected<MappedFile, OsError> open(const std::string& path);

    // Maps the whole file (its length as measured at open), read-only.
    std::expected<void, OsError> map();

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::uint64_t length() const noexcept { return length_; }
    bool is_mapped() const noexcept { return mapping_ != nullptr; }

    // The mapped bytes; empty when not mapped.
    Bytes view() const noexcept;

    // The mapped bytes that can be read right now. Touching a page of a shared
    // mapping beyond the current end of a file raises SIGBUS, so when the file
    // has been truncated since it was opened, the view is cut to its current
    // length. Readers take this once before each pass over the file.
    Bytes readable_view() const noexcept;

   private:
    MappedFile(int fd, std::uint64_t length) noexcept : fd_(fd), length_(length) {}
    void release() noexcept;

    int fd_ = -1;
    std::uint64_t length_ = 0;
    void* mapping_ = nullptr;
};

}  // namespace tarnwick
