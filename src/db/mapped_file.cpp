#include "db/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace tarnwick {

namespace {

constexpr const char* kLinkTookItsPlace = "a symbolic link has taken the file's place since it was listed; it is not followed";
constexpr const char* kOtherTookItsPlace = "something other than a regular file has taken the file's place since it was listed";

int open_read_only(int dir_fd, const char* path, OpenAs as) {
    // O_NONBLOCK: a name that turned into a FIFO since it was checked must not
    // hang the open. O_NOATIME is only granted to the file's owner (or a
    // privileged process); elsewhere fall back to a plain read-only open.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (as == OpenAs::RegularFile ? O_NOFOLLOW : 0);
#ifdef O_NOATIME
    const int fd = ::openat(dir_fd, path, flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
#endif
    return ::openat(dir_fd, path, flags);
}

std::optional<std::uint64_t> seek(int fd, std::uint64_t from, int whence) noexcept {
    if (from > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    const off_t at = ::lseek(fd, static_cast<off_t>(from), whence);
    if (at < 0) return std::nullopt;
    return static_cast<std::uint64_t>(at);
}

}  // namespace

std::expected<MappedFile, OsError> MappedFile::open(const std::string& path) {
    return open_at(AT_FDCWD, path);
}

std::expected<MappedFile, OsError> MappedFile::open_at(int dir_fd, const std::string& name, OpenAs as) {
    const int fd = open_read_only(dir_fd, name.c_str(), as);
    if (fd < 0) {
        // O_NOFOLLOW fails with ELOOP on a link as the name's last component,
        // which is all a name within a directory has.
        if (as == OpenAs::RegularFile && errno == ELOOP) return std::unexpected(OsError{ELOOP, kLinkTookItsPlace});
        return std::unexpected(OsError::last());
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const OsError error = OsError::last();
        ::close(fd);
        return std::unexpected(error);
    }
    if (as == OpenAs::RegularFile && !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::unexpected(OsError{EINVAL, kOtherTookItsPlace});
    }
    const std::uint64_t length = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return MappedFile(fd, length);
}

std::expected<void, OsError> MappedFile::map() {
    if (mapping_ != nullptr || length_ == 0) return {};
    if (length_ > SIZE_MAX) return std::unexpected(OsError::from_code(EFBIG));
    void* address = ::mmap(nullptr, static_cast<std::size_t>(length_), PROT_READ, MAP_SHARED, fd_, 0);
    if (address == MAP_FAILED) return std::unexpected(OsError::last());
    // Every reader walks its file front to back.
    ::madvise(address, static_cast<std::size_t>(length_), MADV_SEQUENTIAL);
    mapping_ = address;
    return {};
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      length_(std::exchange(other.length_, 0)),
      mapping_(std::exchange(other.mapping_, nullptr)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        length_ = std::exchange(other.length_, 0);
        mapping_ = std::exchange(other.mapping_, nullptr);
    }
    return *this;
}

MappedFile::~MappedFile() { release(); }

void MappedFile::release() noexcept {
    if (mapping_ != nullptr) ::munmap(mapping_, static_cast<std::size_t>(length_));
    if (fd_ >= 0) ::close(fd_);
    mapping_ = nullptr;
    fd_ = -1;
}

Bytes MappedFile::view() const noexcept {
    if (mapping_ == nullptr) return {};
    return Bytes(static_cast<const std::uint8_t*>(mapping_), static_cast<std::size_t>(length_));
}

Bytes MappedFile::readable_view() const noexcept {
    const Bytes bytes = view();
    if (bytes.empty()) return bytes;
    const auto now = current_length();
    if (!now) return {};
    return *now < bytes.size() ? bytes.first(static_cast<std::size_t>(*now)) : bytes;
}

std::optional<std::uint64_t> MappedFile::current_length() const noexcept {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return std::nullopt;
    return st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::optional<std::uint64_t> MappedFile::seek_data(std::uint64_t from) const noexcept {
    return seek(fd_, from, SEEK_DATA);
}

std::optional<std::uint64_t> MappedFile::seek_hole(std::uint64_t from) const noexcept {
    return seek(fd_, from, SEEK_HOLE);
}

void MappedFile::restore_pages() const noexcept {
    if (mapping_ == nullptr) return;
    // MAP_FIXED replaces the pages in place, in one step: no other mapping can
    // slip in between, and the address the readers hold stays valid.
    ::mmap(mapping_, static_cast<std::size_t>(length_), PROT_READ, MAP_SHARED | MAP_FIXED, fd_, 0);
}

}  // namespace tarnwick
