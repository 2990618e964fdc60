// The decoded rows of one or more Chromium stores, streamed.
//
// Each store is read twice by the scanner, with one worker so that records
// arrive in reading order on one thread. The first pass shows every record
// to the store's interpreter and to the version labels (`learn`), and keeps
// no record. The second pass asks, record by record in the same order, for
// the record's label; a record that gets a row is decoded, filtered, and
// written by the sink into chunks (Arrow batches or JSON Lines) that the
// consumer takes in order. Decoding runs on the worker while the consumer
// writes what it took, and the scanner's bounded queue stops the worker when
// the consumer falls behind, so memory stays bounded whatever the store's
// size: a chunk is bounded by rows and bytes, and per record nothing is kept
// beyond what the version labels keep per key. When rows are filtered, a
// record whose key bytes show that the filter cannot keep its row
// (key_precheck.hpp) is passed over by both passes: the labels keep nothing
// of its key and it is not decoded.
//
// The stores are read one after another. A store that cannot be opened costs
// only itself: its reason is kept, and the next store is read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "chromium_store/key_precheck.hpp"
#include "chromium_store/row_filter.hpp"
#include "chromium_store/row_sink.hpp"
#include "chromium_store/store_interpreter.hpp"
#include "scan/read_report.hpp"
#include "scan/scanner.hpp"

namespace tarnwick::chromium {

// One store to read: its folder and what the caller knows from where it lies.
struct StoreSource {
    std::string path;
    StoreContext context;
};

struct StoreRowsOptions {
    // Every version of every key, labelled; otherwise one row per key.
    bool history = false;
    // Tables whose index is lost are read by carving their blocks.
    bool salvage = true;
    RowFilter filter;
};

// What became of one store, once its rows have all been handed out.
struct StoreOutcome {
    std::string path;
    // The reader's account of the second pass (the one the rows came from).
    std::optional<ReadReport> report;
    // Why the store could not be read at all (it could not be listed).
    std::string failure;
    // The rows handed out, and those of them whose record could not be
    // decoded (wholly or in part).
    std::uint64_t rows = 0;
    std::uint64_t error_rows = 0;
};

using RowSinkFactory = std::function<std::unique_ptr<RowSink>()>;
// Makes the interpreter of a store; by default the one of its kind.
using InterpreterFactory = std::function<std::unique_ptr<StoreInterpreter>(const StoreContext&)>;

class StoreRows {
   public:
    StoreRows(std::vector<StoreSource> stores, StoreRowsOptions options, RowSinkFactory sinks,
              InterpreterFactory interpreters = {});
    ~StoreRows();
    StoreRows(const StoreRows&) = delete;
    StoreRows& operator=(const StoreRows&) = delete;

    // The next chunk of rows, in store order and, within a store, in reading
    // order; null at the end (or once cancelled, or after a fault: see
    // failure()). Only one thread may consume; the first pass over a store
    // runs inside the call that first needs its rows.
    [[nodiscard]] std::unique_ptr<Chunk> next();

    // Stops the current scan and every later one; every file is closed.
    void cancel();

    // The stores finished so far, in order. Safe from another thread.
    [[nodiscard]] std::vector<StoreOutcome> outcomes() const;

    // The message of a fault that ended the scan early (memory ran out), or empty.
    [[nodiscard]] std::string failure() const;
    [[nodiscard]] bool failed_for_memory() const;

    // Whether this is the process that started the scan (see Scanner).
    [[nodiscard]] bool in_starting_process() const noexcept;

    struct StoreState;

   private:
    // Learns the next store; false when there is none left.
    bool begin_store();
    void end_store();

    std::vector<StoreSource> stores_;
    StoreRowsOptions options_;
    RowSinkFactory sinks_;
    InterpreterFactory interpreters_;
    KeyPrecheck precheck_;  // of options_.filter
    const int starting_pid_;
    std::size_t next_store_ = 0;

    std::shared_ptr<StoreState> current_;
    std::shared_ptr<Scanner> scanner_;  // the second pass over the current store

    mutable std::mutex mutex_;  // guards what other threads may read or set
    std::vector<StoreOutcome> outcomes_;
    std::string failure_;
    bool out_of_memory_ = false;
    bool cancelled_ = false;
};

}  // namespace tarnwick::chromium
