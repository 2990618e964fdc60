#include "log_file/log_file.hpp"

#include "db/file_name.hpp"
#include "db/truncation_guard.hpp"
#include "log_file/log_reader.hpp"
#include "log_file/write_batch.hpp"

namespace tarnwick {

std::expected<LogFile, LogError> LogFile::open(const std::string& path) {
    auto mapped = MappedFile::open(path);
    if (!mapped) return std::unexpected(LogError{std::move(mapped.error())});
    if (auto mapping = mapped->map(); !mapping) return std::unexpected(LogError{std::move(mapping.error())});
    return LogFile(std::move(*mapped), SharedPath(path), file_number_of(path));
}

void LogFile::read_records(RecordSink sink) const {
    const TruncationGuard guard(mapped_.view());
    for_each_logical_record(mapped_.readable_view(), mapped_.length(),
                            [&](std::uint64_t offset, Bytes payload) {
                                parse_write_batch(offset, payload, path_, sink);
                            });
}

std::vector<Record> LogFile::records() const {
    std::vector<Record> out;
    read_records(RecordCollector{out});
    return out;
}

}  // namespace tarnwick
