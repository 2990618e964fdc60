// What a scan read and what it could not: one line per directory entry of the
// store, with the reasons the readers gave.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/pass_observer.hpp"
#include "store/store_listing.hpp"

namespace tarnwick {

// Bytes of a file from which nothing was decoded, and why.
struct UnreadRange {
    std::uint64_t begin;
    std::uint64_t end;
    std::string reason;
};

// Bytes of a table that its index does not account for, where salvage found
// intact data blocks by their checksums.
struct CarvedRange {
    std::uint64_t begin;
    std::uint64_t end;
};

struct FileReport {
    enum class Status : std::uint8_t {
        Pending,   // not read (yet)
        Read,      // opened and read; damage may still have cost records (see unread)
        LeftOut,   // its reader refused it; `reason` says why
        Filtered,  // not read because the scan asked only for the other kind of file
        Salvaged,  // records came from blocks found by carving (see `carved`); `reason` says why the
                   // index could not be used, when it could not
    };

    std::string name;
    std::string display_path;
    DataFileKind kind;
    std::uint64_t number;
    std::uint64_t size;  // at listing time
    Status status = Status::Pending;
    std::string reason;
    std::uint64_t records = 0;  // every record decoded, before any filter of the scan
    // The same records by state, and those that came from a compressed block.
    std::uint64_t deleted = 0;
    std::uint64_t live = 0;
    std::uint64_t unknown = 0;
    std::uint64_t compressed = 0;
    std::uint64_t blocks_read = 0;
    std::uint64_t blocks_skipped = 0;
    std::vector<UnreadRange> unread;
    std::vector<CarvedRange> carved;  // in file order
};

// What the store's manifest says of its table files, set against the listing.
struct ManifestReport {
    std::string name;
    bool read = false;
    std::string reason;                  // why it could not be read
    std::vector<std::uint64_t> missing;  // tables it lists that the directory does not hold as data files
    std::vector<std::string> unlisted;   // table files the directory holds that it does not list
};

struct ReadReport {
    std::string directory;
    std::vector<FileReport> files;     // in reading order
    std::vector<ListedEntry> others;   // entries not read, in name order
    std::optional<ManifestReport> manifest;  // absent when the store has none that may be read
    bool finished = false;             // the scan ran to its end
    // Everything was read: the scan finished, every data file was read whole
    // (none left out, cut short, shrunk while read or holding bytes from which
    // nothing was decoded) and no entry named like a data file was passed over
    // (not admitted, or a link). Files a filter of the scan asked not to read
    // do not count.
    bool complete = false;
};

// Sets `complete` from the rest of the report.
void settle_completeness(ReadReport& report) noexcept;

// Compares the tables the manifest lists with the table files of the listing.
[[nodiscard]] std::optional<ManifestReport> manifest_report(const StoreListing& listing);

// Collects what one pass of a reader reports about the bytes it could not
// decode into a FileReport.
class ReportObserver final : public PassObserver {
   public:
    explicit ReportObserver(FileReport& report) noexcept : report_(report) {}

    void block_read(std::uint64_t offset, std::uint64_t size) override;
    void block_carved(std::uint64_t offset, std::uint64_t size) override;
    void block_skipped(std::uint64_t offset, std::uint64_t size, std::string_view reason) override;
    void bytes_skipped(std::uint64_t begin, std::uint64_t end, std::string_view reason) override;
    void stopped(std::uint64_t offset, std::string_view reason) override;

   private:
    void add_unread(std::uint64_t begin, std::uint64_t end, std::string_view reason);
    FileReport& report_;
};

// The report of a listing before anything is read (the manifest's part apart).
[[nodiscard]] ReadReport initial_report(const StoreListing& listing);

std::string_view status_name(FileReport::Status status) noexcept;
std::string_view status_name(ListedEntry::Status status) noexcept;
std::string_view kind_name(DataFileKind kind) noexcept;

}  // namespace tarnwick
