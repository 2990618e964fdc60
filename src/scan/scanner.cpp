#include "scan/scanner.hpp"

#include <algorithm>
#include <new>

#include <unistd.h>

#include "ldb_file/ldb_file.hpp"
#include "log_file/log_file.hpp"
#include "scan/utf8_text.hpp"

namespace tarnwick {

Scanner::Scanner(StoreListing listing, std::optional<ManifestReport> manifest, ScanOptions options,
                 ChunkBuilderFactory builders)
    : listing_(std::move(listing)),
      options_(std::move(options)),
      builders_(std::move(builders)),
      starting_pid_(static_cast<int>(::getpid())) {
    for (ListedFile& file : listing_.files) file.display_text = utf8_text(file.display_path);
    report_ = initial_report(listing_);
    report_.manifest = std::move(manifest);
    std::size_t first = 0;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < listing_.files.size(); ++i) {
        bytes += listing_.files[i].size;
        if (bytes >= options_.unit_bytes || i + 1 == listing_.files.size()) {
            units_.push_back(Unit{first, i + 1, {}, false});
            first = i + 1;
            bytes = 0;
        }
    }
    if (units_.empty()) {
        report_.finished = true;
        settle_completeness(report_);
    }
}

std::expected<std::unique_ptr<Scanner>, DbError> Scanner::start(const std::string& directory, ScanOptions options,
                                                                ChunkBuilderFactory builders) {
    // The scanner never follows a link among the entries: it reports it.
    ListingRules rules;
    rules.links = LinkRule::Report;
    rules.reverse = options.reverse;
    rules.single_file = true;
    rules.any_name = options.any_name;
    rules.forced_kind = options.forced_kind;
    auto listing = list_store(directory, rules);
    if (!listing) return std::unexpected(std::move(listing.error()));
    // Set against the whole folder, also when only some of its files are read.
    std::optional<ManifestReport> manifest = manifest_report(*listing);
    if (!options.only_files.empty()) {
        std::ranges::sort(options.only_files);
        std::erase_if(listing->files, [&](const ListedFile& file) {
            return !std::ranges::binary_search(options.only_files, file.name);
        });
    }
    if (options.threads == 0) options.threads = 1;
    std::unique_ptr<Scanner> scanner(
        new Scanner(std::move(*listing), std::move(manifest), std::move(options), std::move(builders)));
    const std::size_t workers = std::min<std::size_t>(scanner->options_.threads, scanner->units_.size());
    scanner->threads_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) scanner->threads_.emplace_back([s = scanner.get()] { s->run_worker(); });
    return scanner;
}

Scanner::~Scanner() { cancel(); }

void Scanner::cancel() {
    {
        const std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    work_ready_.notify_all();
    space_ready_.notify_all();
    chunk_ready_.notify_all();
    {
        const std::lock_guard joining(join_mutex_);
        for (std::thread& thread : threads_) {
            if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
        }
    }
    const std::lock_guard lock(mutex_);
    for (Unit& unit : units_) unit.chunks.clear();
}

std::unique_ptr<Chunk> Scanner::next() {
    std::unique_lock lock(mutex_);
    while (true) {
        if (cancelled_) return nullptr;
        if (current_unit_ >= units_.size()) {
            const std::lock_guard report_lock(report_mutex_);
            report_.finished = true;
            settle_completeness(report_);
            return nullptr;
        }
        Unit& unit = units_[current_unit_];
        if (!unit.chunks.empty()) {
            std::unique_ptr<Chunk> chunk = std::move(unit.chunks.front());
            unit.chunks.pop_front();
            space_ready_.notify_all();
            return chunk;
        }
        if (unit.finished) {
            ++current_unit_;
            work_ready_.notify_all();
            continue;
        }
        chunk_ready_.wait(lock);
    }
}

ReadReport Scanner::report() const {
    const std::lock_guard lock(report_mutex_);
    return report_;
}

std::string Scanner::failure() const {
    const std::lock_guard lock(mutex_);
    if (failed_ && failure_.empty()) return "out of memory";
    return failure_;
}

bool Scanner::in_starting_process() const noexcept { return static_cast<int>(::getpid()) == starting_pid_; }

bool Scanner::failed_for_memory() const {
    const std::lock_guard lock(mutex_);
    return out_of_memory_;
}

void Scanner::run_worker() {
    try {
        // One builder per worker, kept across units: its buffers, once grown,
        // are reused for every batch.
        const std::unique_ptr<ChunkBuilder> builder = builders_();
        while (true) {
            std::size_t unit;
            {
                std::unique_lock lock(mutex_);
                work_ready_.wait(lock, [&] {
                    return cancelled_ || next_unit_ >= units_.size() ||
                           next_unit_ <= current_unit_ + options_.threads;
                });
                if (cancelled_ || next_unit_ >= units_.size()) return;
                unit = next_unit_++;
            }
            run_unit(unit, *builder);
        }
    } catch (const std::bad_alloc&) {
        fail(true, "out of memory");
    } catch (const std::exception& fault) {
        fail(false, fault.what());
    }
}

void Scanner::fail(bool out_of_memory, const char* what) noexcept {
    {
        const std::lock_guard lock(mutex_);
        if (!failed_) {
            failed_ = true;
            out_of_memory_ = out_of_memory;
            // Keeping the message takes memory too, which may be what ran out.
            try {
                failure_ = what;
            } catch (...) {
                out_of_memory_ = true;
            }
        }
        cancelled_ = true;
    }
    work_ready_.notify_all();
    space_ready_.notify_all();
    chunk_ready_.notify_all();
}

void Scanner::run_unit(std::size_t unit, ChunkBuilder& builder) {
    for (std::size_t file = units_[unit].first_file; file < units_[unit].end_file; ++file) {
        FileReport line;
        {
            const std::lock_guard lock(report_mutex_);
            line = report_.files[file];
        }
        read_file(unit, file, builder, line);
        if (cancelled_) return;  // what the file gave is not whole: it stays pending
        const std::lock_guard lock(report_mutex_);
        report_.files[file] = std::move(line);
    }
    if (!builder.empty()) deliver(unit, builder.take());
    {
        const std::lock_guard lock(mutex_);
        units_[unit].finished = true;
    }
    chunk_ready_.notify_one();
}

void Scanner::deliver(std::size_t unit, std::unique_ptr<Chunk> chunk) {
    {
        std::unique_lock lock(mutex_);
        space_ready_.wait(lock, [&] { return cancelled_ || units_[unit].chunks.size() < QUEUE_CHUNKS; });
        if (cancelled_) return;  // nobody will take it
        units_[unit].chunks.push_back(std::move(chunk));
    }
    chunk_ready_.notify_one();
}

void Scanner::read_file(std::size_t unit, std::size_t index, ChunkBuilder& builder, FileReport& report) {
    const ListedFile& file = listing_.files[index];
    if (!options_.filter.reads(file.kind)) {
        report.status = FileReport::Status::Filtered;
        return;
    }
    builder.begin_file(file);
    ReportObserver observer(report);
    const RecordFilter& filter = options_.filter;
    // Once the scan is cancelled the callback ignores what the reader still
    // hands it: a pass cannot be stopped from outside, but the rest of one
    // file decodes quickly when nothing is kept.
    auto sink = [&](const RecordView& record) {
        if (cancelled_.load(std::memory_order_relaxed)) return;
        ++report.records;
        switch (record.state) {
            case KeyState::Deleted: ++report.deleted; break;
            case KeyState::Live: ++report.live; break;
            case KeyState::Unknown: ++report.unknown; break;
        }
        if (record.was_compressed) ++report.compressed;
        if (!filter.accepts(record)) return;
        builder.add(record);
        if (builder.full()) deliver(unit, builder.take());
    };
    auto left_out = [&](std::string reason) {
        report.status = FileReport::Status::LeftOut;
        if (report.size != 0) report.unread.push_back({0, report.size, reason});
        report.reason = std::move(reason);
    };
    // Salvage of a table without a usable footer or index: true when carving
    // found blocks (the file is then salvaged), false when it found none.
    auto carve_table = [&](const std::string& why) {
        auto unindexed = LdbFile::open_unindexed_at(listing_.fd.get(), file.name, file.display_path, file.number,
                                                    listing_.open_as);
        if (!unindexed) return false;
        report.status = FileReport::Status::Salvaged;
        report.reason = why;
        unindexed->salvage_records(sink, &observer);
        if (!report.carved.empty()) return true;
        report.unread.clear();
        report.reason.clear();
        return false;
    };
    if (file.kind == DataFileKind::Table) {
        auto table = LdbFile::open_at(listing_.fd.get(), file.name, file.display_path, file.number, listing_.open_as);
        if (!table) {
            if (!options_.salvage || std::holds_alternative<LdbError::Io>(table.error().kind)) {
                return left_out(table.error().message());
            }
            // No usable footer or index: the blocks are found by their checksums.
            if (!carve_table(table.error().message())) return left_out(table.error().message());
            return;
        }
        report.status = FileReport::Status::Read;
        if (table->length() < FOOTER_SIZE) {
            // Too short for a footer, yet a table cut that early can still
            // hold a whole small block; if none is found, the reader opens
            // such a file as one without blocks.
            const std::string reason = LdbError{LdbError::FileTooSmall{}}.message();
            if (table->length() != 0 && options_.salvage && carve_table(reason)) return;
            report.status = FileReport::Status::Read;
            observer.stopped(0, reason);
            return;
        }
        table->read_records(sink, &observer);
        if (options_.salvage && table->index_leaves_gaps()) table->salvage_records(sink, &observer);
    } else {
        auto log = LogFile::open_at(listing_.fd.get(), file.name, file.display_path, file.number, listing_.open_as);
        if (!log) return left_out(log.error().message());
        report.status = FileReport::Status::Read;
        log->read_records(sink, &observer);
    }
}

}  // namespace tarnwick
