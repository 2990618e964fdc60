#include "db/mapped_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <numeric>
#include <string>

#include "byte_builder.hpp"

namespace tarnwick {
namespace {

using test::ByteVec;
using test::TempDir;

// Reads every byte, so that a view reaching past the file's end faults here.
unsigned checksum(Bytes bytes) { return std::accumulate(bytes.begin(), bytes.end(), 0u); }

TEST(MappedFile, MissingFileIsAnOsError) {
    TempDir dir;
    const auto file = MappedFile::open(dir.path("absent"));
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().code, ENOENT);
    EXPECT_EQ(file.error().message(), "No such file or directory (os error 2)");
}

TEST(MappedFile, ZeroLengthFileIsNeverMapped) {
    TempDir dir;
    auto file = MappedFile::open(dir.write("empty", ""));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->length(), 0u);
    ASSERT_TRUE(file->map());
    EXPECT_FALSE(file->is_mapped());
    EXPECT_TRUE(file->view().empty());
    EXPECT_TRUE(file->readable_view().empty());
}

TEST(MappedFile, MapsTheWholeFile) {
    TempDir dir;
    auto file = MappedFile::open(dir.write("data", "hello, world"));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->length(), 12u);
    EXPECT_TRUE(file->view().empty());  // nothing before map()
    ASSERT_TRUE(file->map());
    EXPECT_EQ(test::text_of(file->view()), "hello, world");
    EXPECT_EQ(test::text_of(file->readable_view()), "hello, world");

    MappedFile moved = std::move(*file);
    EXPECT_EQ(test::text_of(moved.view()), "hello, world");
    EXPECT_FALSE(file->is_mapped());
}

TEST(MappedFile, ReadableViewFollowsATruncation) {
    TempDir dir;
    const ByteVec contents(3 * 4096 + 100, 0x5A);
    const std::string path = dir.write("data", contents);
    auto file = MappedFile::open(path);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->map());

    for (off_t size : {off_t{4096 + 1}, off_t{10}, off_t{0}}) {
        ASSERT_EQ(::truncate(path.c_str(), size), 0);
        const Bytes readable = file->readable_view();
        EXPECT_EQ(readable.size(), static_cast<std::size_t>(size));
        EXPECT_EQ(checksum(readable), 0x5Au * static_cast<unsigned>(size));
        EXPECT_EQ(file->length(), contents.size());  // the length measured at open stays
    }
    // Growing the file again does not make the view longer than the mapping.
    ASSERT_EQ(::truncate(path.c_str(), 5 * 4096), 0);
    EXPECT_EQ(file->readable_view().size(), contents.size());
}

// What stands under the name "entry" when it is opened by name, and what each
// rule makes of it: the listed file's content, or the open's error code.
struct UnderTheName {
    const char* case_name;
    void (*make)(const TempDir& dir);
    int regular_file_error;  // 0: opens, and reads "listed"
};

const UnderTheName kUnderTheName[] = {
    {"RegularFile", [](const TempDir& dir) { dir.write("entry", "listed"); }, 0},
    {"LinkToAFile",
     [](const TempDir& dir) {
         dir.write("elsewhere", "listed");
         ASSERT_EQ(::symlink("elsewhere", dir.path("entry").c_str()), 0);
     },
     ELOOP},
    {"DanglingLink", [](const TempDir& dir) { ASSERT_EQ(::symlink("gone", dir.path("entry").c_str()), 0); }, ELOOP},
    {"Fifo", [](const TempDir& dir) { ASSERT_EQ(::mkfifo(dir.path("entry").c_str(), 0600), 0); }, EINVAL},
    {"Directory", [](const TempDir& dir) { ASSERT_EQ(::mkdir(dir.path("entry").c_str(), 0700), 0); }, EINVAL},
};

class OpenAsRegularFile : public ::testing::TestWithParam<UnderTheName> {};

TEST_P(OpenAsRegularFile, TakesOnlyARegularFileUnderThatVeryName) {
    TempDir dir;
    GetParam().make(dir);
    const int dir_fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir_fd, 0);
    auto file = MappedFile::open_at(dir_fd, "entry", OpenAs::RegularFile);
    ::close(dir_fd);
    if (GetParam().regular_file_error == 0) {
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->map());
        EXPECT_EQ(test::text_of(file->view()), "listed");
        return;
    }
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().code, GetParam().regular_file_error);
    EXPECT_NE(file.error().message().find("has taken the file's place since it was listed"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(UnderTheName, OpenAsRegularFile, ::testing::ValuesIn(kUnderTheName),
                         [](const auto& param_info) { return std::string(param_info.param.case_name); });

TEST(MappedFile, OpenAsAnythingFollowsALink) {
    TempDir dir;
    dir.write("elsewhere", "listed");
    ASSERT_EQ(::symlink("elsewhere", dir.path("entry").c_str()), 0);
    auto file = MappedFile::open(dir.path("entry"));
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->map());
    EXPECT_EQ(test::text_of(file->view()), "listed");
}

}  // namespace
}  // namespace tarnwick
