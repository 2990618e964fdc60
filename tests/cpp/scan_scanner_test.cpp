// The scanner: the records of Db::records in the same order, whatever the
// threads and batch bounds; a report per file; prompt cancellation.
#include "scan/scanner.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <tuple>

#include "byte_builder.hpp"
#include "store/db.hpp"
#include "scan/arrow_batch.hpp"

namespace tarnwick {
namespace {

using namespace test;

// A store of `files` logs, each one batch of `per_file` records whose values name them.
void write_store(const TempDir& dir, int files, int per_file) {
    for (int f = 1; f <= files; ++f) {
        std::vector<BatchEntry> entries;
        for (int i = 0; i < per_file; ++i) {
            const std::string name = std::to_string(f) + "/" + std::to_string(i);
            entries.push_back({static_cast<std::uint8_t>(i % 5 == 0 ? 0 : 1), "key-" + name, name});
        }
        char file_name[16];
        std::snprintf(file_name, sizeof file_name, "%06d.log", f);
        dir.write(file_name, log_of_full_records({write_batch(static_cast<std::uint64_t>(f) * 1000, entries)}));
    }
}

std::vector<std::string> scanned_keys(const std::string& path, ScanOptions options, std::size_t rows,
                                      std::size_t bytes) {
    auto scanner =
        Scanner::start(path, options, [=] { return std::make_unique<ArrowBatchBuilder>(rows, bytes); });
    EXPECT_TRUE(scanner);
    std::vector<std::string> keys;
    while (auto chunk = (*scanner)->next()) {
        const auto& batch = static_cast<ArrowBatch&>(*chunk);
        EXPECT_LE(static_cast<std::size_t>(batch.rows()), rows);
        const auto* offsets = batch.buffer<std::int64_t>(BatchBuffer::KeyOffsets);
        const auto* data = batch.buffer<char>(BatchBuffer::KeyData);
        for (std::int64_t row = 0; row < batch.rows(); ++row) {
            keys.emplace_back(data + offsets[row], static_cast<std::size_t>(offsets[row + 1] - offsets[row]));
        }
    }
    EXPECT_TRUE((*scanner)->report().complete);
    return keys;
}

struct Setting {
    unsigned threads;
    std::size_t rows;
    std::size_t bytes;
    std::uint64_t unit_bytes;
};

class ScannerOrder : public ::testing::TestWithParam<Setting> {};

TEST_P(ScannerOrder, DeliversTheRecordsOfTheListInItsOrder) {
    TempDir dir;
    write_store(dir, 30, 40);
    auto db = Db::open(dir.path());
    ASSERT_TRUE(db);
    for (const bool reverse : {false, true}) {
        std::vector<std::string> want;
        for (const Record& r : db->records(reverse)) want.push_back(text_of(r.key()));
        ScanOptions options;
        options.reverse = reverse;
        options.threads = GetParam().threads;
        options.unit_bytes = GetParam().unit_bytes;
        EXPECT_EQ(scanned_keys(dir.path(), options, GetParam().rows, GetParam().bytes), want);
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, ScannerOrder,
                         ::testing::Values(Setting{1, 65536, 1 << 20, 4 << 20}, Setting{4, 7, 1 << 20, 1},
                                           Setting{3, 1000, 200, 3000}, Setting{8, 1, 1, 1}));

TEST(Scanner, ReportsEachFile) {
    TempDir dir;
    write_store(dir, 3, 10);
    dir.write("000004.ldb", std::string(100, '\x01'));  // long enough for a footer, no magic
    ScanOptions options;
    options.threads = 2;
    auto scanner = Scanner::start(dir.path(), options, [] { return std::make_unique<DiscardingBuilder>(); });
    ASSERT_TRUE(scanner);
    EXPECT_EQ((*scanner)->next(), nullptr);
    const ReadReport report = (*scanner)->report();
    ASSERT_EQ(report.files.size(), 4U);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(report.files[i].status, FileReport::Status::Read);
        EXPECT_EQ(report.files[i].records, 10U);
        // Every fifth entry of a batch is a deletion.
        EXPECT_EQ(std::tuple(report.files[i].live, report.files[i].deleted, report.files[i].unknown,
                             report.files[i].compressed),
                  std::tuple(8U, 2U, 0U, 0U));
    }
    EXPECT_EQ(report.files[3].status, FileReport::Status::LeftOut);
    EXPECT_NE(report.files[3].reason.find("magic"), std::string::npos) << report.files[3].reason;
    EXPECT_TRUE(report.finished);
    EXPECT_FALSE(report.complete);  // a file was left out
}

TEST(Scanner, NeverFollowsALinkThatRawLevelDbFollows) {
    TempDir dir, other;
    write_store(dir, 2, 10);
    write_store(other, 1, 7);
    ASSERT_EQ(::symlink(other.path("000001.log").c_str(), dir.path("000003.log").c_str()), 0);
    auto db = Db::open(dir.path());
    ASSERT_TRUE(db);
    EXPECT_EQ(db->records(false).size(), 27U);

    auto scanner = Scanner::start(dir.path(), {}, [] { return std::make_unique<DiscardingBuilder>(); });
    ASSERT_TRUE(scanner);
    EXPECT_EQ((*scanner)->next(), nullptr);
    const ReadReport report = (*scanner)->report();
    EXPECT_EQ(report.files.size(), 2U);
    ASSERT_EQ(report.others.size(), 1U);
    EXPECT_EQ(report.others[0].status, ListedEntry::Status::Link);
    EXPECT_EQ(report.others[0].target, other.path("000001.log"));
    EXPECT_TRUE(report.finished);
    EXPECT_FALSE(report.complete);
}

TEST(Scanner, StopsPromptlyWhenDroppedMidway) {
    TempDir dir;
    write_store(dir, 50, 200);
    ScanOptions options;
    options.threads = 4;
    options.unit_bytes = 1;
    auto scanner =
        Scanner::start(dir.path(), options, [] { return std::make_unique<ArrowBatchBuilder>(3, 1 << 20); });
    ASSERT_TRUE(scanner);
    ASSERT_NE((*scanner)->next(), nullptr);
    const auto start = std::chrono::steady_clock::now();
    scanner->reset();  // joins the workers, which wait on full queues
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Scanner, FiltersByFileKindWithoutReadingTheOthers) {
    TempDir dir;
    write_store(dir, 2, 5);
    ScanOptions options;
    options.filter.file_kinds = 1U << static_cast<unsigned>(FileKind::Table);
    EXPECT_TRUE(scanned_keys(dir.path(), options, 100, 1 << 20).empty());
    auto scanner = Scanner::start(dir.path(), options, [] { return std::make_unique<DiscardingBuilder>(); });
    ASSERT_TRUE(scanner);
    (void)(*scanner)->next();
    for (const FileReport& file : (*scanner)->report().files) {
        EXPECT_EQ(file.status, FileReport::Status::Filtered);
        EXPECT_EQ(file.records, 0U);
    }
}

}  // namespace
}  // namespace tarnwick
