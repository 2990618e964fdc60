#include "chromium_store/blob_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

#include "util/os_error.hpp"

namespace tarnwick::chromium {

namespace {

constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int file_flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr std::size_t read_chunk = std::size_t{1} << 20;
constexpr unsigned folder_byte_shift = 8;

// O_NOATIME is only granted to a file's owner (or a privileged process);
// elsewhere the open goes on without it.
int open_evidence(int dir_fd, const char* name, int flags) {
#ifdef O_NOATIME
    const int fd = ::openat(dir_fd, name, flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
#endif
    return ::openat(dir_fd, name, flags);
}

class Descriptors {
   public:
    Descriptors() = default;
    Descriptors(const Descriptors&) = delete;
    Descriptors& operator=(const Descriptors&) = delete;
    ~Descriptors() {
        for (const int fd : fds_) ::close(fd);
    }
    void keep(int fd) { fds_.push_back(fd); }
    [[nodiscard]] int last() const { return fds_.back(); }

   private:
    std::vector<int> fds_;
};

std::string hex(std::uint64_t n, int min_digits) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llx", min_digits, static_cast<unsigned long long>(n));
    return text;
}

std::array<std::string, 3> blob_parts(std::uint64_t database_id, std::uint64_t blob_number) {
    return {hex(database_id, 1), hex((blob_number >> folder_byte_shift) & 0xFF, 2), hex(blob_number, 1)};
}

std::string what_it_is(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::string read_link(int dir_fd, const char* name) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlinkat(dir_fd, name, target.data(), target.size());
    if (n < 0) return "?";
    target.resize(static_cast<std::size_t>(n));
    return target;
}

std::string join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// A folder on the way to the file that is a link or no folder at all.
BlobFile folder_not_followed(const std::string& blob_folder, const std::array<std::string, 3>& parts,
                             BlobFile found, int error) {
    std::string at = blob_folder;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) at = join(at, parts[i - 1]);
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0) break;
        if (S_ISLNK(st.st_mode)) {
            found.status = BlobStatus::Link;
            found.detail = read_link(AT_FDCWD, at.c_str()) + " (the folder " + at + ")";
            return found;
        }
        if (!S_ISDIR(st.st_mode)) {
            found.status = BlobStatus::NotRegular;
            found.detail = what_it_is(st.st_mode) + " where the folder " + at + " should be";
            return found;
        }
    }
    found.status = BlobStatus::Unreadable;
    found.detail = OsError::from_code(error).description;
    return found;
}

// A Python-style quoted text, as the reports have always written link targets.
std::string python_quoted(const std::string& text) {
    const bool double_quotes = text.find('\'') != std::string::npos && text.find('"') == std::string::npos;
    const char quote = double_quotes ? '"' : '\'';
    std::string out(1, quote);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == quote || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (b < 0x20 || b == 0x7F) {
            out += "\\x" + hex(b, 2);
        } else {
            out += c;
        }
    }
    out += quote;
    return out;
}

}  // namespace

std::string BlobFile::describe() const {
    switch (status) {
        case BlobStatus::Read: return "read";
        case BlobStatus::Missing: return "missing";
        case BlobStatus::Link: return "a symbolic link to " + python_quoted(detail) + ", not followed";
        case BlobStatus::NotRegular:
        case BlobStatus::Oversize: return detail + ", not read";
        case BlobStatus::Unreadable: return "unreadable (" + detail + ")";
    }
    return "unreadable";
}

std::string blob_file_path(const std::string& blob_folder, std::uint64_t database_id, std::uint64_t blob_number) {
    std::string path = blob_folder;
    for (const auto& part : blob_parts(database_id, blob_number)) path = join(path, part);
    return path;
}

BlobFile read_blob_file(const std::string& blob_folder, std::uint64_t database_id, std::uint64_t blob_number,
                        std::uint64_t limit) {
    const auto parts = blob_parts(database_id, blob_number);
    BlobFile found;
    found.path = blob_file_path(blob_folder, database_id, blob_number);
    auto failed = [&](int error) {
        if (error == ENOENT) {
            found.status = BlobStatus::Missing;
            return found;
        }
        if (error == ELOOP || error == ENOTDIR) return folder_not_followed(blob_folder, parts, found, error);
        found.status = BlobStatus::Unreadable;
        found.detail = OsError::from_code(error).description;
        return found;
    };
    Descriptors fds;
    int fd = open_evidence(AT_FDCWD, blob_folder.c_str(), folder_flags);
    if (fd < 0) return failed(errno);
    fds.keep(fd);
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        fd = open_evidence(fds.last(), parts[i].c_str(), folder_flags);
        if (fd < 0) return failed(errno);
        fds.keep(fd);
    }
    const char* name = parts.back().c_str();
    struct stat st {};
    if (::fstatat(fds.last(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return failed(errno);
    if (S_ISLNK(st.st_mode)) {
        found.status = BlobStatus::Link;
        found.detail = read_link(fds.last(), name);
        return found;
    }
    auto not_regular = [&](mode_t mode) {
        found.status = BlobStatus::NotRegular;
        found.detail = what_it_is(mode);
        return found;
    };
    if (!S_ISREG(st.st_mode)) return not_regular(st.st_mode);
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
        found.status = BlobStatus::Oversize;
        found.detail = std::to_string(st.st_size) + " bytes, over the " + std::to_string(limit) + "-byte cap";
        return found;
    }
    fd = open_evidence(fds.last(), name, file_flags);
    if (fd < 0) return failed(errno);
    fds.keep(fd);
    // What was opened counts, should the name have changed meanwhile.
    if (::fstat(fd, &st) != 0) return failed(errno);
    if (!S_ISREG(st.st_mode)) return not_regular(st.st_mode);
    std::vector<std::uint8_t> data;
    while (data.size() <= limit) {
        const std::size_t old = data.size();
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(read_chunk, limit + 1 - old));
        data.resize(old + want);
        const ssize_t n = ::read(fd, data.data() + old, want);
        if (n < 0) {
            if (errno == EINTR) {
                data.resize(old);
                continue;
            }
            return failed(errno);
        }
        data.resize(old + static_cast<std::size_t>(n));
        if (n == 0) break;
    }
    if (data.size() > limit) {
        found.status = BlobStatus::Oversize;
        found.detail = "over the " + std::to_string(limit) + "-byte cap";
        return found;
    }
    found.status = BlobStatus::Read;
    found.data = std::move(data);
    return found;
}

}  // namespace tarnwick::chromium
