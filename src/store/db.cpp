#include "store/db.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "db/data_file_name.hpp"
#include "util/file_name.hpp"

namespace tarnwick {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

// All entry names of a directory except "." and "..".
std::expected<std::vector<std::string>, OsError> list_directory(const std::string& path) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#ifdef O_NOATIME
    int fd = ::open(path.c_str(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags);
#else
    int fd = ::open(path.c_str(), flags);
#endif
    if (fd < 0) return std::unexpected(OsError::last());
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        const OsError error = OsError::last();
        ::close(fd);
        return std::unexpected(error);
    }
    std::vector<std::string> names;
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) return std::unexpected(OsError::last());
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
    return names;
}

bool is_directory(const std::string& path) {
    // The system sees a path only up to its first NUL byte: a path holding one
    // would name some other directory, never the one the caller wrote.
    if (path.find('\0') != std::string::npos) return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::uint64_t DbFile::file_number() const noexcept {
    return std::visit([](const auto& file) { return file.file_number(); }, file_);
}

const std::string& DbFile::path() const noexcept {
    return std::visit([](const auto& file) -> const std::string& { return file.path(); }, file_);
}

void DbFile::read_records(RecordSink sink) const {
    std::visit([&](const auto& file) { file.read_records(sink); }, file_);
}

std::expected<Db, DbError> Db::open(const std::string& in_dir) {
    if (!is_directory(in_dir)) return std::unexpected(DbError{DbError::NotADirectory{in_dir}});
    auto names = list_directory(in_dir);
    if (!names) return std::unexpected(DbError{std::move(names.error())});
    std::sort(names->begin(), names->end());

    const bool has_separator = !in_dir.empty() && in_dir.back() == '/';
    std::vector<DbFile> files;
    ManifestChoice manifest_choice;
    for (const std::string& name : *names) {
        const std::string path = has_separator ? in_dir + name : in_dir + "/" + name;
        if (!is_regular_file(path) || !is_valid_utf8(name)) continue;
        if (const auto data_file = data_file_name(name)) {
            switch (data_file->kind) {
                case DataFileKind::Table:
                    if (auto file = LdbFile::open_at(AT_FDCWD, path, path, data_file->number)) files.emplace_back(std::move(*file));
                    break;
                case DataFileKind::Log:
                    if (auto file = LogFile::open_at(AT_FDCWD, path, path, data_file->number)) files.emplace_back(std::move(*file));
                    break;
            }
        }
        manifest_choice.offer(name, path);
    }

    std::optional<Manifest> manifest;
    if (const auto& chosen = manifest_choice.chosen()) {
        if (auto opened = Manifest::open_named(chosen->path, chosen->number)) manifest.emplace(std::move(*opened));
    }
    return Db(in_dir, std::move(files), std::move(manifest));
}

std::vector<const DbFile*> Db::files_in_order(bool reverse) const {
    std::vector<const DbFile*> order;
    order.reserve(files_.size());
    for (const DbFile& file : files_) order.push_back(&file);
    std::stable_sort(order.begin(), order.end(),
                     [](const DbFile* a, const DbFile* b) { return a->file_number() < b->file_number(); });
    if (reverse) std::reverse(order.begin(), order.end());
    return order;
}

void Db::read_records(bool reverse, RecordSink sink) const {
    for (const DbFile* file : files_in_order(reverse)) file->read_records(sink);
}

std::vector<Record> Db::records(bool reverse) const {
    std::vector<Record> out;
    read_records(reverse, RecordCollector{out});
    return out;
}

}  // namespace tarnwick
