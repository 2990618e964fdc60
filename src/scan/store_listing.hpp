// The directory listing of one store, as the scanner reads it: the directory
// stays open, and its data files are named relative to it, so that they can be
// opened one at a time when they are read (openat) however long the
// directory's own path is.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "store/db_error.hpp"
#include "db/data_file_name.hpp"

namespace tarnwick {

// An open directory descriptor, closed when dropped.
class DirectoryFd {
   public:
    DirectoryFd() = default;
    explicit DirectoryFd(int fd) noexcept : fd_(fd) {}
    DirectoryFd(DirectoryFd&& other) noexcept;
    DirectoryFd& operator=(DirectoryFd&& other) noexcept;
    DirectoryFd(const DirectoryFd&) = delete;
    DirectoryFd& operator=(const DirectoryFd&) = delete;
    ~DirectoryFd();

    int get() const noexcept { return fd_; }

   private:
    int fd_ = -1;
};

// A data file admitted for reading.
struct ListedFile {
    std::string name;          // the entry's name in the directory
    std::string display_path;  // the directory as given, a separator, the name
    std::string display_text;  // the same as UTF-8 (see utf8_text), for records
    DataFileKind kind;
    std::uint64_t number;
    std::uint64_t size;  // at listing time; only used to share out the work
};

// An entry that is not read, and why.
struct ListedEntry {
    enum class Status : std::uint8_t {
        NotAdmitted,  // looks like a data file (its extension says so) but is not read as one
        NotData,      // another file of a store: CURRENT, LOCK, LOG, LOG.old, MANIFEST-…
    };
    std::string name;
    std::string display_path;
    Status status;
    std::string reason;
};

struct StoreListing {
    std::string directory;  // as the caller gave it
    DirectoryFd fd;
    // In reading order: sorted by name, then stably by file number, and
    // mirrored when reading in reverse, exactly as RawLevelDb orders them.
    std::vector<ListedFile> files;
    std::vector<ListedEntry> others;  // in name order
};

// Lists a directory (following a link to it), opened read-only and, where the
// system allows it, without changing its access time. Admits what Db::open
// admits: regular files (following links) whose names are valid UTF-8 and
// data file names. Only a path that is not a directory and a directory that
// cannot be listed fail, with the same errors as Db::open.
[[nodiscard]] std::expected<StoreListing, DbError> list_store(const std::string& directory, bool reverse);

}  // namespace tarnwick
