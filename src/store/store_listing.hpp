// The one listing of a store's directory, which both RawLevelDb's database and
// the scanner read from: the directory stays open, and its data files are
// named relative to it, so that each is opened only when it is read (openat),
// however long the directory's own path is.
//
// One rule admits a data file (data_file_name, on a regular file whose name is
// text) and one order reads them: by name, then stably by file number.
//
// The scanner may also ask for files whatever their names, for copies and
// carved pieces of stores that have lost their names: one file given by its
// own path, or every file of a directory whose content is a table or a log
// (see ListingRules and kind_by_content).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "db/data_file_name.hpp"
#include "db/mapped_file.hpp"
#include "manifest/manifest.hpp"
#include "store/db_error.hpp"
#include "util/bytes.hpp"

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

// What a symbolic link among the entries is taken for.
enum class LinkRule : std::uint8_t {
    Follow,  // the entry is what the link leads to (RawLevelDb has always read stores so)
    Report,  // never followed: the entry is listed as a link, with its target
};

// What the listing admits besides the files named like data files.
struct ListingRules {
    LinkRule links = LinkRule::Follow;
    bool reverse = false;
    // A path that names a file (not a directory) is read as a store holding
    // that file alone, whatever its name: its kind comes from a data file
    // name when it has one, else from its content, a table when its last 8
    // bytes are the table magic number and a log otherwise. The file itself
    // is never followed through a link.
    bool single_file = false;
    // In a directory, every other regular file whose content is a table or
    // starts like a log (kind_by_content) is admitted too; its number is 0.
    bool any_name = false;
    // A single file's kind whatever its name and content.
    std::optional<DataFileKind> forced_kind;
};

// What a file's content says it is, for a file whose name does not.
struct ContentVerdict {
    std::optional<DataFileKind> kind;  // absent: neither
    std::string reason;                // why neither
};

// A table when its last TABLE_MAGIC_SIZE bytes are the table magic number.
// Otherwise a log when `log_by_default`, and else only when it starts like
// one: a first record header whose type is Full, First, Middle or Last and
// whose length fits in the first block and in the content (checksums are not
// read). Random bytes pass that test at most once in about 130 files (a type
// byte of 1 to 4, then a length below half the range), fewer when small;
// zeros and printable text never do.
[[nodiscard]] ContentVerdict kind_by_content(Bytes content, bool log_by_default);

// A data file admitted for reading.
struct ListedFile {
    std::string name;          // the entry's name in the directory
    std::string display_path;  // the directory as given, a separator, the name (a single file: its path as given)
    std::string display_text;  // the same as UTF-8, for records; left empty here, the scanner fills it
    DataFileKind kind;
    std::uint64_t number;  // the engine's file number: the name's digits in base 10, 0 for another name
    std::uint64_t size;    // at listing time; only used to share out the work
};

// An entry that is not read as a data file, and why.
struct ListedEntry {
    enum class Status : std::uint8_t {
        NotAdmitted,  // looks like a data file (its extension says so) but is not read as one
        NotData,      // another file of a store: CURRENT, LOCK, LOG, LOG.old, MANIFEST-…
        Link,         // a symbolic link named like a file of the store, not followed
    };
    std::string name;
    std::string display_path;
    Status status;
    std::string reason;
    std::uint64_t size = 0;  // of the entry itself (a link's own size), 0 when it cannot be examined
    std::string target;      // a link's target as it is written, bytes as they are
};

struct StoreListing {
    std::string directory;  // as the caller gave it
    DirectoryFd fd;
    // In reading order: sorted by name, then stably by file number, and
    // mirrored when reading in reverse.
    std::vector<ListedFile> files;
    std::vector<ListedEntry> others;  // in name order
    // The manifest with the highest number among every entry's name (the
    // first listed among equal numbers), whatever the entry is.
    std::optional<ManifestChoice::Chosen> manifest;
    // How its entries are opened again to be read: as regular files, never
    // through a link, unless links among the entries are followed.
    OpenAs open_as = OpenAs::Anything;
};

// Lists a directory (following a link to the directory itself), opened
// read-only and, where the system allows it, without changing its access
// time. Admits regular files whose names are valid UTF-8 and data file names;
// `links` says whether a link among the entries counts as what it leads to.
// Only a path that is not a directory (or holds a NUL byte) and a directory
// that cannot be listed fail.
[[nodiscard]] std::expected<StoreListing, DbError> list_store(const std::string& directory, LinkRule links,
                                                              bool reverse);

// The same with the rules for files of any name. With single_file, a path
// that names anything but a directory is listed as that one entry (the
// listing's fd is then the directory that holds it); a missing path still
// fails as not a directory.
[[nodiscard]] std::expected<StoreListing, DbError> list_store(const std::string& path, const ListingRules& rules);

// The names the engine gives the other files of a store.
[[nodiscard]] bool is_store_bookkeeping(std::string_view name) noexcept;

}  // namespace tarnwick
