#include "db/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tarnwick {

namespace {

int open_read_only(const std::string& path) {
    // O_NONBLOCK: a name that turned into a FIFO since it was checked must not
    // hang the open. O_NOATIME is only granted to the file's owner (or a
    // privileged process); elsewhere fall back to a plain read-only open.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
#ifdef O_NOATIME
    const int fd = ::open(path.c_str(), flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
#endif
    return ::open(path.c_str(), flags);
}

}  // namespace

std::expected<MappedFile, OsError> MappedFile::open(const std::string& path) {
    const int fd = open_read_only(path);
    if (fd < 0) return std::unexpected(OsError::last());
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const OsError error = OsError::last();
        ::close(fd);
        return std::unexpected(error);
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
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return {};
    const std::uint64_t now = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return now < bytes.size() ? bytes.first(static_cast<std::size_t>(now)) : bytes;
}

}  // namespace tarnwick
