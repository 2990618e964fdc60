// A file truncated while a pass over it is under way: the pages past its new
// end vanish from the mapping, and touching one would raise SIGBUS. The
// truncation is done from inside the reader's callback, so that it lands in
// the middle of the pass every time. Cases that end or may end a process run
// in a child of their own.
#include "util/truncation_guard.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <cstdint>
#include <fstream>
#include <functional>
#include <thread>

#include "byte_builder.hpp"
#include "ldb_file/ldb_file.hpp"
#include "log_file/log_file.hpp"

namespace tarnwick {
namespace {

using namespace test;

// Runs `body` in a forked child and gives its wait status. The child's exit
// status is what `body` returns.
int in_child(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

void rewrite(const std::string& path, const ByteVec& bytes) {
    // The same file (same inode), so that a mapping of it sees the new bytes.
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Seen {
    std::string key;
    std::string value;
    friend bool operator==(const Seen&, const Seen&) = default;
};

// A log: block 0 holds batch 1 (Full) and the start of batch 2 (First);
// block 1 holds the rest of batch 2 (Last). Batch 2's value is `value_size`
// bytes of 'v'; 40000 of them reach into the file's tenth page, not further.
constexpr std::size_t kAcrossBlocks = 40000;
ByteVec log_with_record_across_blocks(std::size_t value_size = kAcrossBlocks) {
    ByteVec bytes;
    const ByteVec first = write_batch(1, {{1, "a", "small"}});
    put_physical(bytes, kFull, text_of(first));
    ByteVec second = write_batch(2, {{1, "b", std::string(value_size, 'v')}});
    const std::size_t head = payload_to_leave(bytes, 0);
    put_physical(bytes, kFirst, text_of(Bytes(second).first(head)));
    put_physical(bytes, kLast, text_of(Bytes(second).subspan(head)));
    return bytes;
}

// A table of one uncompressed block: a small entry, then one whose value of
// `big` bytes of 'x' spans many pages.
ByteVec table_with_big_value(std::size_t big) {
    TableBuilder table;
    table.add_data_block({{internal_key("a", 1, 1), "small"}, {internal_key("b", 2, 1), std::string(big, 'x')}});
    return table.finish();
}

// A table of two uncompressed blocks: a small entry, then in a block of its
// own an entry whose value of `big` bytes of 'x' spans many pages.
ByteVec table_of_two_blocks(std::size_t big) {
    TableBuilder table;
    table.add_data_block({{internal_key("a", 1, 1), "small"}});
    table.add_data_block({{internal_key("b", 2, 1), std::string(big, 'x')}});
    return table.finish();
}

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
    EXPECT_EQ(keys, (std::vector<std::string>{"k0"}));
}

// The bytes of a record are read before the record is handed out: a page that
// vanishes afterwards cannot put zeros into it.
TEST(TruncationGuard, NoTableRecordCarriesZerosOfAVanishedPage) {
    TempDir dir;
    const std::string big(200000, 'x');
    const std::string path = dir.write("000002.ldb", table_with_big_value(big.size()));
    const auto file = LdbFile::open(path);
    ASSERT_TRUE(file);
    std::vector<Seen> seen;
    file->read_records([&](const RecordView& record) {
        if (seen.empty()) {
            ASSERT_EQ(::truncate(path.c_str(), 70000), 0);
        }
        seen.push_back({text_of(record.user_key()), text_of(record.value)});
    });
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0], (Seen{"a", "small"}));
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i], (Seen{"b", big}));
}

// A record whose fragment lies on a page that vanished is not reported, and
// the pass ends there: whether the cut leaves whole pages of the fragment to
// fault on, or only the zeros after the file's new end in its last page.
TEST(TruncationGuard, NoLogRecordCarriesZerosOfAVanishedPage) {
    for (const std::size_t cut : {LOG_BLOCK_SIZE + 100, LOG_BLOCK_SIZE + 4096 + 100}) {
        TempDir dir;
        const std::string path = dir.write("000003.log", log_with_record_across_blocks());
        const auto file = LogFile::open(path);
        ASSERT_TRUE(file);
        std::vector<Seen> seen;
        file->read_records([&](const RecordView& record) {
            if (seen.empty()) {
                ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0);
            }
            seen.push_back({text_of(record.key), text_of(record.value)});
        });
        EXPECT_EQ(seen, (std::vector<Seen>{{"a", "small"}})) << "cut at " << cut;
    }
}

// The same when the file ends inside the last page of a block that fills its
// whole 32 KiB, with more blocks after it in the mapping: the last bytes of
// batch 2 read as zeros without a fault, and the page after them tells.
TEST(TruncationGuard, NoLogRecordCarriesZerosPastANewEndInsideAPage) {
    ByteVec bytes;
    put_physical(bytes, kFull, text_of(write_batch(1, {{1, "a", "small"}})));
    const std::size_t head = payload_to_leave(bytes, 0);
    const std::size_t rest = LOG_BLOCK_SIZE - LOG_HEADER_SIZE - 50;
    const ByteVec second = write_batch(2, {{1, "b", std::string(head + rest - 18, 'v')}});
    ASSERT_EQ(second.size(), head + rest);
    put_physical(bytes, kFirst, text_of(Bytes(second).first(head)));
    put_physical(bytes, kLast, text_of(Bytes(second).subspan(head)));
    pad_to_block_end(bytes);
    put_physical(bytes, kFull, text_of(write_batch(3, {{1, "c", "after"}})));

    TempDir dir;
    const std::string path = dir.write("000003.log", bytes);
    const auto file = LogFile::open(path);
    ASSERT_TRUE(file);
    std::vector<Seen> seen;
    file->read_records([&](const RecordView& record) {
        if (seen.empty()) {
            ASSERT_EQ(::truncate(path.c_str(), 2 * LOG_BLOCK_SIZE - 100), 0);
        }
        seen.push_back({text_of(record.key), text_of(record.value)});
    });
    EXPECT_EQ(seen, (std::vector<Seen>{{"a", "small"}}));
}

// After a pass that lost pages, the next pass reads the file as it is then.
TEST(TruncationGuard, ARestoredFileReadsWholeOnTheSameReader) {
    TempDir dir;
    const ByteVec table_bytes = table_of_two_blocks(200000);
    const ByteVec log_bytes = log_with_record_across_blocks();
    const std::string table_path = dir.write("000002.ldb", table_bytes);
    const std::string log_path = dir.write("000003.log", log_bytes);
    const auto table = LdbFile::open(table_path);
    const auto log = LogFile::open(log_path);
    ASSERT_TRUE(table && log);

    const auto truncate_then_count = [](const auto& file, const std::string& path, std::size_t to) {
        std::size_t count = 0;
        file.read_records([&](const RecordView&) {
            if (count++ == 0) ::truncate(path.c_str(), static_cast<off_t>(to));
        });
        return count;
    };
    // Both second records lie past the cut.
    EXPECT_EQ(truncate_then_count(*table, table_path, 5000), 1u);
    EXPECT_EQ(truncate_then_count(*log, log_path, LOG_BLOCK_SIZE + 100), 1u);
    rewrite(table_path, table_bytes);
    rewrite(log_path, log_bytes);

    std::vector<Seen> table_seen, log_seen;
    table->read_records([&](const RecordView& r) { table_seen.push_back({text_of(r.user_key()), text_of(r.value)}); });
    log->read_records([&](const RecordView& r) { log_seen.push_back({text_of(r.key), text_of(r.value)}); });
    EXPECT_EQ(table_seen, (std::vector<Seen>{{"a", "small"}, {"b", std::string(200000, 'x')}}));
    EXPECT_EQ(log_seen, (std::vector<Seen>{{"a", "small"}, {"b", std::string(kAcrossBlocks, 'v')}}));
}

// Worker threads often block every signal; a blocked synchronous SIGBUS would
// take the default action and end the process.
TEST(TruncationGuard, AThreadThatBlocksAllSignalsSurvives) {
    TempDir dir;
    const std::string path = dir.write("000003.log", log_with_record_across_blocks());
    const int status = in_child([&] {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        const auto file = LogFile::open(path);
        if (!file) return 2;
        std::size_t count = 0;
        file->read_records([&](const RecordView&) {
            if (count++ == 0) ::truncate(path.c_str(), LOG_BLOCK_SIZE + 100);
        });
        sigset_t now;
        ::pthread_sigmask(SIG_BLOCK, nullptr, &now);
        if (sigismember(&now, SIGBUS) != 1) return 3;  // the mask is restored after the pass
        return count == 1 ? 0 : 4;
    });
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A SIGBUS sent by a process is not a fault of the reader's: it takes its usual
// course (here, the default: the process ends), even when it names an address
// inside the file being read.
TEST(TruncationGuard, SentBusErrorsTakeTheirUsualCourse) {
    TempDir dir;
    const std::string path = dir.write("000003.log", log_with_record_across_blocks());
    const auto send = [&](bool queued) {
        return in_child([&] {
            ::signal(SIGBUS, SIG_DFL);
            const auto file = LogFile::open(path);
            if (!file) return 2;
            std::size_t count = 0;
            file->read_records([&](const RecordView& record) {
                if (count++ != 0) return;
                if (!queued) {
                    ::kill(::getpid(), SIGBUS);
                    return;
                }
                siginfo_t info{};
                info.si_signo = SIGBUS;
                info.si_code = SI_QUEUE;
                info.si_addr = const_cast<std::uint8_t*>(record.key.data());
                ::syscall(SYS_rt_sigqueueinfo, ::getpid(), SIGBUS, &info);
            });
            return 0;  // still alive: the signal was swallowed
        });
    };
    for (const bool queued : {false, true}) {
        const int status = send(queued);
        ASSERT_TRUE(WIFSIGNALED(status)) << (queued ? "sigqueue" : "kill") << ": exited " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), SIGBUS);
    }
}

// A host that installs its own SIGBUS handler after the reader's, and passes
// on the faults it does not own to the handler it replaced, keeps the guard
// working; its own faults stay its own.
struct sigaction g_replaced {};
volatile sig_atomic_t g_host_faults = 0;
std::uintptr_t g_host_begin = 0, g_host_end = 0;

void host_handler(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (address >= g_host_begin && address < g_host_end) {
        g_host_faults = g_host_faults + 1;
        const auto page = address & ~std::uintptr_t{4095};
        ::mmap(reinterpret_cast<void*>(page), 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        return;
    }
    g_replaced.sa_sigaction(signal, info, context);
}

TEST(TruncationGuard, AHostHandlerThatChainsKeepsTheGuardWorking) {
    TempDir dir;
    const std::string guarded_path = dir.write("guarded", ByteVec(8192, 1));
    const std::string host_path = dir.write("host", ByteVec(8192, 2));
    const int status = in_child([&] {
        auto guarded = MappedFile::open(guarded_path);
        auto host = MappedFile::open(host_path);
        if (!guarded || !host || !guarded->map() || !host->map()) return 2;
        { const TruncationGuard first(guarded->view()); }  // the reader's handler is in place
        g_host_begin = reinterpret_cast<std::uintptr_t>(host->view().data());
        g_host_end = g_host_begin + host->view().size();
        struct sigaction mine {};
        mine.sa_sigaction = host_handler;
        mine.sa_flags = SA_SIGINFO;
        ::sigaction(SIGBUS, &mine, &g_replaced);
        if ((g_replaced.sa_flags & SA_SIGINFO) == 0) return 3;

        const TruncationGuard guard(guarded->view());
        ::truncate(host_path.c_str(), 0);
        ::truncate(guarded_path.c_str(), 0);
        if (guarded->view()[5000] != 0 || !guard.pages_replaced() || g_host_faults != 0) return 4;
        if (host->view()[5000] != 0 || g_host_faults != 1) return 5;
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A pass may start another over the same file from inside its callback.
TEST(TruncationGuard, PassesNest) {
    TableBuilder table;
    table.add_data_block({{internal_key("a", 1, 1), "1"}, {internal_key("b", 2, 1), "2"}});
    TempDir dir;
    const std::string path = dir.write("000002.ldb", table.finish());
    const auto file = LdbFile::open(path);
    ASSERT_TRUE(file);
    std::size_t inner = 0;
    file->read_records([&](const RecordView&) {
        const auto block = file->read_block(file->index().at(0).handle);
        ASSERT_TRUE(block);
        block->for_each_entry([&](std::uint64_t, Bytes, Bytes) { ++inner; });
    });
    EXPECT_EQ(inner, 4u);
}

// A handler that the host installs during a pass is its own choice: the pass
// does not put the old one back when it ends.
TEST(TruncationGuard, AHostHandlerInstalledDuringAPassStays) {
    TempDir dir;
    const std::string path = dir.write("000003.log", log_with_record_across_blocks());
    const int status = in_child([&] {
        const auto file = LogFile::open(path);
        if (!file) return 2;
        struct sigaction host {};
        host.sa_handler = [](int) {};
        file->read_records([&](const RecordView&) { ::sigaction(SIGBUS, &host, nullptr); });
        struct sigaction now {};
        ::sigaction(SIGBUS, nullptr, &now);
        return now.sa_handler == host.sa_handler ? 0 : 3;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Two threads read at once, one of them through a truncation: neither waits
// for the other, and each keeps what it read.
TEST(TruncationGuard, PassesInTwoThreadsRunAtOnce) {
    TempDir dir;
    const std::string truncated_path = dir.write("000003.log", log_with_record_across_blocks());
    const std::string whole_path = dir.write("000004.ldb", table_with_big_value(200000));
    const auto truncated = LogFile::open(truncated_path);
    const auto whole = LdbFile::open(whole_path);
    ASSERT_TRUE(truncated && whole);
    std::barrier both_inside(2);
    std::size_t truncated_count = 0, whole_count = 0;
    std::thread first([&] {
        truncated->read_records([&](const RecordView&) {
            if (truncated_count++ == 0) {
                both_inside.arrive_and_wait();  // the other pass is under way too
                ::truncate(truncated_path.c_str(), LOG_BLOCK_SIZE + 100);
            }
        });
    });
    std::thread second([&] {
        whole->read_records([&](const RecordView&) {
            if (whole_count++ == 0) both_inside.arrive_and_wait();
        });
    });
    first.join();
    second.join();
    EXPECT_EQ(truncated_count, 1u);
    EXPECT_EQ(whole_count, 2u);
}

}  // namespace
}  // namespace tarnwick
