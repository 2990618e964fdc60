// The scanner's directory listing: the same files in the same order as
// Db::open, and a reason for every name that looks like a data file but is not
// read as one.
#include "scan/store_listing.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "byte_builder.hpp"
#include "store/db.hpp"

namespace tarnwick {
namespace {

using namespace test;

std::vector<std::string> names(const StoreListing& listing) {
    std::vector<std::string> out;
    for (const ListedFile& file : listing.files) out.push_back(file.name);
    return out;
}

TEST(StoreListing, OrdersAsTheListDoes) {
    TempDir dir;
    // Equal numbers come in name order; seven-digit names sort by number.
    for (const char* name : {"000010.log", "000005.log", "000005.ldb", "1000000.ldb", "000007.SST", "000002.log"}) {
        dir.write(name, "");
    }
    auto listing = list_store(dir.path(), false);
    ASSERT_TRUE(listing);
    EXPECT_EQ(names(*listing),
              (std::vector<std::string>{"000002.log", "000005.ldb", "000005.log", "000007.SST", "000010.log",
                                        "1000000.ldb"}));
    auto db = Db::open(dir.path());
    ASSERT_TRUE(db);
    std::vector<std::string> db_names;
    for (const DbFile* file : db->files_in_order(false)) {
        db_names.push_back(std::filesystem::path(file->path()).filename().string());
    }
    EXPECT_EQ(names(*listing), db_names);

    auto reverse = list_store(dir.path(), true);
    ASSERT_TRUE(reverse);
    std::vector<std::string> mirrored = names(*listing);
    std::reverse(mirrored.begin(), mirrored.end());
    EXPECT_EQ(names(*reverse), mirrored);
    EXPECT_EQ(reverse->files.front().number, 0x1000000U);  // read in base 16, which keeps the order
    EXPECT_EQ(reverse->files.front().display_path, dir.path("1000000.ldb"));
}

struct NotAdmittedCase {
    const char* name;
    const char* reason_part;
};

class NotAdmitted : public ::testing::TestWithParam<NotAdmittedCase> {};

TEST_P(NotAdmitted, IsReportedWithItsReason) {
    TempDir dir;
    const std::string name = GetParam().name;
    if (name == "000009.ldb") {
        std::filesystem::create_directory(dir.path(name));
    } else if (name == "000010.log") {
        ASSERT_EQ(::symlink(dir.path("missing").c_str(), dir.path(name).c_str()), 0);
    } else {
        dir.write(name, "x");
    }
    auto listing = list_store(dir.path(), false);
    ASSERT_TRUE(listing);
    EXPECT_TRUE(listing->files.empty());
    ASSERT_EQ(listing->others.size(), 1U);
    const ListedEntry& entry = listing->others[0];
    EXPECT_EQ(entry.name, name);
    EXPECT_EQ(entry.status, ListedEntry::Status::NotAdmitted);
    EXPECT_NE(entry.reason.find(GetParam().reason_part), std::string::npos) << entry.reason;
}

INSTANTIATE_TEST_SUITE_P(Names, NotAdmitted,
                         ::testing::Values(NotAdmittedCase{"000123 (1).ldb", "not a data file name"},
                                           NotAdmittedCase{"f0012345.ldb", "not a data file name"},
                                           NotAdmittedCase{"00001.log", "not a data file name"},
                                           NotAdmittedCase{"000009.ldb", "a directory"},
                                           NotAdmittedCase{"000010.log", "No such file"},
                                           NotAdmittedCase{"0000x1.LOG", "not a data file name"},
                                           NotAdmittedCase{"\xff\xfe.ldb", "not valid UTF-8"}));

TEST(StoreListing, OtherFilesOfAStoreAreNotedAndTheRestIgnored) {
    TempDir dir;
    for (const char* name : {"CURRENT", "LOCK", "LOG", "LOG.old", "MANIFEST-000004", "notes.txt", "000001.dbtmp"}) {
        dir.write(name, "");
    }
    auto listing = list_store(dir.path(), false);
    ASSERT_TRUE(listing);
    std::vector<std::string> noted;
    for (const ListedEntry& entry : listing->others) {
        EXPECT_EQ(entry.status, ListedEntry::Status::NotData);
        noted.push_back(entry.name);
    }
    EXPECT_EQ(noted, (std::vector<std::string>{"CURRENT", "LOCK", "LOG", "LOG.old", "MANIFEST-000004"}));
}

TEST(StoreListing, FailsAsDbOpenFails) {
    TempDir dir;
    const std::string file = dir.write("000001.log", "");
    for (const std::string& path : {file, dir.path("missing"), dir.path() + std::string("\0x", 2)}) {
        auto listing = list_store(path, false);
        ASSERT_FALSE(listing);
        EXPECT_EQ(listing.error().message(), Db::open(path).error().message());
    }
}

TEST(StoreListing, KeepsTheDirectoryOpenForOpeningFilesRelativeToIt) {
    TempDir dir;
    dir.write("000001.log", "abc");
    auto listing = list_store(dir.path() + "/", false);
    ASSERT_TRUE(listing);
    EXPECT_GE(listing->fd.get(), 0);
    EXPECT_EQ(listing->files.at(0).display_path, dir.path() + "/000001.log");  // no doubled separator
    EXPECT_EQ(listing->files.at(0).size, 3U);
    EXPECT_EQ(::faccessat(listing->fd.get(), "000001.log", R_OK, 0), 0);
}

}  // namespace
}  // namespace tarnwick
