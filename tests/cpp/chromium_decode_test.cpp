// The native Chromium decoders on the values of the real-browser fixture
// profile (their expected text written by the Python decoders, see
// tests/python/test_native_decoders.py), and on hand-built bytes for what the
// fixture cannot hold: damage, text forms, budgets and depth.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "chromium_decode/budget.hpp"
#include "chromium_decode/dom_storage.hpp"
#include "chromium_decode/idb_key.hpp"
#include "chromium_decode/idb_value.hpp"
#include "chromium_decode/json_text.hpp"
#include "chromium_decode/v8_value.hpp"

using namespace tarnwick;
using namespace tarnwick::chromium;
using namespace std::string_literals;

namespace {

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Decoded<std::string> json_of(Decoded<DecodedValue> v) {
    if (!v) return std::unexpected(v.error());
    return v->json;
}

Decoded<std::string> decode(const std::string& kind, Bytes data) {
    if (kind == "idb_key") return decode_whole_idb_key(data);
    if (kind == "idb_value") {
        auto v = decode_idb_value(data);
        if (!v) return std::unexpected(v.error());
        return idb_value_json(*v);
    }
    if (kind == "local_storage") return decode_local_storage_string(data);
    if (kind == "session_storage_key") return decode_session_storage_key(data);
    if (kind == "session_storage_value") return decode_session_storage_value(data);
    return json_of(decode_v8_value(data));
}

struct FixtureValue {
    std::string kind;
    std::vector<std::uint8_t> data;
    std::string expected;
};

std::vector<FixtureValue> fixture_values() {
    std::ifstream in(TARNWICK_CHROMIUM_VALUES);
    std::vector<FixtureValue> rows;
    std::string line;
    while (std::getline(in, line)) {
        const auto tab1 = line.find('\t');
        const auto tab2 = line.find('\t', tab1 + 1);
        rows.push_back({line.substr(0, tab1), from_hex(line.substr(tab1 + 1, tab2 - tab1 - 1)), line.substr(tab2 + 1)});
    }
    return rows;
}

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::string v8(std::string_view body, std::uint8_t version = 15) {
    return std::string("\xFF", 1) + static_cast<char>(version) + std::string(body);
}

std::string varint(std::uint64_t n) {
    std::string out;
    do {
        std::uint8_t b = n & 0x7F;
        n >>= 7;
        out += static_cast<char>(b | (n != 0 ? 0x80 : 0));
    } while (n != 0);
    return out;
}

std::string nested_arrays(std::size_t depth) {
    std::string out;
    for (std::size_t i = 0; i < depth; ++i) out += std::string("A\x01", 2);
    out += '0';
    for (std::size_t i = 0; i < depth; ++i) out += std::string("$\x00\x01", 3);
    return out;
}

Decoded<std::string> v8_json(const std::string& data) {
    const auto b = bytes(data);
    return json_of(decode_v8_value(b));
}

}  // namespace

TEST(ChromiumFixture, EveryValueDecodesAsThePythonDecoderWritesIt) {
    const auto rows = fixture_values();
    ASSERT_GT(rows.size(), 100u);
    std::size_t values = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind + " " + std::to_string(row.data.size()) + " bytes");
        const auto got = decode(row.kind, row.data);
        ASSERT_TRUE(got.has_value()) << got.error().reason;
        EXPECT_EQ(*got, row.expected);
        values += row.kind == "idb_value";
    }
    EXPECT_GT(values, 50u);
}

struct V8Case {
    const char* name;
    std::string data;
    std::string expected;  // the JSON, or the start of the reason
    bool refused = false;
};

class V8Values : public testing::TestWithParam<V8Case> {};

TEST_P(V8Values, DecodeOrRefuse) {
    const auto& c = GetParam();
    const auto got = v8_json(c.data);
    if (c.refused) {
        ASSERT_FALSE(got.has_value()) << *got;
        EXPECT_TRUE(got.error().reason.starts_with(c.expected)) << got.error().reason;
    } else {
        ASSERT_TRUE(got.has_value()) << got.error().reason;
        EXPECT_EQ(*got, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    HandBuilt, V8Values,
    testing::Values(
        V8Case{"sparse_length_costs_nothing", v8("a" + varint(4'000'000'000) + "@" + std::string(1, '\0') + varint(4'000'000'000)),
               R"({"$sparse_array":4000000000,"items":{}})"},
        V8Case{"padding_and_verify_count", v8(std::string("\0\0?\x05T", 5)), "true"},
        V8Case{"int32_zigzag", v8("I\x03"), "-2"},
        V8Case{"uint32", v8("U\xFF\xFF\xFF\xFF\x0F"), "4294967295"},
        V8Case{"map_and_set", v8(";I\x02S\x01x:\x02"), R"({"$map":[[1,"x"]]})"},
        V8Case{"regexp_flags", v8("R\"\x02" "a+\x05"), R"({"$regexp":"a+","flags":"gm"})"},
        V8Case{"error_with_cause", v8("rTm\"\x02hic0."), R"({"$error":"TypeError","message":"hi","cause":null})"},
        V8Case{"utf8_truncated", v8("S\x05\"\\\n\x01\xC3"), "UTF-8 string", true},
        V8Case{"latin1_controls", v8("\"\x04\"\\\n\x01"), R"("\"\\\n\u0001")"},
        V8Case{"key_starting_with_dollar", v8("o\"\x02$aT{\x01"), R"({"$$a":true})"},
        V8Case{"numeric_key", v8("oI\x0aT{\x01"), R"({"5":true})"},
        V8Case{"object_key_refused", v8("oo{\x00T{\x01"s), "property key", true},
        V8Case{"reference_before_object", v8("^\x00"s), "reference to object 0", true},
        V8Case{"view_past_buffer", v8("B\x02\x01\x02VB\x01\x02\x00"s), "view of 2 bytes at 1", true},
        V8Case{"dense_length_beyond_data", v8("A\x7F"), "dense array of 127", true},
        V8Case{"nested_past_the_limit", v8(nested_arrays(max_value_depth + 1)), "values nested deeper than 10000", true},
        V8Case{"host_point", v8("\\Q" + std::string(32, '\0')), R"({"$host":"DOMPoint","values":[0,0,0,0]})"},
        V8Case{"blob_index", v8("\\i\x03"), R"({"$blob":{"index":3,"missing":true}})"},
        V8Case{"unknown_host_tag", v8("\\!"), "unsupported Blink host object tag 0x21", true}),
    [](const testing::TestParamInfo<V8Case>& case_info) { return std::string(case_info.param.name); });

TEST(V8Values, NestingChromiumWritesDecodesWithoutRecursion) {
    const auto got = v8_json(v8(nested_arrays(9'000)));
    ASSERT_TRUE(got.has_value()) << got.error().reason;
    EXPECT_EQ(got->size(), 9'000 * 2 + 4);
}

// Many views over one large buffer: each further view refers to the first, so
// the text stays within the budget of the value's bytes.
TEST(V8Values, ViewsOverOneBufferStayWithinTheBudget) {
    const std::size_t views = 2'000;
    std::string body = "A" + varint(views) + "B" + varint(1 << 20) + std::string(1 << 20, '\x07') + "VB" + varint(0) +
                       varint(1 << 20) + varint(0);
    for (std::size_t i = 1; i < views; ++i) body += "^" + varint(1) + "VB" + varint(0) + varint(1 << 20) + varint(0);
    body += "$" + varint(0) + varint(views);
    const std::string data = v8(body);
    const auto got = v8_json(data);
    ASSERT_TRUE(got.has_value()) << got.error().reason;
    EXPECT_LE(got->size(), budget_for(data.size()));
    EXPECT_NE(got->find(R"({"$typedarray":"Uint8Array","buffer":{"$ref":"/0"},"offset":0,"length":1048576})"),
              std::string::npos);
}

TEST(V8Values, DeepReferencesGoOverBudget) {
    const std::size_t depth = 1'000, count = 1'000;
    std::string inner = "A" + varint(count);
    for (std::size_t i = 0; i < count; ++i) inner += "^" + varint(depth);
    inner += "$" + varint(0) + varint(count);
    std::string body;
    for (std::size_t i = 0; i < depth; ++i) body += std::string("A\x01", 2);
    body += inner;
    for (std::size_t i = 0; i < depth; ++i) body += std::string("$\x00\x01", 3);
    const auto got = v8_json(v8(body));
    ASSERT_FALSE(got.has_value());
    EXPECT_TRUE(got.error().reason.starts_with("over budget at a reference")) << got.error().reason;
}

TEST(SerializedScriptValue, TrailerOffsetEndsTheValue) {
    // Blink 21: FE, the trailer's offset (big-endian 64) and size (32), then V8 data.
    std::string data = std::string("\xFF\x15\xFE", 3) + std::string(7, '\0') + "\x12" + std::string(4, '\0') +
                       v8("T") + "junk";
    const auto b = bytes(data);
    const auto got = decode_serialized_script_value(b);
    ASSERT_TRUE(got.has_value()) << got.error().reason;
    EXPECT_EQ(got->json, "true");
    EXPECT_EQ(got->blink_version, 21u);
    EXPECT_EQ(got->v8_version, 15u);
    data[10] = '\x40';  // an offset beyond the value
    EXPECT_FALSE(decode_serialized_script_value(bytes(data)).has_value());
}

struct TextCase {
    double x;
    const char* expected;
};

class Numbers : public testing::TestWithParam<TextCase> {};

TEST_P(Numbers, WrittenAsTheTaggedFormWritesThem) {
    std::string out;
    append_json_number(out, GetParam().x);
    EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Doubles, Numbers,
    testing::Values(TextCase{1.5, "1.5"}, TextCase{-7.0, "-7"}, TextCase{9007199254740992.0, "9007199254740992"},
                    TextCase{9007199254740994.0, "9007199254740994.0"}, TextCase{1e16, "1e+16"},
                    TextCase{1e-5, "1e-05"}, TextCase{0.0001, "0.0001"}, TextCase{1.7976931348623157e308, "1.7976931348623157e+308"},
                    TextCase{5e-324, "5e-324"}, TextCase{-0.0, R"({"$number":"-0"})"},
                    TextCase{INFINITY, R"({"$number":"Infinity"})"}, TextCase{-INFINITY, R"({"$number":"-Infinity"})"},
                    TextCase{NAN, R"({"$number":"NaN"})"}));

class Dates : public testing::TestWithParam<TextCase> {};

TEST_P(Dates, AsToISOStringWritesThem) {
    std::string out;
    append_json_date(out, GetParam().x);
    EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    TimeValues, Dates,
    testing::Values(TextCase{0, R"({"$date":"1970-01-01T00:00:00.000Z"})"},
                    TextCase{-1, R"({"$date":"1969-12-31T23:59:59.999Z"})"},
                    TextCase{951782400000, R"({"$date":"2000-02-29T00:00:00.000Z"})"},
                    TextCase{8.64e15, R"({"$date":"+275760-09-13T00:00:00.000Z"})"},
                    TextCase{-8.64e15, R"({"$date":"-271821-04-20T00:00:00.000Z"})"},
                    TextCase{-62198755200000, R"({"$date":"-000001-01-01T00:00:00.000Z"})"},
                    TextCase{8.64e15 + 1, R"({"$date":null})"}, TextCase{NAN, R"({"$date":null})"}));

struct BigIntCase {
    std::vector<std::uint8_t> magnitude;
    bool negative;
    std::string expected;
};

class BigInts : public testing::TestWithParam<BigIntCase> {};

TEST_P(BigInts, ExactText) {
    std::string out;
    append_bigint_text(out, GetParam().magnitude, GetParam().negative);
    EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Magnitudes, BigInts,
    testing::Values(BigIntCase{{}, true, "0"}, BigIntCase{{0, 0}, false, "0"}, BigIntCase{{0x2A}, true, "-42"},
                    BigIntCase{{0, 0xCA, 0x9A, 0x3B}, false, "1000000000"},
                    BigIntCase{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, "18446744073709551615"},
                    BigIntCase{[] {
                                   std::vector<std::uint8_t> m(4251, 0);
                                   m.back() = 0x01;
                                   return m;
                               }(),
                               true, "-0x1" + std::string(2 * 4250, '0')}));

struct StringCase {
    const char* name;
    std::vector<std::uint8_t> data;
    std::string expected;  // empty: refused
};

class DomStorage : public testing::TestWithParam<StringCase> {};

TEST_P(DomStorage, LocalStorageStrings) {
    const auto got = decode_local_storage_string(GetParam().data);
    if (GetParam().expected.empty()) {
        EXPECT_FALSE(got.has_value());
    } else {
        ASSERT_TRUE(got.has_value()) << got.error().reason;
        EXPECT_EQ(*got, GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DomStorage,
    testing::Values(StringCase{"empty", {}, R"("")"}, StringCase{"latin1", {1, 'c', 0xE9}, "\"c\xC3\xA9\""},
                    StringCase{"utf16_pair", {0, 0x3D, 0xD8, 0x00, 0xDE}, "\"\xF0\x9F\x98\x80\""},
                    StringCase{"lone_high_surrogate", {0, 0x00, 0xD8, 'a', 0}, R"("\ud800a")"},
                    StringCase{"lone_low_surrogate", {0, 0x00, 0xDC}, R"("\udc00")"},
                    StringCase{"odd_length", {0, 'a'}, ""}, StringCase{"unknown_format", {2, 'a'}, ""}),
    [](const testing::TestParamInfo<StringCase>& case_info) { return std::string(case_info.param.name); });

class Utf8Keys : public testing::TestWithParam<StringCase> {};

TEST_P(Utf8Keys, StrictUtf8) {
    const auto got = decode_session_storage_key(GetParam().data);
    EXPECT_EQ(got.has_value(), !GetParam().expected.empty());
    if (got) {
        EXPECT_EQ(*got, GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Utf8Keys,
    testing::Values(StringCase{"ascii", {'k'}, R"("k")"}, StringCase{"four_bytes", {0xF0, 0x9F, 0x98, 0x80}, "\"\xF0\x9F\x98\x80\""},
                    StringCase{"overlong", {0xC0, 0xAF}, ""}, StringCase{"encoded_surrogate", {0xED, 0xA0, 0x80}, ""},
                    StringCase{"beyond_unicode", {0xF4, 0x90, 0x80, 0x80}, ""}, StringCase{"truncated", {0xE2, 0x82}, ""}),
    [](const testing::TestParamInfo<StringCase>& case_info) { return std::string(case_info.param.name); });

TEST(IdbKeys, ArraysNestAsDeepAsChromiumAllows) {
    std::string key;
    for (std::size_t i = 0; i < max_key_depth; ++i) key += std::string("\x04\x01", 2);
    key += std::string("\x00", 1);
    auto got = decode_whole_idb_key(bytes(key));
    ASSERT_TRUE(got.has_value()) << got.error().reason;
    EXPECT_EQ(*got, std::string(max_key_depth, '[') + R"({"$key":"none"})" + std::string(max_key_depth, ']'));
    got = decode_whole_idb_key(bytes(std::string("\x04\x01", 2) + key));
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().reason, "array key nested deeper than 2000");
}

TEST(IdbValues, SnappyWrappedValueAndBlobFileReference) {
    // Record version 5, FF 11 02, raw Snappy of a literal "\xFF\x11\xFF\x0FT".
    const std::vector<std::uint8_t> snappy_value{5, 0xFF, 0x11, 0x02, 5, 4 << 2, 0xFF, 0x11, 0xFF, 0x0F, 'T'};
    auto got = decode_idb_value(snappy_value);
    ASSERT_TRUE(got.has_value()) << got.error().reason;
    EXPECT_EQ(idb_value_json(*got), R"({"record_version":5,"stored_as":"snappy","blink":17,"v8":15,"value":true})");
    const std::vector<std::uint8_t> in_blob{1, 0xFF, 0x11, 0x01, 0x80, 0x01, 2};
    got = decode_idb_value(in_blob);
    ASSERT_TRUE(got.has_value()) << got.error().reason;
    EXPECT_EQ(idb_value_json(*got), R"({"record_version":1,"stored_as":"blob_file","blob_size":128,"blob_index":2})");
    const std::vector<std::uint8_t> damaged{5, 0xFF, 0x11, 0x02, 50, 4 << 2, 0xFF};
    EXPECT_FALSE(decode_idb_value(damaged).has_value());
}
