// The table reader over arbitrary bytes. The reader works on files, so each
// input is written to a file of its own name in a private directory (in memory
// where /dev/shm exists), opened with LdbFile::open and read whole; then the
// file is cut to half its length behind the open reader and read again, as
// when another process truncates a file that is being read.
#include <fcntl.h>
#include <stdlib.h>  // mkdtemp
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "check.hpp"
#include "ldb_file/ldb_file.hpp"

using namespace tarnwick;

namespace {

std::string g_dir;
std::string g_path;

// The directory and its one file go when the run ends.
void remove_file() {
    ::unlink(g_path.c_str());
    ::rmdir(g_dir.c_str());
}

const std::string& make_path() {
    g_dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/tarnwick-fuzz-XXXXXX" : "/tmp/tarnwick-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(g_dir.data()) != nullptr);
    g_path = g_dir + "/000001.ldb";
    std::atexit(remove_file);
    return g_path;
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

// Each block read lies in its own bytes of the file (overlapping ones are
// skipped) and expands at most to what Snappy can make of them; each entry
// takes at least three of the bytes it expands to.
std::uint64_t read_all(const LdbFile& file, std::size_t size) {
    std::uint64_t records = 0;
    file.read_records([&](const RecordView& record) {
        ++records;
        FUZZ_CHECK(record.file_type == FileKind::Table);
        FUZZ_CHECK(record.offset < size);
    });
    FUZZ_CHECK(records <= 12 * std::uint64_t{size} + 64);
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = make_path();
    write_file(path, data, size);
    {
        const auto file = LdbFile::open(path);
        if (!file) return 0;
        FUZZ_CHECK(file->length() == size);
        read_all(*file, size);
        for (const IndexEntry& entry : file->index()) {
            if (auto block = file->read_block(entry.handle)) decode_entries(*block);
        }
        FUZZ_CHECK(::truncate(path.c_str(), static_cast<off_t>(size / 2)) == 0);
        read_all(*file, size);
    }
    return 0;
}
