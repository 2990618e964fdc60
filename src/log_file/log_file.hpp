// A write-ahead log file (extension .log): every entry of every write batch
// still readable in it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "db/mapped_file.hpp"
#include "db/pass_observer.hpp"
#include "db/record.hpp"

namespace tarnwick {

struct LogError {
    OsError io;  // the only way a log file fails: it cannot be opened, measured or mapped
    [[nodiscard]] std::string message() const { return "IO error: " + io.message(); }
};

class LogFile {
   public:
    // Opens and maps the file (an empty file is not mapped). Nothing in the
    // file's content makes this fail.
    // The file number is read from the path's name (a lone file, as tests and
    // tools open one).
    [[nodiscard]] static std::expected<LogFile, LogError> open(const std::string& path);
    // The same for the entry `name` of the directory open as `dir_fd`, whose
    // name the caller has already read as `number`; records name the file by
    // `display_path`. `as` says what the name may lead to now.
    [[nodiscard]] static std::expected<LogFile, LogError> open_at(int dir_fd, const std::string& name,
                                                                  const std::string& display_path,
                                                                  std::uint64_t number, OpenAs as = OpenAs::Anything);

    // Every record of the file, in the order of its logical records and, within
    // a batch, in entry order. Never fails. Each pass reads the file as it is
    // then, up to its length at open; if the file shrinks during the pass,
    // the pass ends there, with what was decoded before.
    std::vector<Record> records() const;
    void read_records(RecordSink sink, PassObserver* observer = nullptr) const;

    const std::string& path() const noexcept { return *path_; }
    std::uint64_t file_number() const noexcept { return file_number_; }
    std::uint64_t length() const noexcept { return mapped_.length(); }

   private:
    LogFile(MappedFile mapped, SharedPath path, std::uint64_t file_number)
        : mapped_(std::move(mapped)), path_(std::move(path)), file_number_(file_number) {}

    MappedFile mapped_;
    SharedPath path_;
    std::uint64_t file_number_;
};

}  // namespace tarnwick
