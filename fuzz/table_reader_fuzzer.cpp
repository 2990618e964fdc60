// The table reader over arbitrary bytes. The reader works on files, so each
// input is written to a file of its own name in a private directory (in memory
// where /dev/shm exists), opened with LdbFile::open and read whole; then the
// file is cut to half its length behind the open reader and read again, as
// when another process truncates a file that is being read. Each input is
// also salvaged as a table whose footer and index are lost: what the salvage
// reports carved or skipped lies in order inside the file.
#include <fcntl.h>
#include <stdlib.h>  // mkdtemp
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "check.hpp"
#include "db/pass_observer.hpp"
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

// The carved blocks and the skipped stretches of a salvage, which come in
// file order and never overlap.
class OrderedRanges : public PassObserver {
   public:
    explicit OrderedRanges(std::uint64_t size) : size_(size) {}
    void block_carved(std::uint64_t offset, std::uint64_t size) override { take(offset, offset + size); }
    void bytes_skipped(std::uint64_t begin, std::uint64_t end, std::string_view reason) override {
        FUZZ_CHECK(!reason.empty());
        take(begin, end);
    }
    void stopped(std::uint64_t offset, std::string_view) override { FUZZ_CHECK(offset <= size_); }

   private:
    void take(std::uint64_t begin, std::uint64_t end) {
        FUZZ_CHECK(end <= size_ && begin < end && begin >= previous_end_);
        previous_end_ = end;
    }
    std::uint64_t size_;
    std::uint64_t previous_end_ = 0;
};

void salvage(const std::string& path, std::size_t size) {
    const auto file = LdbFile::open_unindexed(path);
    if (!file) return;
    OrderedRanges ranges(size);
    std::uint64_t records = 0;
    file->salvage_records(
        [&](const RecordView& record) {
            ++records;
            FUZZ_CHECK(record.offset < size);
        },
        &ranges);
    FUZZ_CHECK(records <= 12 * std::uint64_t{size} + 64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = make_path();
    write_file(path, data, size);
    salvage(path, size);
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
