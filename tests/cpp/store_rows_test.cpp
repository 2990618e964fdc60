// The driver of decoded rows: both passes see the records in reading order,
// every row carries its record's own facts and label, filters act before the
// value is decoded where the interpreter can tell, and a store that cannot be
// read costs only itself. The interpreter here is a small one of the test's
// own, on a store shaped like Local Storage ("_" origin 00 key -> value).
#include "chromium_store/store_rows.hpp"

#include <gtest/gtest.h>

#include <map>

#include "byte_builder.hpp"
#include "chromium_decode/json_text.hpp"
#include "chromium_store/row_batch.hpp"
#include "chromium_store/row_lines.hpp"
#include "chromium_store/row_text.hpp"
#include "scan/text_chunks.hpp"

namespace tarnwick::chromium {
namespace {

using namespace test;

struct Calls {
    std::vector<std::string> learned;  // keys in the order learn saw them
    std::vector<std::string> decoded;  // keys in the order decode saw them
    int described = 0;
    int looked = 0;  // records shown to may_select, in both passes
};

class TestInterpreter final : public StoreInterpreter {
   public:
    // `refuses_keys`: its look at key bytes refuses every record of a scan
    // filtered by key, as a store without the key has it.
    TestInterpreter(Calls& calls, bool can_describe, bool refuses_keys = false)
        : calls_(calls), can_describe_(can_describe), refuses_keys_(refuses_keys) {}
    void learn(const RecordView& record) override { calls_.learned.push_back(text_of(record.user_key())); }
    void learned() override {}
    void decode(const RecordView& record, DecodedRow& row) override {
        calls_.decoded.push_back(text_of(record.user_key()));
        place(record, row);
        if (record.state != KeyState::Deleted) {
            std::string value;
            append_json_latin1(value, record.value);
            row.value_json = value;
        }
        if (text_of(record.value) == "broken") row.error = "value: broken";
    }
    bool may_select(Bytes, const KeyPrecheck& check) const override {
        ++calls_.looked;
        return !refuses_keys_ || check.any_local_storage_key();
    }
    bool describe(const RecordView& record, DecodedRow& row) override {
        ++calls_.described;
        if (!can_describe_) return false;
        place(record, row);
        return true;
    }

   private:
    static void place(const RecordView& record, DecodedRow& row) {
        const std::string key = text_of(record.user_key());
        const std::size_t end = key.find('\0');
        if (key.starts_with('_') && end != std::string::npos) {
            row.record_type = "data";
            row.origin = key.substr(1, end - 1);
            std::string json;
            append_json_latin1(json, Bytes(record.user_key()).subspan(end + 1));
            row.key_json = json;
        } else {
            row.record_type = "version";
        }
    }
    Calls& calls_;
    bool can_describe_;
    bool refuses_keys_;
};

std::string data_key(std::string_view origin, std::string_view key) {
    return "_" + std::string(origin) + std::string(1, '\0') + std::string(key);
}

// 000003.log: seq 10 a/k1=v1, b/k2=v2; seq 20 deletes a/k1.  000005.log: seq 30 VERSION=1, b/k2=broken.
void write_store(const TempDir& dir) {
    dir.write("000003.log", log_of_full_records({
                                write_batch(10, {{1, data_key("https://a.example", "k1"), "v1"},
                                                 {1, data_key("https://b.example", "k2"), "v2"}}),
                                write_batch(20, {{0, data_key("https://a.example", "k1"), ""}}),
                            }));
    dir.write("000005.log", log_of_full_records({
                                write_batch(30, {{1, "VERSION", "1"}, {1, data_key("https://b.example", "k2"), "broken"}}),
                            }));
}

struct Scan {
    std::vector<std::string> lines;
    std::vector<StoreOutcome> outcomes;
};

Scan scan_lines(const std::vector<std::string>& paths, StoreRowsOptions options, Calls& calls, bool can_describe = true,
                bool refuses_keys = false) {
    std::vector<StoreSource> stores;
    for (const std::string& path : paths) stores.push_back({path, {StoreKind::LocalStorage, std::nullopt, {}}});
    StoreRows rows(std::move(stores), std::move(options), [] { return std::make_unique<RowLinesSink>(64); },
                   [&](const StoreContext&) { return std::make_unique<TestInterpreter>(calls, can_describe, refuses_keys); });
    Scan out;
    while (auto chunk = rows.next()) {
        const ByteBuffer& text = static_cast<TextChunk&>(*chunk).text;
        std::string all(reinterpret_cast<const char*>(text.data()), text.size());
        for (std::size_t at = 0; at < all.size();) {
            const std::size_t end = all.find('\n', at);
            out.lines.push_back(all.substr(at, end - at));
            at = end + 1;
        }
    }
    EXPECT_EQ(rows.failure(), "");
    out.outcomes = rows.outcomes();
    return out;
}

TEST(StoreRows, HistoryRowsCarryTheirRecordsFactsInReadingOrder) {
    const TempDir dir;
    write_store(dir);
    Calls calls;
    StoreRowsOptions options;
    options.history = true;
    options.filter.all_records = true;
    const Scan scan = scan_lines({dir.path()}, options, calls);
    ASSERT_EQ(scan.lines.size(), 5U);
    EXPECT_EQ(calls.learned, calls.decoded);  // the same records, in the same order, in both passes
    const std::string log3 = dir.path("000003.log"), log5 = dir.path("000005.log");
    const std::string store = "\"store_path\":\"" + dir.path() + "\"";
    // The offset is the log reader's to tell; the rest is the row's own.
    std::string first = scan.lines[0];
    const std::size_t offset_at = first.find("\"offset\":") + 9;
    first.replace(offset_at, first.find(',', offset_at) - offset_at, "N");
    EXPECT_EQ(first,
              "{\"store_kind\":\"localstorage\",\"origin\":\"https://a.example\",\"top_level_site\":null,"
              "\"database\":null,\"object_store\":null,\"index\":null,\"record_type\":\"data\",\"key\":\"k1\","
              "\"key_type\":\"string\",\"value\":\"v1\",\"value_type\":\"string\",\"state\":\"live\","
              "\"version_status\":\"last_before_deletion\",\"seq\":10,\"file\":\"" + log3 +
                  "\",\"offset\":N,\"namespace\":null,\"storage_key\":null," + store +
                  ",\"error\":null,\"raw_key\":null,\"raw_value\":null,\"details\":null}");
    EXPECT_NE(scan.lines[2].find("\"state\":\"deleted\",\"version_status\":\"deleted\",\"seq\":20"), std::string::npos);
    EXPECT_NE(scan.lines[2].find("\"value\":null,\"value_type\":\"null\""), std::string::npos);
    // The failed row keeps its raw bytes in hex and has no value type.
    EXPECT_NE(scan.lines[4].find("\"value_type\":null"), std::string::npos);
    EXPECT_NE(scan.lines[4].find("\"raw_value\":\"62726f6b656e\""), std::string::npos);
    EXPECT_NE(scan.lines[4].find("\"file\":\"" + log5 + "\""), std::string::npos);
    ASSERT_EQ(scan.outcomes.size(), 1U);
    ASSERT_TRUE(scan.outcomes[0].report);
    EXPECT_TRUE(scan.outcomes[0].report->complete);
}

TEST(StoreRows, NewestOnlyADeletedKeyIsItsDeletionWithTheLastValue) {
    const TempDir dir;
    write_store(dir);
    Calls calls;
    const Scan scan = scan_lines({dir.path()}, {}, calls);
    ASSERT_EQ(scan.lines.size(), 2U);  // data only: a/k1 (deleted) and b/k2 (its newest, broken)
    const std::string& deleted = scan.lines[0];
    EXPECT_NE(deleted.find("\"key\":\"k1\""), std::string::npos) << deleted;
    EXPECT_NE(deleted.find("\"value\":\"v1\""), std::string::npos) << deleted;
    EXPECT_NE(deleted.find("\"state\":\"deleted\",\"version_status\":\"deleted\",\"seq\":20"), std::string::npos);
    EXPECT_NE(deleted.find("\"details\":{\"value_from_seq\":10}"), std::string::npos) << deleted;
}

struct FilterCase {
    const char* name;
    std::optional<std::string> origin;
    std::vector<std::string> keys;
    bool can_describe;
    std::size_t rows;
    std::size_t decoded;  // records whose value was decoded
};

class StoreRowsFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(StoreRowsFilter, RefusedRecordsAreNotDecodedWhereTheInterpreterCanTell) {
    const FilterCase& c = GetParam();
    const TempDir dir;
    write_store(dir);
    Calls calls;
    StoreRowsOptions options;
    options.history = true;
    options.filter.origin = c.origin;
    options.filter.key_texts = c.keys;
    const Scan scan = scan_lines({dir.path()}, options, calls, c.can_describe);
    EXPECT_EQ(scan.lines.size(), c.rows);
    EXPECT_EQ(calls.decoded.size(), c.decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, StoreRowsFilter,
    ::testing::Values(FilterCase{"DataOnly", std::nullopt, {}, true, 4, 4},
                      FilterCase{"Origin", "b.example", {}, true, 2, 2},
                      FilterCase{"OriginNoDescribe", "b.example", {}, false, 2, 5},
                      FilterCase{"Key", std::nullopt, {"\"k1\""}, true, 2, 2},
                      FilterCase{"NoSuchKey", std::nullopt, {"\"zz\"", "null"}, true, 0, 0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(StoreRows, AStoreWhoseKeysTheLookRefusesIsReadOnceAndAccountedFor) {
    const TempDir dir;
    write_store(dir);
    Calls calls;
    StoreRowsOptions options;
    options.history = true;
    options.filter.key_texts = {"\"zz\""};
    const Scan scan = scan_lines({dir.path()}, options, calls, true, true);
    EXPECT_TRUE(scan.lines.empty());
    EXPECT_EQ(calls.learned.size(), 5U);  // names are still learned from every record
    EXPECT_EQ(calls.looked, 5);           // by the first pass only
    EXPECT_EQ(calls.described, 0);
    EXPECT_TRUE(calls.decoded.empty());
    ASSERT_EQ(scan.outcomes.size(), 1U);
    ASSERT_TRUE(scan.outcomes[0].report);
    EXPECT_TRUE(scan.outcomes[0].report->complete);
    EXPECT_EQ(scan.outcomes[0].rows, 0U);
}

TEST(StoreRows, RecordsTheLookPassesAreLookedAtByBothPasses) {
    const TempDir dir;
    write_store(dir);
    Calls calls;
    StoreRowsOptions options;
    options.history = true;
    options.filter.key_texts = {"\"k1\""};
    const Scan scan = scan_lines({dir.path()}, options, calls);
    EXPECT_EQ(scan.lines.size(), 2U);
    EXPECT_EQ(calls.looked, 10);
}

TEST(StoreRows, AStoreThatCannotBeListedCostsOnlyItself) {
    const TempDir dir;
    write_store(dir);
    Calls calls;
    StoreRowsOptions options;
    options.history = true;
    const Scan scan = scan_lines({dir.path("missing"), dir.path()}, options, calls);
    EXPECT_EQ(scan.lines.size(), 4U);
    ASSERT_EQ(scan.outcomes.size(), 2U);
    EXPECT_FALSE(scan.outcomes[0].report);
    EXPECT_NE(scan.outcomes[0].failure, "");
    EXPECT_TRUE(scan.outcomes[1].report);
}

TEST(StoreRows, ArrowBatchesAreBoundedAndCountTheirNulls) {
    const TempDir dir;
    write_store(dir);
    Calls calls;
    StoreRowsOptions options;
    options.history = true;
    options.filter.all_records = true;
    StoreRows rows({{dir.path(), {StoreKind::LocalStorage, std::nullopt, {}}}}, options,
                   [] { return std::make_unique<RowBatchSink>(2, 1 << 20); },
                   [&](const StoreContext&) { return std::make_unique<TestInterpreter>(calls, true); });
    std::int64_t total = 0, raw_values = 0, origin_nulls = 0;
    while (auto chunk = rows.next()) {
        ArrowArray array{};
        static_cast<RowBatch&>(*chunk).export_to(&array);
        EXPECT_LE(array.length, 2);
        ASSERT_EQ(array.n_children, static_cast<std::int64_t>(ROW_COLUMN_COUNT));
        const ArrowArray& raw = *array.children[static_cast<std::size_t>(RowColumn::RawValue)];
        raw_values += raw.length - raw.null_count;
        origin_nulls += array.children[static_cast<std::size_t>(RowColumn::Origin)]->null_count;
        total += array.length;
        array.release(&array);
    }
    EXPECT_EQ(total, 5);
    EXPECT_EQ(raw_values, 1);    // only the failed row carries its raw value
    EXPECT_EQ(origin_nulls, 1);  // VERSION has no origin
}

struct JsTypeCase {
    std::optional<std::string> json;
    std::string type;
};

class JsType : public ::testing::TestWithParam<JsTypeCase> {};

TEST_P(JsType, IsToldByTheTextsFirstCharacterOrTag) { EXPECT_EQ(js_type(GetParam().json), GetParam().type); }

INSTANTIATE_TEST_SUITE_P(Texts, JsType,
                         ::testing::Values(JsTypeCase{std::nullopt, "null"}, JsTypeCase{"null", "null"},
                                           JsTypeCase{"true", "boolean"}, JsTypeCase{"-1.5", "number"},
                                           JsTypeCase{"\"$date\"", "string"}, JsTypeCase{"[1]", "array"},
                                           JsTypeCase{"{}", "object"}, JsTypeCase{"{\"a\":{\"$date\":1}}", "object"},
                                           JsTypeCase{"{\"$date\":\"2024\"}", "date"},
                                           JsTypeCase{"{\"$bigint\":\"1\"}", "bigint"}));

struct NameCase {
    std::string text;
    std::string json;
    std::string cell;
};

class Names : public ::testing::TestWithParam<NameCase> {};

TEST_P(Names, AreWrittenLosslessly) {
    std::string json;
    append_json_text(json, GetParam().text);
    EXPECT_EQ(json, GetParam().json);
    EXPECT_EQ(name_cell(GetParam().text), GetParam().cell);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Names,
    ::testing::Values(NameCase{"plain", "\"plain\"", "plain"}, NameCase{"\"q", "\"\\\"q\"", "\"\\\"q\""},
                      NameCase{"caf\xc3\xa9", "\"caf\xc3\xa9\"", "caf\xc3\xa9"},
                      // a lone surrogate in its three-byte form, and a stray byte
                      NameCase{"a\xed\xa0\x80z", "\"a\\ud800z\"", "\"a\\ud800z\""},
                      NameCase{"b\xff", "\"b\xc3\xbf\"", "\"b\xc3\xbf\""}));

}  // namespace
}  // namespace tarnwick::chromium
