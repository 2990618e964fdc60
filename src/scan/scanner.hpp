// Reads every data file of a store on worker threads and hands what they make
// of the records (Arrow batches, text) to one consumer, in file order.
//
// The files, in reading order, are cut into units of consecutive files (a few
// MiB of file bytes each; a large file is a unit of its own). A worker takes
// the next unit, opens its files one at a time relative to the directory,
// and puts the chunks it builds on the unit's queue. The consumer drains the
// units in order. Memory stays bounded whatever the store's size:
//   - a worker only starts a unit within `threads + 1` units of the one being
//     consumed, so finished units cannot pile up;
//   - a unit's queue holds at most QUEUE_CHUNKS chunks; a worker that finds it
//     full waits, inside the reader's pass, until the consumer takes one, so
//     a slow consumer stops the workers and a file that expands enormously is
//     split across chunks that are never all in memory at once.
// At most `threads` files are open at any moment.
//
// Cancelling (or destroying the scanner) stops every worker promptly: each
// leaves its file as soon as the reader's pass over it ends (the records it
// still hands over are ignored), and every file is closed.
#pragma once

#include <atomic>
#include <sys/types.h>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "store/db_error.hpp"
#include "scan/chunk.hpp"
#include "scan/read_report.hpp"
#include "scan/record_filter.hpp"
#include "store/store_listing.hpp"

namespace tarnwick {

struct ScanOptions {
    bool reverse = false;
    unsigned threads = 1;
    RecordFilter filter;
    // Tables whose footer or index cannot be used are read by carving their
    // blocks, and blocks an index lost are carved too.
    bool salvage = true;
    // File bytes per unit of work.
    std::uint64_t unit_bytes = 4ULL << 20;
    // When not empty, only the data files of these names are read, and the
    // others are not in the report: a part of a large store, read as a
    // store of its own (entries that are not data files are reported still).
    std::vector<std::string> only_files;
    // A path that names a file reads that file alone whatever its name (see
    // ListingRules); forced_kind then decides its kind. In a directory,
    // any_name admits files of any name whose content is a table or a log.
    bool any_name = false;
    std::optional<DataFileKind> forced_kind;
};

class Scanner {
   public:
    // Lists the store and starts the workers. Fails as Db::open fails.
    [[nodiscard]] static std::expected<std::unique_ptr<Scanner>, DbError> start(const std::string& directory,
                                                                                ScanOptions options,
                                                                                ChunkBuilderFactory builders);
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // The next chunk in order, waiting for it if need be; null at the end (or
    // once cancelled). Only one thread may consume. A fault inside a worker
    // (memory exhausted) ends the scan: failure() then tells it.
    [[nodiscard]] std::unique_ptr<Chunk> next();

    // Stops the workers and waits for them; every file is closed afterwards.
    void cancel();

    // What has been read so far (everything, once next() has returned null).
    [[nodiscard]] ReadReport report() const;

    // The message of a fault that ended the scan early, or empty.
    [[nodiscard]] std::string failure() const;
    // Whether that fault was memory running out.
    [[nodiscard]] bool failed_for_memory() const;

    // Whether this is the process that started the scan. Its worker threads
    // do not survive fork(): in a child, every call above but this one would
    // wait for them forever (or on a lock one of them held), and destroying
    // the scanner would join threads that are not there.
    [[nodiscard]] bool in_starting_process() const noexcept;
    static constexpr const char* FORKED_MESSAGE =
        "this scan was started in another process: its worker threads do not survive fork(); start a new scan "
        "in this process";

    // Chunks a unit's queue may hold before its worker waits.
    static constexpr std::size_t QUEUE_CHUNKS = 2;

   private:
    struct Unit {
        std::size_t first_file;
        std::size_t end_file;
        std::deque<std::unique_ptr<Chunk>> chunks;
        bool finished = false;
    };
    class Worker;

    Scanner(StoreListing listing, std::optional<ManifestReport> manifest, ScanOptions options,
            ChunkBuilderFactory builders);
    void run_worker();
    // Ends the scan for a fault inside a worker.
    void fail(bool out_of_memory, const char* what) noexcept;
    void run_unit(std::size_t unit, ChunkBuilder& builder);
    // Puts a chunk on a unit's queue, waiting while it is full; drops it once
    // the scan is cancelled.
    void deliver(std::size_t unit, std::unique_ptr<Chunk> chunk);
    void read_file(std::size_t unit, std::size_t file, ChunkBuilder& builder, FileReport& report);

    StoreListing listing_;
    ScanOptions options_;
    ChunkBuilderFactory builders_;
    std::deque<Unit> units_;  // a deque: units never move once made

    mutable std::mutex mutex_;
    std::condition_variable work_ready_;   // workers wait: for a unit in the window
    std::condition_variable chunk_ready_;  // the consumer waits
    std::condition_variable space_ready_;  // a worker waits: for room in its unit's queue
    std::size_t next_unit_ = 0;            // the first unit no worker has taken
    std::size_t current_unit_ = 0;         // the unit being consumed
    std::atomic<bool> cancelled_{false};
    std::string failure_;
    bool failed_ = false;
    const int starting_pid_;
    bool out_of_memory_ = false;

    mutable std::mutex report_mutex_;
    ReadReport report_;

    std::mutex join_mutex_;  // cancel() may be called from two threads at once
    std::vector<std::thread> threads_;
};

}  // namespace tarnwick
