#include "store/store_listing.hpp"

#include "util/file_name.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tarnwick {

namespace {

// The extensions of data files, in lower case: a name that ends in one of
// them and is not admitted is worth a line in the report.
constexpr std::string_view DATA_EXTENSIONS[] = {"ldb", "sst", "log"};

bool has_data_extension(std::string_view name) {
    const auto extension = split_stem_extension(name).extension;
    if (!extension) return false;
    std::string lower(*extension);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return std::ranges::find(DATA_EXTENSIONS, lower) != std::end(DATA_EXTENSIONS);
}

std::string file_type_text(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a regular file";
}

// A link's target as written; readlinkat does not end it with a NUL, and a
// target may be as long as PATH_MAX.
std::expected<std::string, OsError> link_target(int dir_fd, const std::string& name) {
    std::string target(256, '\0');
    while (true) {
        const ssize_t length = ::readlinkat(dir_fd, name.c_str(), target.data(), target.size());
        if (length < 0) return std::unexpected(OsError::last());
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

// The digits of a data file's name (which data_file_name has admitted).
std::string_view data_file_digits(std::string_view name) { return split_stem_extension(name).stem; }

// The engine's file number: the name's 6 to 16 digits in base 10, which a
// 64-bit number always holds. Numbers in base 10 and the same digits read in
// base 16 (data_file_name's number) come in the same order, so either sorts
// the files alike; this is the one the engine wrote and its manifest names.
std::uint64_t engine_file_number(std::string_view digits) {
    std::uint64_t number = 0;
    for (const char digit : digits) number = number * 10 + static_cast<std::uint64_t>(digit - '0');
    return number;
}

int open_directory(const std::string& path) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#ifdef O_NOATIME
    const int fd = ::open(path.c_str(), flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
#endif
    return ::open(path.c_str(), flags);
}

// Every entry name except "." and "..", read through a duplicate of the
// descriptor so that the original stays usable for openat.
std::expected<std::vector<std::string>, OsError> entry_names(int dir_fd) {
    const int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return std::unexpected(OsError::last());
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        const OsError error = OsError::last();
        ::close(copy);
        return std::unexpected(error);
    }
    std::vector<std::string> names;
    std::expected<std::vector<std::string>, OsError> result;
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) result = std::unexpected(OsError::last());
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    if (!result) return result;
    return names;
}

}  // namespace

DirectoryFd::DirectoryFd(DirectoryFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

DirectoryFd& DirectoryFd::operator=(DirectoryFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

DirectoryFd::~DirectoryFd() {
    if (fd_ >= 0) ::close(fd_);
}

bool is_store_bookkeeping(std::string_view name) noexcept {
    return name == "CURRENT" || name == "LOCK" || name == "LOG" || name == "LOG.old" ||
           name.starts_with("MANIFEST-");
}

std::expected<StoreListing, DbError> list_store(const std::string& directory, LinkRule links, bool reverse) {
    // The system sees a path only up to its first NUL byte: a path holding one
    // would name some other directory, never the one the caller wrote.
    if (directory.find('\0') != std::string::npos) {
        return std::unexpected(DbError{DbError::NotADirectory{directory}});
    }
    struct stat dir_stat {};
    if (::stat(directory.c_str(), &dir_stat) != 0 || !S_ISDIR(dir_stat.st_mode)) {
        return std::unexpected(DbError{DbError::NotADirectory{directory}});
    }
    StoreListing listing{directory, DirectoryFd(open_directory(directory)), {}, {}, {}};
    if (listing.fd.get() < 0) return std::unexpected(DbError{DbError::Io{OsError::last()}});
    auto names = entry_names(listing.fd.get());
    if (!names) return std::unexpected(DbError{std::move(names.error())});
    std::sort(names->begin(), names->end());

    const bool has_separator = !directory.empty() && directory.back() == '/';
    const int stat_flags = links == LinkRule::Follow ? 0 : AT_SYMLINK_NOFOLLOW;
    ManifestChoice manifest_choice;
    for (std::string& name : *names) {
        std::string path = has_separator ? directory + name : directory + "/" + name;
        manifest_choice.offer(name, path);
        const auto data_file = data_file_name(name);
        const bool looks_like_data = data_file || has_data_extension(name);
        const bool bookkeeping = !looks_like_data && is_store_bookkeeping(name);
        if (!looks_like_data && !bookkeeping) continue;

        auto note = [&](ListedEntry::Status status, std::string reason, std::uint64_t size, std::string target = {}) {
            listing.others.push_back(
                {std::move(name), std::move(path), status, std::move(reason), size, std::move(target)});
        };
        struct stat st {};
        if (::fstatat(listing.fd.get(), name.c_str(), &st, stat_flags) != 0) {
            const std::string why = "cannot be examined: " + OsError::last().message();
            note(bookkeeping ? ListedEntry::Status::NotData : ListedEntry::Status::NotAdmitted, why, 0);
            continue;
        }
        const std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        if (S_ISLNK(st.st_mode)) {
            auto target = link_target(listing.fd.get(), name);
            if (!target) {
                note(ListedEntry::Status::Link, "a link, not followed; its target cannot be read: " + target.error().message(), size);
            } else {
                note(ListedEntry::Status::Link, "a link, not followed", size, std::move(*target));
            }
            continue;
        }
        if (bookkeeping) {
            note(ListedEntry::Status::NotData, "not a data file", size);
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            note(ListedEntry::Status::NotAdmitted, file_type_text(st.st_mode), size);
            continue;
        }
        if (!is_valid_utf8(name)) {
            note(ListedEntry::Status::NotAdmitted, "the name is not valid UTF-8", size);
            continue;
        }
        if (!data_file) {
            note(ListedEntry::Status::NotAdmitted,
                 "the name is not a data file name (6 to 16 digits, a dot, and log, ldb or sst)", size);
            continue;
        }
        const std::uint64_t number = engine_file_number(data_file_digits(name));
        listing.files.push_back({std::move(name), std::move(path), {}, data_file->kind, number, size});
    }
    listing.manifest = manifest_choice.chosen();
    std::stable_sort(listing.files.begin(), listing.files.end(),
                     [](const ListedFile& a, const ListedFile& b) { return a.number < b.number; });
    if (reverse) std::reverse(listing.files.begin(), listing.files.end());
    return listing;
}

}  // namespace tarnwick
