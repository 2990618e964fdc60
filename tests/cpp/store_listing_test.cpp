// The one listing of a store's directory: its order, a reason for every name
// that looks like a data file but is not read as one, and links followed or
// reported as the caller asks.
#include "store/store_listing.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "byte_builder.hpp"

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
    auto listing = list_store(dir.path(), LinkRule::Report, false);
    ASSERT_TRUE(listing);
    EXPECT_EQ(names(*listing),
              (std::vector<std::string>{"000002.log", "000005.ldb", "000005.log", "000007.SST", "000010.log",
                                        "1000000.ldb"}));

    auto reverse = list_store(dir.path(), LinkRule::Report, true);
    ASSERT_TRUE(reverse);
    std::vector<std::string> mirrored = names(*listing);
    std::reverse(mirrored.begin(), mirrored.end());
    EXPECT_EQ(names(*reverse), mirrored);
    EXPECT_EQ(reverse->files.front().number, 1000000U);  // the engine's number, in base 10
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
    auto listing = list_store(dir.path(), LinkRule::Follow, false);
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
                                           NotAdmittedCase{"000010.log", "No such file"},  // a dangling link, followed
                                           NotAdmittedCase{"0000x1.LOG", "not a data file name"},
                                           NotAdmittedCase{"\xff\xfe.ldb", "not valid UTF-8"}));

TEST(StoreListing, OtherFilesOfAStoreAreNotedAndTheRestIgnored) {
    TempDir dir;
    for (const char* name : {"CURRENT", "LOCK", "LOG", "LOG.old", "MANIFEST-000004", "notes.txt", "000001.dbtmp"}) {
        dir.write(name, "");
    }
    auto listing = list_store(dir.path(), LinkRule::Report, false);
    ASSERT_TRUE(listing);
    std::vector<std::string> noted;
    for (const ListedEntry& entry : listing->others) {
        EXPECT_EQ(entry.status, ListedEntry::Status::NotData);
        noted.push_back(entry.name);
    }
    EXPECT_EQ(noted, (std::vector<std::string>{"CURRENT", "LOCK", "LOG", "LOG.old", "MANIFEST-000004"}));
}

TEST(StoreListing, KeepsTheDirectoryOpenForOpeningFilesRelativeToIt) {
    TempDir dir;
    dir.write("000001.log", "abc");
    auto listing = list_store(dir.path() + "/", LinkRule::Report, false);
    ASSERT_TRUE(listing);
    EXPECT_GE(listing->fd.get(), 0);
    EXPECT_EQ(listing->files.at(0).display_path, dir.path() + "/000001.log");  // no doubled separator
    EXPECT_EQ(listing->files.at(0).size, 3U);
    EXPECT_EQ(::faccessat(listing->fd.get(), "000001.log", R_OK, 0), 0);
}

// A link named like a file of the store: followed, it is what it leads to;
// reported, it is a link with its target, whatever it leads to.
struct LinkCase {
    const char* name;
    const char* target;  // relative to the directory; "" for a file outside it
    bool admitted_when_followed;
};

class LinkedEntry : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkedEntry, IsFollowedOrReported) {
    TempDir dir, elsewhere;
    const std::string outside = elsewhere.write("000099.log", "outside");
    dir.write("000001.log", "inside");
    const std::string target = *GetParam().target ? GetParam().target : outside;
    ASSERT_EQ(::symlink(target.c_str(), dir.path(GetParam().name).c_str()), 0);

    auto followed = list_store(dir.path(), LinkRule::Follow, false);
    ASSERT_TRUE(followed);
    const auto admitted = std::ranges::count(names(*followed), std::string(GetParam().name));
    EXPECT_EQ(admitted, GetParam().admitted_when_followed ? 1 : 0);

    auto reported = list_store(dir.path(), LinkRule::Report, false);
    ASSERT_TRUE(reported);
    EXPECT_EQ(names(*reported), std::vector<std::string>{"000001.log"});
    const std::string name = GetParam().name;
    const auto entry = std::ranges::find_if(reported->others, [&](const ListedEntry& e) { return e.name == name; });
    ASSERT_NE(entry, reported->others.end());
    EXPECT_EQ(entry->status, ListedEntry::Status::Link);
    EXPECT_EQ(entry->target, target);
    EXPECT_EQ(entry->size, target.size());  // a link's own size is its target's length
}

INSTANTIATE_TEST_SUITE_P(Links, LinkedEntry,
                         ::testing::Values(LinkCase{"000011.log", "", true},            // another store's log
                                           LinkCase{"000012.ldb", "000001.log", true},  // a file of this store
                                           LinkCase{"000013.ldb", "missing", false},
                                           LinkCase{"000014.log", ".", false},          // the directory itself
                                           LinkCase{"CURRENT", "", false}));

TEST(StoreListing, ChoosesTheHighestManifestWhateverTheEntry) {
    TempDir dir;
    dir.write("MANIFEST-000002", "");
    std::filesystem::create_directory(dir.path("MANIFEST-000010"));
    dir.write("MANIFEST-000009", "");
    auto listing = list_store(dir.path(), LinkRule::Report, false);
    ASSERT_TRUE(listing && listing->manifest);
    EXPECT_EQ(listing->manifest->path, dir.path("MANIFEST-000010"));
    EXPECT_EQ(listing->manifest->number, 0x10U);
}

}  // namespace
}  // namespace tarnwick
