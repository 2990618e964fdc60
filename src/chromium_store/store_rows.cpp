#include "chromium_store/store_rows.hpp"

#include <unistd.h>

#include "chromium_store/row_text.hpp"
#include "chromium_store/version_labels.hpp"

namespace tarnwick::chromium {

namespace {

// Records reach the builders of both passes on one worker, in reading order.
constexpr unsigned PASS_THREADS = 1;
// The details member that names the record a deletion's value comes from.
constexpr std::string_view VALUE_FROM_SEQ = "value_from_seq";
// A store's first chunk of rows holds one row, and each next one twice as
// many (until the sink's own bounds fill it first), so that the first rows
// reach the consumer as soon as they are made, however few the filter keeps.
constexpr std::size_t FIRST_CHUNK_ROWS = 1;
constexpr std::size_t CHUNK_ROWS_GROWTH_END = std::size_t{1} << 30;

std::unique_ptr<StoreInterpreter> interpreter_for(const StoreContext& context) {
    switch (context.kind) {
        case StoreKind::LocalStorage: return make_local_storage_interpreter(context);
        case StoreKind::SessionStorage: return make_session_storage_interpreter(context);
        case StoreKind::IndexedDb: return make_indexeddb_interpreter(context);
    }
    return nullptr;
}

}  // namespace

// What both passes over one store share. Only the pass's worker touches it
// while a pass runs; the consumer only between passes.
struct StoreRows::StoreState {
    StoreSource source;
    std::unique_ptr<StoreInterpreter> interpreter;
    VersionLabels labels;
    // The files in reading order as the first pass met them: a deletion's
    // row names the file of the deletion marker.
    std::vector<std::string> files;
    // Counted by the second pass.
    std::uint64_t rows = 0;
    std::uint64_t error_rows = 0;
    // The filter's look at key bytes; null when it could refuse nothing.
    const KeyPrecheck* precheck;
    // The records of the first pass that the look passed.
    std::uint64_t wanted_records = 0;

    StoreState(StoreSource store, bool newest_only, const InterpreterFactory& interpreters,
               const KeyPrecheck& check)
        : source(std::move(store)),
          interpreter(interpreters(source.context)),
          labels(newest_only),
          precheck(check.active() ? &check : nullptr) {}

    // Whether a record may give a row that the filter keeps; the labels know
    // nothing of the keys of the others.
    [[nodiscard]] bool wanted(Bytes user_key) const {
        return precheck == nullptr || interpreter->may_select(user_key, *precheck);
    }
};

namespace {

// The first pass: every record to the interpreter and the labels.
class LearningBuilder final : public ChunkBuilder {
   public:
    explicit LearningBuilder(StoreRows::StoreState& store) : store_(store) {}

    void begin_file(const ListedFile& file) override {
        file_ = static_cast<std::uint32_t>(store_.files.size());
        store_.files.push_back(file.display_text);
    }
    void add(const RecordView& record) override {
        store_.interpreter->learn(record);
        const Bytes user_key = record.user_key();
        if (!store_.wanted(user_key)) return;
        ++store_.wanted_records;
        store_.labels.learn(user_key, record.seq, record.state, RecordPlace{file_, record.offset});
    }
    bool full() const noexcept override { return false; }
    bool empty() const noexcept override { return true; }
    std::unique_ptr<Chunk> take() override { return nullptr; }

   private:
    StoreRows::StoreState& store_;
    std::uint32_t file_ = 0;
};

// The second pass: each record that gets a row, decoded, filtered, written.
class DecodingBuilder final : public ChunkBuilder {
   public:
    DecodingBuilder(std::shared_ptr<StoreRows::StoreState> store, const RowFilter& filter,
                    std::unique_ptr<RowSink> sink)
        : store_(std::move(store)), filter_(filter), sink_(std::move(sink)) {}

    void begin_file(const ListedFile& file) override {
        file_ = next_file_++;
        file_text_ = file.display_text;
    }
    void add(const RecordView& record) override;
    bool full() const noexcept override { return sink_->full() || chunk_rows_ >= chunk_row_bound_; }
    bool empty() const noexcept override { return sink_->empty(); }
    std::unique_ptr<Chunk> take() override {
        chunk_rows_ = 0;
        if (chunk_row_bound_ < CHUNK_ROWS_GROWTH_END) chunk_row_bound_ *= 2;
        return sink_->take();
    }

   private:
    // Whether the filter could refuse the row before its value is decoded.
    bool refused_early(const RecordView& record);
    // Decodes one record into `row`; a fault of the decoder costs that row only.
    void decode(const RecordView& record, DecodedRow& row);

    std::shared_ptr<StoreRows::StoreState> store_;
    const RowFilter& filter_;
    std::unique_ptr<RowSink> sink_;
    std::uint32_t file_ = 0;
    std::uint32_t next_file_ = 0;
    std::string file_text_;
    DecodedRow row_;
    DecodedRow value_row_;  // newest-only: the last live version of a deleted key
    std::size_t chunk_rows_ = 0;
    std::size_t chunk_row_bound_ = FIRST_CHUNK_ROWS;
};

bool DecodingBuilder::refused_early(const RecordView& record) {
    if (filter_.all_records && !filter_.selective()) return false;
    row_.clear();
    if (!store_->interpreter->describe(record, row_)) return false;
    return !filter_.selects(row_);
}

void DecodingBuilder::decode(const RecordView& record, DecodedRow& row) {
    row.clear();
    try {
        store_->interpreter->decode(record, row);
    } catch (const std::bad_alloc&) {
        throw;  // memory is the scan's, not the record's
    } catch (const std::exception& fault) {
        row.clear();
        row.error = std::string("decoder fault: ") + fault.what();
    }
}

void DecodingBuilder::add(const RecordView& record) {
    const Bytes user_key = record.user_key();
    if (!store_->wanted(user_key)) return;
    const VersionVerdict verdict =
        store_->labels.verdict(user_key, record.seq, record.state, RecordPlace{file_, record.offset});
    if (!verdict.emit) return;

    RowFacts facts{store_kind_name(store_->source.context.kind), store_->source.path, file_text_, record.state,
                   record.seq, record.offset, user_key, record.value};
    if (!verdict.deletion_seq) {
        if (refused_early(record)) return;
        decode(record, row_);
    } else {
        // The row stands for the deletion marker and shows the value this
        // record (the last live version) held: the marker's own meaning,
        // the value decoded from here.
        const RecordPlace place = verdict.deletion_place.value_or(RecordPlace{file_, record.offset});
        const std::string& file =
            place.file < store_->files.size() ? store_->files[place.file] : file_text_;
        const RecordView marker{user_key,  Bytes{},       *verdict.deletion_seq, KeyState::Deleted,
                                FileKind::Log, record.origin_file, place.offset,         false};
        facts.file = file;
        facts.state = KeyState::Deleted;
        facts.seq = *verdict.deletion_seq;
        facts.offset = place.offset;
        facts.value = Bytes{};
        if (refused_early(marker)) return;
        decode(marker, row_);
        decode(record, value_row_);
        row_.value_json = std::move(value_row_.value_json);
        if (!row_.key_json) row_.key_json = std::move(value_row_.key_json);
        row_.details.add_int(VALUE_FROM_SEQ, record.seq);
    }
    if (!filter_.selects(row_)) return;
    row_.version_status = verdict.status;
    sink_->add(facts, row_);
    ++chunk_rows_;
    ++store_->rows;
    if (row_.error) ++store_->error_rows;
}

}  // namespace

StoreRows::StoreRows(std::vector<StoreSource> stores, StoreRowsOptions options, RowSinkFactory sinks,
                     InterpreterFactory interpreters)
    : stores_(std::move(stores)),
      options_(std::move(options)),
      sinks_(std::move(sinks)),
      interpreters_(interpreters ? std::move(interpreters) : InterpreterFactory(interpreter_for)),
      precheck_(options_.filter),
      starting_pid_(static_cast<int>(::getpid())) {}

StoreRows::~StoreRows() { cancel(); }

bool StoreRows::in_starting_process() const noexcept { return static_cast<int>(::getpid()) == starting_pid_; }

bool StoreRows::begin_store() {
    while (next_store_ < stores_.size()) {
        {
            const std::lock_guard lock(mutex_);
            if (cancelled_) return false;
        }
        StoreSource source = stores_[next_store_++];
        source.context.bookkeeping_rows = options_.filter.all_records;
        auto store = std::make_shared<StoreState>(source, !options_.history, interpreters_, precheck_);
        ScanOptions scan;
        scan.threads = PASS_THREADS;
        scan.salvage = options_.salvage;

        auto learning = Scanner::start(source.path, scan, [&store] { return std::make_unique<LearningBuilder>(*store); });
        if (!learning) {
            const std::lock_guard lock(mutex_);
            outcomes_.push_back(StoreOutcome{source.path, std::nullopt, learning.error().message()});
            continue;
        }
        std::shared_ptr<Scanner> first(std::move(*learning));
        {
            const std::lock_guard lock(mutex_);
            scanner_ = first;
        }
        while (first->next() != nullptr) {
        }
        const std::string fault = first->failure();
        if (!fault.empty()) {
            const std::lock_guard lock(mutex_);
            failure_ = fault;
            out_of_memory_ = first->failed_for_memory();
            return false;
        }
        store->interpreter->learned();
        store->labels.learned();
        if (store->precheck != nullptr && store->wanted_records == 0) {
            // No record can give a row the filter keeps: no second pass, and
            // the first pass's account of the files is the store's.
            const std::lock_guard lock(mutex_);
            outcomes_.push_back(StoreOutcome{source.path, first->report(), {}, 0, 0});
            continue;
        }

        auto decoding = Scanner::start(source.path, scan, [this, store] {
            return std::make_unique<DecodingBuilder>(store, options_.filter, sinks_());
        });
        if (!decoding) {
            const std::lock_guard lock(mutex_);
            outcomes_.push_back(StoreOutcome{source.path, std::nullopt, decoding.error().message()});
            continue;
        }
        const std::lock_guard lock(mutex_);
        current_ = std::move(store);
        scanner_ = std::shared_ptr<Scanner>(std::move(*decoding));
        if (cancelled_) scanner_->cancel();
        return true;
    }
    return false;
}

void StoreRows::end_store() {
    const std::lock_guard lock(mutex_);
    outcomes_.push_back(
        StoreOutcome{current_->source.path, scanner_->report(), {}, current_->rows, current_->error_rows});
    current_.reset();
    scanner_.reset();
}

std::unique_ptr<Chunk> StoreRows::next() {
    while (true) {
        if (!current_ && !begin_store()) return nullptr;
        std::unique_ptr<Chunk> chunk = scanner_->next();
        if (chunk) return chunk;
        const std::string fault = scanner_->failure();
        if (!fault.empty()) {
            const std::lock_guard lock(mutex_);
            failure_ = fault;
            out_of_memory_ = scanner_->failed_for_memory();
            return nullptr;
        }
        {
            const std::lock_guard lock(mutex_);
            if (cancelled_) return nullptr;
        }
        end_store();
    }
}

void StoreRows::cancel() {
    std::shared_ptr<Scanner> scanner;
    {
        const std::lock_guard lock(mutex_);
        cancelled_ = true;
        scanner = scanner_;
    }
    if (scanner) scanner->cancel();
}

std::vector<StoreOutcome> StoreRows::outcomes() const {
    const std::lock_guard lock(mutex_);
    return outcomes_;
}

std::string StoreRows::failure() const {
    const std::lock_guard lock(mutex_);
    return failure_;
}

bool StoreRows::failed_for_memory() const {
    const std::lock_guard lock(mutex_);
    return out_of_memory_;
}

}  // namespace tarnwick::chromium
