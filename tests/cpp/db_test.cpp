#include "store/db.hpp"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "byte_builder.hpp"

namespace tarnwick {
namespace {

using namespace test;

// A log file with one batch of values, each value naming itself.
ByteVec log_with(std::uint64_t seq, const std::vector<std::string>& values) {
    std::vector<BatchEntry> entries;
    for (const std::string& v : values) entries.push_back({1, "key-" + v, v});
    return log_of_full_records({write_batch(seq, entries)});
}

// A table file with one data block of values, each value naming itself.
ByteVec table_with(const std::vector<std::string>& values) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::uint64_t seq = 1;
    for (const std::string& v : values) entries.emplace_back(internal_key("key-" + v, seq++, 1), v);
    TableBuilder table;
    table.add_data_block(entries);
    return table.finish();
}

std::vector<std::string> values_of(const Db& db, bool reverse) {
    std::vector<std::string> out;
    for (const Record& r : db.records(reverse)) out.push_back(text_of(r.value()));
    return out;
}

std::vector<std::string> names_of(const Db& db) {
    std::vector<std::string> out;
    for (const DbFile& file : db.files()) out.push_back(std::filesystem::path(file.path()).filename().string());
    return out;
}

std::string error_of(const std::expected<Db, DbError>& db) { return db ? "(opened)" : db.error().message(); }

TEST(DbOpen, PathsThatAreNotDirectories) {
    TempDir dir;
    const std::string file = dir.write("plain", "x");
    for (const std::string& path : {dir.path("absent"), dir.path("absent/"), file, file + "/", std::string(),
                                    std::string("relative/absent/..//")}) {
        EXPECT_EQ(error_of(Db::open(path)), "Not a directory: " + path);
    }
}

// The message of opening a directory that exists but may not be listed. Root
// is not bound by permissions, so as root the open runs in a child process
// that has given up root first.
std::string error_of_unlistable(const std::string& locked) {
    if (::geteuid() != 0) return error_of(Db::open(locked));
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        std::string message = "could not drop root";
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
            message = error_of(Db::open(locked));
        }
        const ssize_t written = ::write(pipe_fds[1], message.data(), message.size());
        ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    std::string message;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return message;
}

TEST(DbOpen, UnlistableDirectory) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);  // others may pass through, not list
    const std::string locked = dir.path("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0), 0);
    EXPECT_EQ(error_of_unlistable(locked), "IO error: Permission denied (os error 13)");
    ::chmod(locked.c_str(), 0700);  // so that the directory can be removed
}

struct NameCase {
    std::string name;
    bool admitted;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << printable(c.name); }

class DataFileAdmission : public ::testing::TestWithParam<NameCase> {};

// The contents are a small log file: a log reader reads its record, a table
// reader takes it for a file too small to hold a footer; both accept it.
TEST_P(DataFileAdmission, Admitted) {
    TempDir dir;
    dir.write(GetParam().name, log_with(1, {"v"}));
    const auto db = Db::open(dir.path());
    ASSERT_TRUE(db) << error_of(db);
    EXPECT_EQ(db->files().size(), GetParam().admitted ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DataFileAdmission,
    ::testing::Values(NameCase{"000005.ldb", true}, NameCase{"000005.LDB", true}, NameCase{"000005.log", true},
                      NameCase{"000005.Log", true}, NameCase{"000005.sst", true}, NameCase{"000005.SsT", true},
                      NameCase{"000005.ldb.bak", false}, NameCase{"5.ldb", false}, NameCase{"00005.ldb", false},
                      NameCase{"0000005.ldb", true}, NameCase{"1000005.ldb", true},
                      NameCase{"1234567890123456.log", true}, NameCase{"12345678901234567.log", false}, NameCase{"abcdef.ldb", false}, NameCase{"00000a.log", false},
                      NameCase{"+00005.log", false}, NameCase{"000005.txt", false}, NameCase{"000005.", false},
                      NameCase{"000005", false}, NameCase{".log", false}, NameCase{"000005.log ", false},
                      NameCase{"MANIFEST-000005", false}, NameCase{"CURRENT", false}));

TEST(DbOpen, OnlyRegularFilesAfterFollowingLinks) {
    TempDir dir, elsewhere;
    ASSERT_EQ(::mkdir(dir.path("000001.log").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(dir.path("nowhere").c_str(), dir.path("000002.log").c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.write("target", log_with(1, {"linked"})).c_str(), dir.path("000003.log").c_str()),
              0);
    ASSERT_EQ(::mkfifo(dir.path("000004.log").c_str(), 0644), 0);
    const auto db = Db::open(dir.path());
    ASSERT_TRUE(db) << error_of(db);
    EXPECT_EQ(names_of(*db), (std::vector<std::string>{"000003.log"}));
    EXPECT_EQ(values_of(*db, false), (std::vector<std::string>{"linked"}));
}

TEST(DbOpen, RefusedTablesAreLeftOutAndEmptyFilesKept) {
    TempDir dir;
    dir.write("000009.log", "");
    dir.write("000010.ldb", ByteVec(10, 0xAB));
    ByteVec bad_magic = table_with({"x"});
    bad_magic.back() ^= 0xFF;
    dir.write("000011.ldb", bad_magic);
    dir.write("000012.ldb", footer({0, 0}, {5, 500}));  // index past the end
    dir.write("000013.log", log_with(7, {"kept"}));
    const auto db = Db::open(dir.path());
    ASSERT_TRUE(db) << error_of(db);
    EXPECT_EQ(names_of(*db), (std::vector<std::string>{"000009.log", "000010.ldb", "000013.log"}));
    EXPECT_EQ(values_of(*db, false), (std::vector<std::string>{"kept"}));
}

TEST(DbOpen, ManifestWithTheHighestNumber) {
    TempDir dir;
    dir.write("MANIFEST-000009", "");
    dir.write("MANIFEST-00000A", "corrupt \xFF\xFF\xFF bytes");  // content never fails the manifest
    dir.write("MANIFEST-000002", "");
    dir.write("MANIFEST-00000B.bak", "");
    dir.write("manifest-00000C", "");
    dir.write("CURRENT", "MANIFEST-000009\n");  // not consulted
    const auto db = Db::open(dir.path());
    ASSERT_TRUE(db) << error_of(db);
    ASSERT_TRUE(db->manifest());
    EXPECT_EQ(db->manifest()->path(), dir.path("MANIFEST-00000A"));
    EXPECT_EQ(db->manifest()->file_number(), 10u);

    TempDir decimal;
    decimal.write("MANIFEST-000002", "");
    decimal.write("MANIFEST-000010", "");
    EXPECT_EQ(Db::open(decimal.path())->manifest()->file_number(), 16u);

    TempDir none;
    none.write("000001.log", "");
    EXPECT_FALSE(Db::open(none.path())->manifest());
}

TEST(DbRecords, FilesInNumberOrderReverseMirrorsTheFileOrderOnly) {
    TempDir dir;
    dir.write("000011.ldb", table_with({"11a", "11b"}));
    dir.write("000009.ldb", table_with({"9a", "9b"}));
    dir.write("000010.log", log_with(1, {"10a", "10b"}));
    const auto db = Db::open(dir.path());
    ASSERT_TRUE(db) << error_of(db);
    EXPECT_EQ(values_of(*db, false), (std::vector<std::string>{"9a", "9b", "10a", "10b", "11a", "11b"}));
    EXPECT_EQ(values_of(*db, true), (std::vector<std::string>{"11a", "11b", "10a", "10b", "9a", "9b"}));
    EXPECT_EQ(values_of(*db, false), values_of(*db, false));
}

TEST(DbRecords, EqualNumbersMirrorInReverse) {
    TempDir dir;
    dir.write("000005.log", log_with(1, {"log"}));
    dir.write("000005.ldb", table_with({"table"}));
    dir.write("000004.log", log_with(1, {"four"}));
    const auto db = Db::open(dir.path());
    ASSERT_TRUE(db) << error_of(db);
    // The listing is taken in name order, so the ldb comes before the log.
    EXPECT_EQ(values_of(*db, false), (std::vector<std::string>{"four", "table", "log"}));
    EXPECT_EQ(values_of(*db, true), (std::vector<std::string>{"log", "table", "four"}));
}

TEST(DbRecords, EmptyAndSingleFileDatabases) {
    TempDir empty;
    const auto none = Db::open(empty.path());
    ASSERT_TRUE(none) << error_of(none);
    EXPECT_TRUE(none->records(false).empty());
    EXPECT_TRUE(none->records(true).empty());

    TempDir one;
    one.write("000001.log", log_with(1, {"a", "b", "c"}));
    const auto db = Db::open(one.path());
    ASSERT_TRUE(db) << error_of(db);
    EXPECT_EQ(values_of(*db, false), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(values_of(*db, true), values_of(*db, false));
}

TEST(DbRecords, PutThenDeleteAreBothReported) {
    TempDir dir;
    dir.write("000003.log", log_of_full_records({write_batch(1, {{1, "k", "v"}})}));
    dir.write("000004.log", log_of_full_records({write_batch(2, {{0, "k", ""}})}));
    const auto db = Db::open(dir.path() + "/");
    ASSERT_TRUE(db) << error_of(db);
    EXPECT_EQ(db->in_dir(), dir.path() + "/");
    const auto records = db->records(false);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].state(), KeyState::Live);
    EXPECT_EQ(records[1].state(), KeyState::Deleted);
    EXPECT_EQ(records[0].seq(), 1u);
    EXPECT_EQ(records[1].seq(), 2u);
    // A separator already at the end of the directory is not doubled.
    EXPECT_EQ(records[0].origin_file(), dir.path() + "/000003.log");
    EXPECT_EQ(records[1].origin_file(), dir.path() + "/000004.log");
}

}  // namespace
}  // namespace tarnwick
