#include "db/data_file_name.hpp"
#include "util/file_name.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "byte_builder.hpp"

namespace tarnwick {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

struct HexCase {
    std::string text;
    std::optional<std::uint64_t> value;
};
void PrintTo(const HexCase& c, std::ostream* os) { *os << test::printable(c.text); }

class ParseHexNumber : public ::testing::TestWithParam<HexCase> {};

TEST_P(ParseHexNumber, Table) {
    EXPECT_EQ(parse_hex_number(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, ParseHexNumber,
    ::testing::Values(HexCase{"000012", 0x12}, HexCase{"000010", 16}, HexCase{"000123", 0x123},
                      HexCase{"0", 0}, HexCase{"+0", 0}, HexCase{"+1A", 26}, HexCase{"aBcDeF", 0xABCDEF},
                      HexCase{"FFFFFFFFFFFFFFFF", kMax64}, HexCase{"ffffffffffffffff", kMax64},
                      // More than 16 digits are fine while the value fits.
                      HexCase{"0000FFFFFFFFFFFFFFFF", kMax64}, HexCase{"00000000000000000001", 1},
                      HexCase{"0000000000000000000000000000000000000000", 0}));

INSTANTIATE_TEST_SUITE_P(
    Refused, ParseHexNumber,
    ::testing::Values(HexCase{"", std::nullopt}, HexCase{"+", std::nullopt}, HexCase{"-", std::nullopt},
                      HexCase{"-1", std::nullopt}, HexCase{"1+", std::nullopt}, HexCase{"++1", std::nullopt},
                      HexCase{"+-1", std::nullopt}, HexCase{"12 34", std::nullopt}, HexCase{" 12", std::nullopt},
                      HexCase{"12 ", std::nullopt}, HexCase{"1.5", std::nullopt}, HexCase{"0x12", std::nullopt},
                      HexCase{"12g", std::nullopt},
                      // 2^64: seventeen significant digits.
                      HexCase{"10000000000000000", std::nullopt}, HexCase{"0010000000000000000", std::nullopt},
                      HexCase{"FFFFFFFFFFFFFFFF0", std::nullopt}, HexCase{"+10000000000000000", std::nullopt},
                      // A NUL inside the text is not the end of it.
                      HexCase{std::string("12\0" "3", 4), std::nullopt}));

struct SplitCase {
    std::string name;
    std::string stem;
    std::optional<std::string> extension;
};
void PrintTo(const SplitCase& c, std::ostream* os) { *os << test::printable(c.name); }

class SplitStemExtension : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitStemExtension, Table) {
    const auto [stem, extension] = split_stem_extension(GetParam().name);
    EXPECT_EQ(stem, GetParam().stem);
    EXPECT_EQ(extension.has_value(), GetParam().extension.has_value());
    if (extension && GetParam().extension) {
        EXPECT_EQ(*extension, *GetParam().extension);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitStemExtension,
    ::testing::Values(SplitCase{"000005.ldb", "000005", "ldb"}, SplitCase{"000005.ldb.bak", "000005.ldb", "bak"},
                      SplitCase{"CURRENT", "CURRENT", std::nullopt}, SplitCase{".log", ".log", std::nullopt},
                      SplitCase{".", ".", std::nullopt}, SplitCase{"", "", std::nullopt},
                      SplitCase{"000005.", "000005", ""}, SplitCase{"..log", ".", "log"},
                      SplitCase{"MANIFEST-000012.bak", "MANIFEST-000012", "bak"}));

TEST(FileNumberOf, ReadsTheStemOfTheLastComponentInBase16) {
    EXPECT_EQ(file_number_of("/db/000010.log"), 16u);
    EXPECT_EQ(file_number_of("/db/00001a.log"), 26u);
    EXPECT_EQ(file_number_of("000123.ldb"), 0x123u);
    EXPECT_EQ(file_number_of("/db.5/000007.ldb"), 7u);   // dots in the directory do not count
    EXPECT_EQ(file_number_of("/db/000007.ldb.bak"), 0u);  // stem 000007.ldb is no number
    EXPECT_EQ(file_number_of("/db/zz.ldb"), 0u);
    EXPECT_EQ(file_number_of("/db/"), 0u);
    EXPECT_EQ(file_number_of("/db/\xFF" "1.log"), 0u);
}

struct DataFileCase {
    std::string name;
    std::optional<DataFileName> expected;
};
void PrintTo(const DataFileCase& c, std::ostream* os) { *os << test::printable(c.name); }

class DataFileNameOf : public ::testing::TestWithParam<DataFileCase> {};

TEST_P(DataFileNameOf, Table) {
    const auto got = data_file_name(GetParam().name);
    const auto& expected = GetParam().expected;
    ASSERT_EQ(got.has_value(), expected.has_value());
    if (got && expected) {
        EXPECT_EQ(got->kind, expected->kind);
        EXPECT_EQ(got->number, expected->number);
    }
}

constexpr auto kTable = DataFileKind::Table;
constexpr auto kLog = DataFileKind::Log;

INSTANTIATE_TEST_SUITE_P(
    Admitted, DataFileNameOf,
    ::testing::Values(DataFileCase{"000005.ldb", DataFileName{kTable, 5}},
                      DataFileCase{"000005.LDB", DataFileName{kTable, 5}},
                      DataFileCase{"000005.sst", DataFileName{kTable, 5}},
                      DataFileCase{"000005.SsT", DataFileName{kTable, 5}},
                      DataFileCase{"000005.log", DataFileName{kLog, 5}},
                      DataFileCase{"000005.Log", DataFileName{kLog, 5}},
                      DataFileCase{"000010.log", DataFileName{kLog, 0x10}},
                      DataFileCase{"999999.ldb", DataFileName{kTable, 0x999999}},
                      // The engine's names from file number 1,000,000 on.
                      DataFileCase{"1000000.ldb", DataFileName{kTable, 0x1000000}},
                      DataFileCase{"1000005.log", DataFileName{kLog, 0x1000005}},
                      DataFileCase{"0000005.ldb", DataFileName{kTable, 5}},
                      DataFileCase{"9999999999999999.sst", DataFileName{kTable, 0x9999999999999999}},
                      DataFileCase{"0000000000000000.log", DataFileName{kLog, 0}}));

INSTANTIATE_TEST_SUITE_P(
    Refused, DataFileNameOf,
    ::testing::Values(DataFileCase{"5.ldb", std::nullopt}, DataFileCase{"00005.ldb", std::nullopt},
                      DataFileCase{"10000000000000000.ldb", std::nullopt},  // seventeen digits
                      DataFileCase{"000005.ldb.bak", std::nullopt}, DataFileCase{"abcdef.ldb", std::nullopt},
                      DataFileCase{"00000a.log", std::nullopt}, DataFileCase{"00000A.log", std::nullopt},
                      DataFileCase{"+00005.log", std::nullopt}, DataFileCase{"+000005.log", std::nullopt},
                      DataFileCase{" 000005.log", std::nullopt}, DataFileCase{"000005.log ", std::nullopt},
                      DataFileCase{"000005.txt", std::nullopt}, DataFileCase{"000005.lo", std::nullopt},
                      DataFileCase{"000005.logs", std::nullopt}, DataFileCase{"000005.", std::nullopt},
                      DataFileCase{"000005", std::nullopt}, DataFileCase{".log", std::nullopt},
                      DataFileCase{"", std::nullopt}, DataFileCase{"MANIFEST-000005", std::nullopt},
                      DataFileCase{"CURRENT", std::nullopt},
                      DataFileCase{std::string("00000\0" "5.log", 11), std::nullopt},
                      DataFileCase{"\xD9\xA0\xD9\xA1\xD9\xA2.log", std::nullopt}));  // Arabic-Indic digits

struct Utf8Case {
    std::string text;
    bool valid;
};
void PrintTo(const Utf8Case& c, std::ostream* os) { *os << test::printable(c.text); }

class IsValidUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(IsValidUtf8, Table) { EXPECT_EQ(is_valid_utf8(GetParam().text), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Table, IsValidUtf8,
    ::testing::Values(Utf8Case{"", true}, Utf8Case{"leveldb.BytewiseComparator", true},
                      Utf8Case{"\xC3\xA9", true}, Utf8Case{"\xE2\x82\xAC", true},
                      Utf8Case{"\xF0\x9F\x98\x80", true}, Utf8Case{"\xF4\x8F\xBF\xBF", true},
                      Utf8Case{"\xC3\x28", false},          // bad continuation
                      Utf8Case{"\xE2\x82", false},          // cut off
                      Utf8Case{"a\xC3", false},             // cut off at the end
                      Utf8Case{"\xC0\x80", false},          // overlong NUL
                      Utf8Case{"\xE0\x80\xAF", false},      // overlong slash
                      Utf8Case{"\xED\xA0\x80", false},      // surrogate
                      Utf8Case{"\xF4\x90\x80\x80", false},  // above U+10FFFF
                      Utf8Case{"\x80", false}, Utf8Case{"\xFF", false}, Utf8Case{"\xF8\x88\x80\x80\x80", false}));

}  // namespace
}  // namespace tarnwick
