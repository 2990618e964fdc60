// An opened database directory: its table and log files, and its manifest.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "store/db_error.hpp"
#include "db/record.hpp"
#include "ldb_file/ldb_file.hpp"
#include "log_file/log_file.hpp"
#include "manifest/manifest.hpp"

namespace tarnwick {

// One opened data file.
class DbFile {
   public:
    explicit DbFile(LdbFile file) : file_(std::move(file)) {}
    explicit DbFile(LogFile file) : file_(std::move(file)) {}

    std::uint64_t file_number() const noexcept;
    const std::string& path() const noexcept;
    FileKind kind() const noexcept { return std::holds_alternative<LdbFile>(file_) ? FileKind::Table : FileKind::Log; }
    const std::variant<LdbFile, LogFile>& file() const noexcept { return file_; }

    void read_records(RecordSink sink) const;

   private:
    std::variant<LdbFile, LogFile> file_;
};

class Db {
   public:
    // Lists the directory once (list_store, links among the entries followed)
    // and opens every data file it admits, relative to the directory. A file
    // that its reader refuses is left out without a word. Then the manifest
    // with the highest number is opened, if any; a manifest that cannot be
    // read leaves the database without one. Only a path that is not a
    // directory and a directory that cannot be listed fail.
    //
    // The files are kept in the listing's order: by name, then stably by
    // number, so that files with equal numbers (such as 000005.ldb and
    // 000005.log) always come in the same order.
    [[nodiscard]] static std::expected<Db, DbError> open(const std::string& in_dir);

    // Every record of every file: files in the listing's order, each file's
    // records in its reader's order.
    // `reverse` mirrors the file order only. Never fails.
    std::vector<Record> records(bool reverse) const;
    void read_records(bool reverse, RecordSink sink) const;

    // The files in the order records() visits them.
    std::vector<const DbFile*> files_in_order(bool reverse) const;

    const std::string& in_dir() const noexcept { return in_dir_; }
    const std::vector<DbFile>& files() const noexcept { return files_; }
    const std::optional<Manifest>& manifest() const noexcept { return manifest_; }

   private:
    Db(std::string in_dir, std::vector<DbFile> files, std::optional<Manifest> manifest)
        : in_dir_(std::move(in_dir)), files_(std::move(files)), manifest_(std::move(manifest)) {}

    std::string in_dir_;
    std::vector<DbFile> files_;
    std::optional<Manifest> manifest_;
};

}  // namespace tarnwick
