#include "store/store_listing.hpp"

#include "db/mapped_file.hpp"
#include "ldb_file/ldb_file.hpp"
#include "log_file/log_reader.hpp"
#include "util/file_name.hpp"
#include "util/truncation_guard.hpp"
#include "varint/varint.hpp"

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

ContentVerdict kind_by_content(Bytes content, bool log_by_default) {
    if (content.size() >= TABLE_MAGIC_SIZE && read_fixed64(content, content.size() - TABLE_MAGIC_SIZE) == TABLE_MAGIC) {
        return {DataFileKind::Table, {}};
    }
    if (log_by_default) return {DataFileKind::Log, {}};
    if (content.size() >= LOG_HEADER_SIZE) {
        const std::uint8_t type = content[LOG_HEADER_TYPE_AT];
        const std::size_t length = read_fixed16(content, LOG_HEADER_LENGTH_AT);
        const bool known_type = type >= static_cast<std::uint8_t>(RecordType::Full) &&
                                type <= static_cast<std::uint8_t>(RecordType::Last);
        const std::size_t end = LOG_HEADER_SIZE + length;
        if (known_type && end <= LOG_BLOCK_SIZE && end <= content.size()) return {DataFileKind::Log, {}};
    }
    return {std::nullopt,
            "its content is neither a table (no table magic number in its last 8 bytes) nor a log (no record "
            "header of type 1 to 4 whose record fits in the first block at its start)"};
}

namespace {

// The kind of the entry `name` from its content, or why it has none (which
// includes it not being readable).
ContentVerdict kind_of_file(int dir_fd, const std::string& name, bool log_by_default, OpenAs as) {
    auto file = MappedFile::open_at(dir_fd, name, as);
    if (!file) return {std::nullopt, "cannot be read: " + file.error().message()};
    if (auto mapped = file->map(); !mapped) return {std::nullopt, "cannot be read: " + mapped.error().message()};
    // Another process may cut the file short while its bytes are looked at.
    const Bytes content = file->readable_view();
    const TruncationGuard guard(content);
    ContentVerdict verdict = kind_by_content(content, log_by_default);
    if (guard.pages_replaced()) return {std::nullopt, "cannot be read: the file shrank while its content was examined"};
    return verdict;
}

bool follows_links(const ListingRules& rules) noexcept { return rules.links == LinkRule::Follow && !rules.single_file; }

OpenAs open_rule(const ListingRules& rules) noexcept {
    return follows_links(rules) ? OpenAs::Anything : OpenAs::RegularFile;
}

// Lists one entry of the directory open in listing.fd: admits it to `files`
// or notes it in `others`, or passes over it when it is nothing of a store's.
void list_entry(StoreListing& listing, std::string name, std::string path, const ListingRules& rules) {
    const auto data_file = data_file_name(name);
    const bool looks_like_data = data_file || has_data_extension(name);
    // A file given by its own path is read whatever its name; in a directory
    // the store's other files keep their names' meaning even with any_name.
    const bool bookkeeping = !rules.single_file && !looks_like_data && is_store_bookkeeping(name);
    const bool by_content = rules.single_file || rules.any_name;
    if (!looks_like_data && !bookkeeping && !by_content) return;

    auto note = [&](ListedEntry::Status status, std::string reason, std::uint64_t size, std::string target = {}) {
        listing.others.push_back({std::move(name), std::move(path), status, std::move(reason), size, std::move(target)});
    };
    // A file given by its own path is never followed through a link either.
    const int stat_flags = follows_links(rules) ? 0 : AT_SYMLINK_NOFOLLOW;
    struct stat st {};
    if (::fstatat(listing.fd.get(), name.c_str(), &st, stat_flags) != 0) {
        const std::string why = "cannot be examined: " + OsError::last().message();
        note(bookkeeping ? ListedEntry::Status::NotData : ListedEntry::Status::NotAdmitted, why, 0);
        return;
    }
    const std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (S_ISLNK(st.st_mode)) {
        auto target = link_target(listing.fd.get(), name);
        if (!target) {
            note(ListedEntry::Status::Link, "a link, not followed; its target cannot be read: " + target.error().message(), size);
        } else {
            note(ListedEntry::Status::Link, "a link, not followed", size, std::move(*target));
        }
        return;
    }
    if (bookkeeping) {
        note(ListedEntry::Status::NotData, "not a data file", size);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        note(ListedEntry::Status::NotAdmitted, file_type_text(st.st_mode), size);
        return;
    }
    if (!is_valid_utf8(name)) {
        note(ListedEntry::Status::NotAdmitted, "the name is not valid UTF-8", size);
        return;
    }
    std::optional<DataFileKind> kind = rules.single_file ? rules.forced_kind : std::nullopt;
    const std::uint64_t number = data_file ? engine_file_number(data_file_digits(name)) : 0;
    if (!kind && data_file) kind = data_file->kind;
    if (!kind && !by_content) {
        note(ListedEntry::Status::NotAdmitted,
             "the name is not a data file name (6 to 16 digits, a dot, and log, ldb or sst)", size);
        return;
    }
    if (!kind) {
        ContentVerdict verdict = kind_of_file(listing.fd.get(), name, rules.single_file, listing.open_as);
        if (!verdict.kind) {
            note(ListedEntry::Status::NotAdmitted, std::move(verdict.reason), size);
            return;
        }
        kind = verdict.kind;
    }
    listing.files.push_back({std::move(name), std::move(path), {}, *kind, number, size});
}

// The directory that holds `path` and the entry's name in it, for a path
// that names a file: "a/b" is ("a", "b"), "b" is (".", "b"), "/b" is ("/", "b").
std::pair<std::string, std::string> split_parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

void settle_order(StoreListing& listing, bool reverse) {
    std::stable_sort(listing.files.begin(), listing.files.end(),
                     [](const ListedFile& a, const ListedFile& b) { return a.number < b.number; });
    if (reverse) std::reverse(listing.files.begin(), listing.files.end());
}

}  // namespace

std::expected<StoreListing, DbError> list_store(const std::string& directory, LinkRule links, bool reverse) {
    ListingRules rules;
    rules.links = links;
    rules.reverse = reverse;
    return list_store(directory, rules);
}

std::expected<StoreListing, DbError> list_store(const std::string& path, const ListingRules& rules) {
    // The system sees a path only up to its first NUL byte: a path holding one
    // would name some other directory, never the one the caller wrote.
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(DbError{DbError::NotADirectory{path}});
    }
    struct stat path_stat {};
    const bool is_directory = ::stat(path.c_str(), &path_stat) == 0 && S_ISDIR(path_stat.st_mode);
    if (!is_directory) {
        // A file given by its own path (a link to one is listed as a link).
        struct stat own {};
        const bool exists = ::lstat(path.c_str(), &own) == 0;
        if (!rules.single_file || !exists || path.back() == '/') {
            return std::unexpected(DbError{DbError::NotADirectory{path}});
        }
        auto [parent, name] = split_parent(path);
        StoreListing listing{path, DirectoryFd(open_directory(parent)), {}, {}, {}, open_rule(rules)};
        if (listing.fd.get() < 0) return std::unexpected(DbError{DbError::Io{OsError::last()}});
        list_entry(listing, std::move(name), path, rules);
        return listing;
    }
    ListingRules in_directory = rules;
    in_directory.single_file = false;
    StoreListing listing{path, DirectoryFd(open_directory(path)), {}, {}, {}, open_rule(in_directory)};
    if (listing.fd.get() < 0) return std::unexpected(DbError{DbError::Io{OsError::last()}});
    auto names = entry_names(listing.fd.get());
    if (!names) return std::unexpected(DbError{std::move(names.error())});
    std::sort(names->begin(), names->end());

    const bool has_separator = !path.empty() && path.back() == '/';
    ManifestChoice manifest_choice;
    for (std::string& name : *names) {
        std::string entry_path = has_separator ? path + name : path + "/" + name;
        manifest_choice.offer(name, entry_path);
        list_entry(listing, std::move(name), std::move(entry_path), in_directory);
    }
    listing.manifest = manifest_choice.chosen();
    settle_order(listing, rules.reverse);
    return listing;
}

}  // namespace tarnwick
