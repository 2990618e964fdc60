// The look at key bytes that passes over records before they are decoded. For
// each store kind, a table of keys in every form the stores write them (and a
// few they should not), each decoded by the real decoder: with the filter
// asking for one key's JSON text, the look must pass every key that decodes
// to that text and, where the text has byte forms, refuse every other.
#include "chromium_store/key_precheck.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <functional>

#include "byte_builder.hpp"
#include "chromium_decode/dom_storage.hpp"
#include "chromium_decode/idb_key.hpp"

namespace tarnwick::chromium {
namespace {

using namespace test;

ByteVec utf16(std::u16string_view units, bool big_endian, std::initializer_list<std::uint8_t> head = {}) {
    ByteVec out(head);
    for (const char16_t u : units) {
        const auto hi = static_cast<std::uint8_t>(u >> 8);
        const auto lo = static_cast<std::uint8_t>(u & 0xFF);
        append(out, big_endian ? std::initializer_list<std::uint8_t>{hi, lo} : std::initializer_list<std::uint8_t>{lo, hi});
    }
    return out;
}

ByteVec idb_string(std::u16string_view units) { return utf16(units, true, {0x01, static_cast<std::uint8_t>(units.size())}); }

ByteVec idb_double(std::uint8_t type, double x) {
    ByteVec out{type};
    put_fixed64(out, std::bit_cast<std::uint64_t>(x));
    return out;
}

const std::vector<ByteVec> local_storage_keys{
    bytes_of("\x01k:000042"),
    utf16(u"k:000042", false, {0x00}),
    bytes_of("\x01k:000043"),
    bytes_of("\x01\xE9t\xE9"),                  // "été" in Latin-1
    utf16(u"\u00E9t\u00E9", false, {0x00}),     // and in UTF-16
    utf16(u"\U0001F98A fox", false, {0x00}),    // a surrogate pair
    utf16(u"\xD800", false, {0x00}),            // a lone surrogate
    bytes_of("\x01q\"uote\\\n"),
    {},
    {0x00},
    {0x01},
    bytes_of("\x01" "42"),
    {0x00, 0x41},       // odd UTF-16: unreadable
    bytes_of("\x02x"),  // unknown format byte: unreadable
};

const std::vector<ByteVec> session_storage_keys{
    bytes_of("k:000042"),
    bytes_of("k:000043"),
    bytes_of("\xC3\xA9t\xC3\xA9"),
    bytes_of("\xF0\x9F\xA6\x8A fox"),
    bytes_of("q\"uote\\\n"),
    bytes_of("42"),
    {},
    bytes_of("\xFF"),          // not UTF-8: unreadable
    bytes_of("\xC0\xAF"),      // overlong: unreadable
    bytes_of("\xED\xA0\x80"),  // an encoded surrogate: unreadable
};

const std::vector<ByteVec> indexeddb_keys{
    idb_string(u"k:000042"),
    [] {  // the same string with its count written long
        ByteVec key{0x01, 0x88, 0x00};
        append(key, utf16(u"k:000042", true));
        return key;
    }(),
    idb_string(u"k:000043"),
    idb_string(u"\u00E9t\u00E9"),
    idb_string(u"\U0001F98A fox"),
    idb_string(u"\xDC00"),
    idb_string(u""),
    idb_string(u"42"),
    idb_double(0x03, 42),
    idb_double(0x03, 0.5),
    idb_double(0x03, 1e300),
    idb_double(0x03, -0.0),
    idb_double(0x03, std::bit_cast<double>(std::uint64_t{0x7FF8'0000'0000'0001})),  // a NaN
    idb_double(0x02, 1.7e12),                                                    // a date
    {0x06, 0x02, 0xAB, 0xCD},                                                     // binary
    [] {  // [1, "a"]
        ByteVec key{0x04, 0x02};
        append(key, idb_double(0x03, 1));
        append(key, idb_string(u"a"));
        return key;
    }(),
    {0x00},                                       // the null key
    [] {                                          // a string and a byte too many: unreadable
        ByteVec key = idb_string(u"k:000042");
        key.push_back(0);
        return key;
    }(),
    {0x01, 0x05, 0x00, 0x41},                     // a count past the end: unreadable
    {},
};

// The JSON text of a key as its row shows it: null when it cannot be read.
using Decoder = std::function<Decoded<std::string>(Bytes)>;
std::string json_of(const Decoder& decode, Bytes key) {
    auto json = decode(key);
    return json ? *json : "null";
}

struct Kind {
    std::string name;
    const std::vector<ByteVec>* keys;
    Decoder decode;
    std::function<bool(const KeyPrecheck&, Bytes)> look;
    // Whether a text is one whose byte forms the look lists for this kind.
    std::function<bool(std::string_view)> constrained;
};

bool string_text(std::string_view text) { return text.starts_with('"'); }

const Kind kinds[] = {
    {"LocalStorage", &local_storage_keys, [](Bytes b) { return decode_local_storage_string(b); },
     [](const KeyPrecheck& c, Bytes b) { return c.local_storage_key(b); }, string_text},
    {"SessionStorage", &session_storage_keys, [](Bytes b) { return decode_session_storage_key(b); },
     [](const KeyPrecheck& c, Bytes b) { return c.session_storage_key(b); }, string_text},
    {"IndexedDb", &indexeddb_keys, [](Bytes b) { return decode_whole_idb_key(b); },
     [](const KeyPrecheck& c, Bytes b) { return c.indexeddb_key(b); },
     [](std::string_view text) { return text != "null" && !text.starts_with('[') && !text.starts_with('{'); }},
};

class KeyForms : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KeyForms, PassExactlyTheKeysThatDecodeToTheText) {
    const Kind& kind = kinds[GetParam()];
    for (const ByteVec& wanted : *kind.keys) {
        const std::string text = json_of(kind.decode, wanted);
        SCOPED_TRACE(text);
        RowFilter filter;
        filter.key_texts = {text};
        const KeyPrecheck check(filter);
        ASSERT_TRUE(check.active());
        for (const ByteVec& key : *kind.keys) {
            const bool same = json_of(kind.decode, key) == text;
            const bool passed = kind.look(check, key);
            if (same) {
                EXPECT_TRUE(passed) << "lost " << printable(text_of(key));
            } else if (kind.constrained(text)) {
                EXPECT_FALSE(passed) << "passed " << printable(text_of(key));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, KeyForms, ::testing::Range<std::size_t>(0, std::size(kinds)),
                         [](const auto& test) { return kinds[test.param].name; });

// The texts the command line makes of what the user typed: the key as a JSON
// string, and the text itself, which may read as JSON or not at all.
struct TextCase {
    std::vector<std::string> texts;
    ByteVec indexeddb_key;
    bool passes;
};

class IndexedDbTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(IndexedDbTexts, JudgesTheKeyAsTheFilterWould) {
    RowFilter filter;
    filter.key_texts = GetParam().texts;
    EXPECT_EQ(KeyPrecheck(filter).indexeddb_key(GetParam().indexeddb_key), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexedDbTexts,
    ::testing::Values(TextCase{{R"("k:000042")", "k:000042"}, idb_string(u"k:000042"), true},
                      TextCase{{R"("k:000042")", "k:000042"}, idb_double(0x03, 42), false},
                      TextCase{{R"("42")", "42"}, idb_double(0x03, 42), true},
                      TextCase{{R"("42")", "42"}, idb_string(u"42"), true},
                      TextCase{{R"("42.0")", "42.0"}, idb_double(0x03, 42), false},  // 42 is written "42"
                      TextCase{{R"("1e+300")", "1e+300"}, idb_double(0x03, 1e300), true},
                      TextCase{{R"("-0")", "-0"}, idb_double(0x03, -0.0), false},  // written {"$number":"-0"}
                      TextCase{{R"("null")", "null"}, {0x01, 0x09}, true},         // unreadable: null
                      TextCase{{"[1,\"a\"]"}, idb_string(u"k"), true},
                      TextCase{{R"("\u00e9")"}, idb_string(u"\u00E9"), true},      // escaped or not, one text
                      TextCase{{"\"\\ud83e\\udd8a\""}, idb_string(u"\U0001F98A"), true},
                      TextCase{{R"("unterminated)"}, idb_string(u"k"), true},      // not JSON: passes all
                      TextCase{{R"("a\qb")"}, idb_string(u"k"), true}));

struct UnitsCase {
    std::string text;
    std::optional<std::u16string> units;
};

class JsonStringUnits : public ::testing::TestWithParam<UnitsCase> {};

TEST_P(JsonStringUnits, ReadsTheLiteral) { EXPECT_EQ(json_string_units(GetParam().text), GetParam().units); }

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonStringUnits,
    ::testing::Values(UnitsCase{R"("")", u""}, UnitsCase{R"("a\"b\\c\/d")", u"a\"b\\c/d"},
                      UnitsCase{R"("\b\f\n\r\t")", u"\b\f\n\r\t"}, UnitsCase{"\"\xC3\xA9\"", u"\u00E9"},
                      UnitsCase{"\"\xF0\x9F\xA6\x8A\"", u"\U0001F98A"}, UnitsCase{R"("\udc00")", u"\xDC00"},
                      UnitsCase{R"("\u12")", std::nullopt}, UnitsCase{R"("\u12g4")", std::nullopt},
                      UnitsCase{R"("a"b")", std::nullopt}, UnitsCase{R"("a\")", std::nullopt},
                      UnitsCase{"\"\xFF\"", std::nullopt}, UnitsCase{"abc", std::nullopt},
                      UnitsCase{"\"", std::nullopt}));

struct OriginCase {
    std::optional<std::string> origin;
    std::string storage_key;
    bool passes;
};

class StorageKeyOrigin : public ::testing::TestWithParam<OriginCase> {};

TEST_P(StorageKeyOrigin, PassesStorageKeysHoldingTheOriginText) {
    RowFilter filter;
    filter.origin = GetParam().origin;
    EXPECT_EQ(KeyPrecheck(filter).storage_key_origin(bytes_of(GetParam().storage_key)), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(Cases, StorageKeyOrigin,
                         ::testing::Values(OriginCase{"o001", "http://o001.localhost:5000", true},
                                           OriginCase{"o001", "http://o002.localhost:5000", false},
                                           OriginCase{"example", "https://a.test/^0https://example.com", true},
                                           OriginCase{"", "http://o001.localhost", true},
                                           OriginCase{std::nullopt, "anything", true}));

TEST(KeyPrecheck, IsIdleWhenTheFilterKeepsEveryRecord) {
    RowFilter everything;
    everything.all_records = true;
    EXPECT_FALSE(KeyPrecheck(everything).active());
    RowFilter data;
    EXPECT_TRUE(KeyPrecheck(data).active());
    EXPECT_TRUE(KeyPrecheck(data).data_only());
}

}  // namespace
}  // namespace tarnwick::chromium
