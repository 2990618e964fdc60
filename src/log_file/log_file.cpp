#include "log_file/log_file.hpp"

#include <fcntl.h>

#include "db/data_file_name.hpp"
#include "db/file_pass.hpp"
#include "log_file/log_reader.hpp"
#include "log_file/write_batch.hpp"

namespace tarnwick {

std::expected<LogFile, LogError> LogFile::open(const std::string& path) {
    return open_at(AT_FDCWD, path, path, file_number_of(path));
}

std::expected<LogFile, LogError> LogFile::open_at(int dir_fd, const std::string& name,
                                                  const std::string& display_path, std::uint64_t number,
                                                  OpenAs as) {
    auto mapped = MappedFile::open_at(dir_fd, name, as);
    if (!mapped) return std::unexpected(LogError{std::move(mapped.error())});
    if (auto mapping = mapped->map(); !mapping) return std::unexpected(LogError{std::move(mapping.error())});
    return LogFile(std::move(*mapped), SharedPath(display_path), number);
}

void LogFile::read_records(RecordSink sink, PassObserver* observer) const {
    FilePass pass(mapped_);
    for_each_logical_record(
        pass, [&](std::uint64_t offset, Bytes payload) { parse_write_batch(offset, payload, path_, sink); },
        observer);
}

std::vector<Record> LogFile::records() const {
    std::vector<Record> out;
    read_records(RecordCollector{out});
    return out;
}

}  // namespace tarnwick
