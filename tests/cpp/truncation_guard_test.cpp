// A file truncated while a pass over it is under way: the pages past its new
// end vanish from the mapping, and touching one would raise SIGBUS. The
// truncation is done from inside the reader's callback, so that it lands in
// the middle of the pass every time.
#include "db/truncation_guard.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>

#include "byte_builder.hpp"
#include "ldb_file/ldb_file.hpp"
#include "log_file/log_file.hpp"

namespace tarnwick {
namespace {

using namespace test;

TEST(TruncationGuard, LogTruncatedDuringThePassEndsWithoutACrash) {
    TempDir dir;
    ByteVec bytes;
    for (std::uint64_t block = 0; block < 8; ++block) {
        append(bytes, log_of_full_records({write_batch(block + 1, {{1, "key", std::string(100, 'v')}})}));
        pad_to_block_end(bytes);
    }
    const std::string path = dir.write("000001.log", bytes);
    const auto file = LogFile::open(path);
    ASSERT_TRUE(file);

    std::vector<std::uint64_t> seqs;
    file->read_records([&](const RecordView& record) {
        if (seqs.empty()) {
            ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
        }
        seqs.push_back(record.seq);
    });
    // Only the first block survived; the vanished ones read as zeros, which
    // the log format skips.
    EXPECT_EQ(seqs, (std::vector<std::uint64_t>{1}));
}

TEST(TruncationGuard, TableTruncatedDuringThePassKeepsWhatWasRead) {
    TableBuilder table;
    for (int block = 0; block < 6; ++block) {
        table.add_data_block({{internal_key("k" + std::to_string(block), 1, 1), "value"}});
        table.add_filler(8192);
    }
    TempDir dir;
    const std::string path = dir.write("000002.ldb", table.finish());
    const auto file = LdbFile::open(path);
    ASSERT_TRUE(file);

    std::vector<std::string> keys;
    file->read_records([&](const RecordView& record) {
        if (keys.empty()) {
            ASSERT_EQ(::truncate(path.c_str(), 100), 0);
        }
        keys.push_back(text_of(record.user_key()));
    });
    // The blocks past the new end are measured again and left out rather than
    // decoded from the zeros that replaced them.
    EXPECT_EQ(keys, (std::vector<std::string>{"k0"}));
}

// A bus error outside the guarded bytes is not the guard's to answer: it
// reaches the handler that was there before.
sig_atomic_t g_foreign_faults = 0;
void count_and_patch(int, siginfo_t* info, void*) {
    ++g_foreign_faults;
    const auto page = reinterpret_cast<std::uintptr_t>(info->si_addr) & ~std::uintptr_t{4095};
    ::mmap(reinterpret_cast<void*>(page), 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
}

TEST(TruncationGuard, FaultsElsewhereGoToThePreviousHandler) {
    TempDir dir;
    const std::string guarded_path = dir.write("guarded", ByteVec(8192, 1));
    const std::string other_path = dir.write("other", ByteVec(8192, 2));
    auto guarded = MappedFile::open(guarded_path);
    auto other = MappedFile::open(other_path);
    ASSERT_TRUE(guarded && other);
    ASSERT_TRUE(guarded->map() && other->map());

    struct sigaction mine {}, before {};
    mine.sa_sigaction = count_and_patch;
    mine.sa_flags = SA_SIGINFO;
    ASSERT_EQ(::sigaction(SIGBUS, &mine, &before), 0);
    {
        const TruncationGuard guard(guarded->view());
        ASSERT_EQ(::truncate(other_path.c_str(), 0), 0);
        ASSERT_EQ(::truncate(guarded_path.c_str(), 0), 0);
        EXPECT_EQ(guarded->view()[5000], 0);  // answered by the guard
        EXPECT_TRUE(guard.pages_replaced());
        EXPECT_EQ(g_foreign_faults, 0);
        EXPECT_EQ(other->view()[5000], 0);  // passed on
        EXPECT_EQ(g_foreign_faults, 1);
    }
    struct sigaction after {};
    ::sigaction(SIGBUS, &before, &after);
    EXPECT_EQ(after.sa_sigaction, count_and_patch);  // the guard put it back
}

}  // namespace
}  // namespace tarnwick
