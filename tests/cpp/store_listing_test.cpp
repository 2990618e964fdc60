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
#include "ldb_file/ldb_file.hpp"

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


// --- Files of any name: the kind a file's content gives it -----------------

ByteVec ends_in_table_magic(std::size_t before) {
    ByteVec out(before, 0x61);
    put_fixed64(out, TABLE_MAGIC);
    return out;
}

// A log's first physical record: checksum (never read), length, type, payload;
// `length` overrides the stored length. Written byte by byte into a vector of
// its final size.
ByteVec log_start(std::uint8_t type, std::string_view payload, std::optional<std::uint16_t> length = std::nullopt,
                  std::size_t padded_to = 0) {
    ByteVec out(std::max(padded_to, payload.size() + 7), 0);
    const std::uint16_t stored = length.value_or(static_cast<std::uint16_t>(payload.size()));
    out[4] = static_cast<std::uint8_t>(stored & 0xFF);
    out[5] = static_cast<std::uint8_t>(stored >> 8);
    out[6] = type;
    std::copy(payload.begin(), payload.end(), out.begin() + 7);
    return out;
}

struct ContentCase {
    const char* label;
    ByteVec content;
    std::optional<DataFileKind> in_a_folder;   // log_by_default false
    DataFileKind given_alone;                  // log_by_default true
};

class ContentRule : public ::testing::TestWithParam<ContentCase> {};

TEST_P(ContentRule, TellsATableALogOrNeither) {
    const ContentCase& c = GetParam();
    const ContentVerdict strict = kind_by_content(c.content, false);
    EXPECT_EQ(strict.kind, c.in_a_folder);
    EXPECT_EQ(strict.reason.empty(), c.in_a_folder.has_value()) << strict.reason;
    EXPECT_EQ(kind_by_content(c.content, true).kind, c.given_alone);
}

const std::string FULL_BLOCK_PAYLOAD(32768 - 7, 'p');

INSTANTIATE_TEST_SUITE_P(
    Contents, ContentRule,
    ::testing::Values(
        ContentCase{"magic_alone", ends_in_table_magic(0), DataFileKind::Table, DataFileKind::Table},
        ContentCase{"magic_at_the_end", ends_in_table_magic(4000), DataFileKind::Table, DataFileKind::Table},
        ContentCase{"magic_not_at_the_end", [] { auto b = ends_in_table_magic(10); b.push_back(0); return b; }(),
                    std::nullopt, DataFileKind::Log},
        ContentCase{"full_record", log_start(kFull, "batch"), DataFileKind::Log, DataFileKind::Log},
        ContentCase{"last_record_then_zeros", log_start(kLast, "tail", std::nullopt, 300), DataFileKind::Log,
                    DataFileKind::Log},
        ContentCase{"record_filling_the_block", log_start(kFirst, FULL_BLOCK_PAYLOAD), DataFileKind::Log,
                    DataFileKind::Log},
        ContentCase{"zero_type", log_start(kZero, "x"), std::nullopt, DataFileKind::Log},
        ContentCase{"unknown_type", log_start(5, "x"), std::nullopt, DataFileKind::Log},
        ContentCase{"length_past_the_content", log_start(kFull, "short", 6), std::nullopt, DataFileKind::Log},
        ContentCase{"length_past_the_block", log_start(kFull, "x", 32768 - 6, 40000), std::nullopt,
                    DataFileKind::Log},
        ContentCase{"shorter_than_a_header", ByteVec{1, 2, 3, 4, 0, 0}, std::nullopt, DataFileKind::Log},
        ContentCase{"empty", ByteVec{}, std::nullopt, DataFileKind::Log},
        ContentCase{"zeros", ByteVec(4096, 0), std::nullopt, DataFileKind::Log},
        ContentCase{"text", [] { ByteVec b; append(b, "just some notes\nabout nothing\n"); return b; }(),
                    std::nullopt, DataFileKind::Log}),
    [](const auto& test) { return std::string(test.param.label); });

TEST(StoreListing, AnyNameAdmitsTablesAndLogsByContent) {
    TempDir dir;
    dir.write("carved_0001.bin", ends_in_table_magic(100));
    dir.write("fragment", log_start(kFull, "batch"));
    dir.write("000003.log", "");
    dir.write("noise.bin", ByteVec(64, 0));
    dir.write("MANIFEST-000002", log_start(kFull, "edit"));  // a log too, but the store's own
    std::filesystem::create_directory(dir.path("sub"));
    ListingRules rules;
    rules.links = LinkRule::Report;
    rules.any_name = true;
    auto listing = list_store(dir.path(), rules);
    ASSERT_TRUE(listing);
    // Files without a data file name have number 0, so they come first.
    ASSERT_EQ(names(*listing), (std::vector<std::string>{"carved_0001.bin", "fragment", "000003.log"}));
    EXPECT_EQ(listing->files[0].kind, DataFileKind::Table);
    EXPECT_EQ(listing->files[0].number, 0U);
    EXPECT_EQ(listing->files[1].kind, DataFileKind::Log);
    EXPECT_EQ(listing->files[2].number, 3U);
    ASSERT_EQ(listing->others.size(), 3U);
    EXPECT_EQ(listing->others[0].name, "MANIFEST-000002");
    EXPECT_EQ(listing->others[0].status, ListedEntry::Status::NotData);
    EXPECT_EQ(listing->others[1].name, "noise.bin");
    EXPECT_EQ(listing->others[1].status, ListedEntry::Status::NotAdmitted);
    EXPECT_NE(listing->others[1].reason.find("neither a table"), std::string::npos);
    EXPECT_EQ(listing->others[2].reason, "a directory");

    // Without the rule only the data file is read, and the rest is not named.
    auto plain = list_store(dir.path(), LinkRule::Report, false);
    ASSERT_TRUE(plain);
    EXPECT_EQ(names(*plain), (std::vector<std::string>{"000003.log"}));
    EXPECT_EQ(plain->others.size(), 1U);
}

TEST(StoreListing, ASingleFileIsListedAloneUnderItsOwnPath) {
    TempDir dir;
    const std::string path = dir.write("000005 (1).ldb", ends_in_table_magic(50));
    ListingRules rules;
    rules.links = LinkRule::Report;
    rules.single_file = true;
    auto listing = list_store(path, rules);
    ASSERT_TRUE(listing);
    ASSERT_EQ(names(*listing), std::vector<std::string>{"000005 (1).ldb"});
    EXPECT_TRUE(listing->others.empty());
    EXPECT_FALSE(listing->manifest.has_value());
    EXPECT_EQ(listing->files[0].display_path, path);
    EXPECT_EQ(listing->files[0].kind, DataFileKind::Table);
    // Opened relative to the directory that holds it, as any listed file.
    EXPECT_EQ(::faccessat(listing->fd.get(), "000005 (1).ldb", R_OK, 0), 0);
}

TEST(StoreListing, ASingleFileIsNeverFollowedThroughALink) {
    TempDir dir;
    const std::string target = dir.write("real.ldb", ends_in_table_magic(10));
    ASSERT_EQ(::symlink(target.c_str(), dir.path("alias").c_str()), 0);
    ListingRules rules;
    rules.links = LinkRule::Follow;  // even so
    rules.single_file = true;
    auto listing = list_store(dir.path("alias"), rules);
    ASSERT_TRUE(listing);
    EXPECT_TRUE(listing->files.empty());
    ASSERT_EQ(listing->others.size(), 1U);
    EXPECT_EQ(listing->others[0].status, ListedEntry::Status::Link);
    EXPECT_EQ(listing->others[0].target, target);
}

TEST(StoreListing, AFileIsNotADirectoryUnlessSingleFilesAreAsked) {
    TempDir dir;
    const std::string path = dir.write("000001.log", "");
    EXPECT_FALSE(list_store(path, LinkRule::Follow, false));
    ListingRules rules;
    rules.single_file = true;
    EXPECT_FALSE(list_store(dir.path("missing.bin"), rules));
    EXPECT_FALSE(list_store(path + "/", rules));
    EXPECT_FALSE(list_store("", rules));
}

}  // namespace
}  // namespace tarnwick
