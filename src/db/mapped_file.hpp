// Read-only access to one whole file through a memory mapping.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "util/os_error.hpp"
#include "varint/varint.hpp"

namespace tarnwick {

// What an open by name accepts under that name. A listing looks at an entry
// (without following it, where links are not followed) and only later is the
// file opened again by name to be read; meanwhile another process may have put
// something else there.
enum class OpenAs : std::uint8_t {
    Anything,     // whatever the name leads to now, through links
    RegularFile,  // a regular file under that very name: a link there is not followed, and
                  // a link or anything but a regular file that took the name fails the open
};

class MappedFile {
   public:
    // Opens the file read-only and takes its length from its metadata. Other
    // processes may still read, write, rename or delete it. Nothing is mapped
    // yet. Where the system allows it the access time is left untouched, so
    // that reading evidence does not change it.
    [[nodiscard]] static std::expected<MappedFile, OsError> open(const std::string& path);
    // The same for the entry `name` of the directory open as `dir_fd`, so that
    // a directory whose path is near the system's limit is still reachable.
    [[nodiscard]] static std::expected<MappedFile, OsError> open_at(int dir_fd, const std::string& name,
                                                                    OpenAs as = OpenAs::Anything);

    // Maps the whole file (its length as measured at open), read-only.
    [[nodiscard]] std::expected<void, OsError> map();

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
    // length. A pass (FilePass) takes this once, at its start.
    Bytes readable_view() const noexcept;

    // The file's length now, from its metadata; absent when it cannot be read.
    [[nodiscard]] std::optional<std::uint64_t> current_length() const noexcept;

    // Where data lies in a sparse file. seek_data gives the first offset at or
    // after `from` that holds data, seek_hole the first at or after `from` that
    // lies in a hole (the file's end counts as one). A file system that does
    // not know of holes reports the whole file as data. Absent when there is
    // no data at or after `from`, or the system cannot say.
    [[nodiscard]] std::optional<std::uint64_t> seek_data(std::uint64_t from) const noexcept;
    [[nodiscard]] std::optional<std::uint64_t> seek_hole(std::uint64_t from) const noexcept;

    // Maps the file's pages over the whole mapping again, at the same address:
    // pages that a truncation guard replaced by zeros while the file was
    // shorter show the file's bytes again (or fault again, if it still is).
    void restore_pages() const noexcept;

   private:
    MappedFile(int fd, std::uint64_t length) noexcept : fd_(fd), length_(length) {}
    void release() noexcept;

    int fd_ = -1;
    std::uint64_t length_ = 0;
    void* mapping_ = nullptr;
};

}  // namespace tarnwick
